// End-to-end: the progress line shows on a terminal only, never with -v, and
// is gone before a message or the end of the run. volpack runs with its
// standard error on a pseudo-terminal and its standard output on a pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/support.h"

namespace volpack {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

struct terminal_run {
  int status = -1;
  std::string terminal;  // what reached the terminal (standard error)
  std::string out;       // standard output
};

terminal_run run_on_terminal(const std::vector<std::string>& args) {
  terminal_run r;
  int out_pipe[2];
  if (pipe(out_pipe) != 0) return r;
  struct winsize ws = {};
  ws.ws_row = 24;
  ws.ws_col = 80;
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    close(out_pipe[0]);
    close(out_pipe[1]);
    int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, STDIN_FILENO);
    std::vector<char*> argv;
    std::string exe = test::volpack_exe();
    argv.push_back(&exe[0]);
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    return r;
  }
  // Read both until each ends (the terminal ends with EIO once the child is gone).
  struct pollfd fds[2] = {{master, POLLIN, 0}, {out_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.terminal, &r.out};
  int open_fds = 2;
  while (open_fds > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  int ws_status = 0;
  waitpid(pid, &ws_status, 0);
  r.status = WIFEXITED(ws_status) ? WEXITSTATUS(ws_status) : -1;
  return r;
}

// A carriage return that does not end a line (the terminal sends "\r\n" for
// a line end) rewrites the line in place: a progress update.
bool drew_progress(const std::string& terminal) {
  for (size_t i = 0; i < terminal.size(); ++i)
    if (terminal[i] == '\r' && (i + 1 == terminal.size() || terminal[i + 1] != '\n')) return true;
  return false;
}

TEST(Progress, ShownOnATerminalOnlyAndGoneBeforeMessagesAndAtTheEnd) {
  TempDir work;
  fs::path src = work.mkdir("MyApp");
  for (int i = 0; i < 50; ++i) work.write("MyApp/f" + std::to_string(i) + ".txt", std::string(5000, 'x') + "\n");
  // A tree that fails while it is copied: a path too long for the volume.
  fs::path broken = work.mkdir("Broken");
  work.write("Broken/first.txt", "copied before the failure\n");
  std::string deep = "Broken";
  for (int i = 0; i < 6; ++i) deep += "/" + std::string(200, static_cast<char>('a' + i));
  work.write(deep + "/last.txt", "too deep\n");
  std::string out = (work.path() / "out.dmg").string();

  struct Case {
    std::vector<std::string> args;
    bool fails;
    bool progress;  // a progress line was drawn on the terminal
  } cases[] = {
      {{out, src.string()}, false, true},
      {{out, src.string(), "-v"}, false, false},  // -v: the verbose lines instead
      {{out, broken.string()}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    terminal_run r = run_on_terminal(c.args);
    EXPECT_EQ(c.fails ? 1 : 0, r.status) << r.terminal;
    EXPECT_EQ(c.progress, drew_progress(r.terminal)) << r.terminal;
    // At the end the terminal shows the messages alone, each from the left
    // margin, and no progress line.
    std::vector<std::string> lines = test::terminal_screen(r.terminal);
    if (lines.back().empty()) lines.pop_back();
    EXPECT_EQ(c.fails, !lines.empty()) << r.terminal;
    for (const std::string& l : lines) EXPECT_TRUE(l.rfind("Error:", 0) == 0 || l.rfind("error:", 0) == 0) << l;
    EXPECT_EQ(c.args.back() == "-v", !r.out.empty());
  }

  // Not on a terminal: nothing on either stream.
  auto r = test::run_volpack(test::shell_quote(out) + " " + test::shell_quote(src.string()));
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", r.err);
}

}  // namespace
}  // namespace volpack
