// The fault sweep: one whole run per injected failure. The host layer fails
// the n-th write, read, directory read, sync, rename, open, resize or removal
// of a run; after each the run must have either failed cleanly (status 1, a
// message naming the file and the host's reason, no file of its own left, an
// earlier image byte for byte as it was, the source untouched) or succeeded
// with an image that reads back equal to the source.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <csignal>
#include <fstream>
#include <sstream>

#include "driver/driver.h"
#include "io/host_fs.h"
#include "support/support.h"

namespace volpack {
namespace {

namespace fs = std::filesystem;
using test::HostFaults;
using test::TempDir;
using test::tree_map;

struct outcome {
  int status = -1;
  std::string err;
};

// Runs volpack_main in a child process with the fault `op`/`nth` (nth 0: none)
// and the action `on` before each host operation; when `counts` is given, it
// receives the number of operations of each kind.
outcome run_with_fault(const fs::path& out, const fs::path& src, host_op op, uint64_t nth,
                       std::vector<uint64_t>* counts = nullptr,
                       std::function<int(host_op, const char*)> on = nullptr) {
  TempDir logs;
  fs::path err = logs.path() / "err", tally = logs.path() / "counts";
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!std::freopen(err.c_str(), "w", stderr) || !std::freopen("/dev/null", "w", stdout)) _exit(99);
    alarm(120);  // a run that hangs fails the test instead of stopping it
    int rc;
    {
      HostFaults faults(op, nth, EIO);
      faults.on = on;
      std::string o = out.string(), s = src.string();
      char* argv[] = {const_cast<char*>("volpack"), &o[0], &s[0], nullptr};
      rc = volpack_main(3, argv);
      std::string t;
      for (int k = 0; k < kHostOpKinds; ++k) t += std::to_string(faults.count(static_cast<host_op>(k))) + " ";
      host_set_fault_hook(nullptr, nullptr);
      test::write_file(tally, t);
    }
    std::fflush(nullptr);
    _exit(rc);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  outcome r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.err = test::read_file(err);
  if (counts != nullptr) {
    std::istringstream in(test::read_file(tally));
    counts->assign(kHostOpKinds, 0);
    for (uint64_t& c : *counts) in >> c;
  }
  return r;
}

// The image's tree as 7-Zip reads it.
tree_map read_back(const fs::path& image, const std::string& volume) {
  TempDir x;
  return test::extract_with_7zz(image, x.path(), volume);
}

// At most `samples` of 1..total, the first and the last always among them.
std::vector<uint64_t> sample(uint64_t total, uint64_t samples) {
  std::vector<uint64_t> v;
  if (total == 0) return v;
  uint64_t step = total <= samples ? 1 : (total + samples - 1) / samples;
  for (uint64_t n = 1; n <= total; n += step) v.push_back(n);
  if (v.back() != total) v.push_back(total);
  return v;
}

TEST(FaultSweep, EveryFailureEndsCleanOrCorrect) {
  if (!test::have_program("7zz")) GTEST_SKIP() << "7zz is needed (Debian: 7zip)";
  TempDir work, src_root;
  fs::path src = src_root.mkdir("Tree");
  src_root.write("Tree/readme.txt", "read me\n");
  src_root.write("Tree/bin/tool", "#!/bin/sh\necho tool\n");
  src_root.write("Tree/data/blob", std::string(300000, 'b') + "\n");
  src_root.write("Tree/data/deep/er/note", "note\n");
  src_root.mkdir("Tree/empty");
  fs::path out = work.path() / "out.dmg";
  const std::string old_image = "an earlier image\n";
  test::write_file(out, old_image);
  const tree_map source = test::scan_tree(src);

  std::vector<uint64_t> counts;
  outcome clean = run_with_fault(out, src, host_op::open, 0, &counts);
  ASSERT_EQ(0, clean.status) << clean.err;
  ASSERT_EQ(source, read_back(out, "Tree"));

  for (int k = 0; k < kHostOpKinds; ++k) {
    host_op op = static_cast<host_op>(k);
    for (uint64_t n : sample(counts[k], 12)) {
      SCOPED_TRACE(std::string(host_op_name(op)) + " #" + std::to_string(n) + " of " + std::to_string(counts[k]));
      test::write_file(out, old_image);
      outcome r = run_with_fault(out, src, op, n);
      std::vector<std::string> names;
      for (const auto& e : fs::directory_iterator(work.path())) names.push_back(e.path().filename().string());
      EXPECT_EQ(std::vector<std::string>{"out.dmg"}, names) << "left behind; " << r.err;
      EXPECT_EQ(source, test::scan_tree(src));
      if (r.status == 0) {
        EXPECT_EQ(source, read_back(out, "Tree")) << r.err;
      } else {
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_EQ(old_image, test::read_file(out));
        EXPECT_NE(std::string::npos, r.err.find(std::strerror(EIO))) << "no reason given: " << r.err;
        // The host's reason stands on a line of its own, after whole lines.
        size_t reason = r.err.find("error: cannot ");
        if (reason != std::string::npos && reason > 0) {
          EXPECT_EQ('\n', r.err[reason - 1]) << r.err;
        }
      }
    }
  }
}

// An interrupt at any point of the run (here: at sampled writes) ends it
// with status 1, leaves none of its files and the earlier image as it was.
TEST(FaultSweep, InterruptsLeaveNothingBehind) {
  TempDir work, src_root;
  fs::path src = src_root.mkdir("Tree");
  for (int i = 0; i < 4; ++i) src_root.write("Tree/f" + std::to_string(i), test::random_text(600000, i));
  fs::path out = work.path() / "out.dmg";
  test::write_file(out, "an earlier image\n");
  std::vector<uint64_t> counts;
  ASSERT_EQ(0, run_with_fault(out, src, host_op::open, 0, &counts).status);
  for (uint64_t n : sample(counts[static_cast<int>(host_op::write)], 8)) {
    SCOPED_TRACE("interrupted at write #" + std::to_string(n));
    test::write_file(out, "an earlier image\n");
    uint64_t seen = 0;
    auto on = [&](host_op op, const char*) {
      if (op == host_op::write && ++seen == n) std::raise(SIGINT);
      return 0;
    };
    outcome r = run_with_fault(out, src, host_op::open, 0, nullptr, on);
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("interrupted\n")) << r.err;
    EXPECT_EQ(1, std::distance(fs::directory_iterator(work.path()), fs::directory_iterator())) << "left behind";
    EXPECT_EQ("an earlier image\n", test::read_file(out));
  }
}

// Inputs that change under the run: a file swapped for a FIFO after it was
// listed, a file whose first bytes cannot be read, a file rewritten in place
// with the same size or grown while it is copied. Each stops the run with the
// file's name and what happened; none hangs it or passes unnoticed.
TEST(FaultSweep, InputsThatChangeUnderTheRunStopIt) {
  struct change {
    const char* file;
    host_op op;
    int at;    // the how-many-th operation of `op` on `file`
    char act;  // 'p': swapped for a FIFO, 'e': fails, 'w': rewritten at the same size, 'g': grown
    const char* expect;
  } changes[] = {
      {"Tree/data/blob", host_op::open, 1, 'p', "no longer a regular file"},  // the file's one open
      {"Tree/bin/tool", host_op::read, 1, 'e', "Input/output error"},
      {"Tree/data/blob", host_op::read, 2, 'w', "changed while it was copied"},
      {"Tree/data/blob", host_op::read, 2, 'g', "changed size"},
  };
  for (const change& c : changes) {
    SCOPED_TRACE(std::string(c.file) + " " + host_op_name(c.op) + " #" + std::to_string(c.at));
    TempDir work, src_root;
    src_root.write("Tree/bin/tool", "#!/bin/sh\necho tool\n");
    src_root.write("Tree/data/blob", std::string(300000, 'b') + "\n");
    fs::path target = src_root.path() / c.file;
    int seen = 0;
    auto on = [&](host_op op, const char* path) {
      if (op != c.op || path == nullptr || fs::path(path) != target || ++seen != c.at) return 0;
      if (c.act == 'e') return EIO;
      if (c.act == 'p') {  // another process swaps the file for a FIFO
        fs::remove(target);
        mkfifo(target.c_str(), 0644);
      } else if (c.act == 'g') {  // another process appends to it
        std::ofstream(target, std::ios::app) << "more\n";
      } else {  // another process rewrites it in place
        test::write_file(target, std::string(300000, 'c') + "\n");
        struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 60, 0}};
        utimensat(AT_FDCWD, target.c_str(), later, 0);
      }
      return 0;
    };
    outcome r = run_with_fault(work.path() / "out.dmg", src_root.path() / "Tree", host_op::open, 0, nullptr, on);
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.expect)) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(target.string())) << r.err;
    EXPECT_TRUE(fs::is_empty(work.path())) << r.err;
  }
}

}  // namespace
}  // namespace volpack
