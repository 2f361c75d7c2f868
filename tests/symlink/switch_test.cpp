#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "symlink_testing.h"

namespace volpack {
namespace test {
namespace {

constexpr const char* kSwitch = "VELLORA_FOLLOWSYMLINKS";

TEST(SymlinkSwitch, ValuesOfTheVariable) {
  struct switch_case {
    const char* value;  // null: the variable is absent
    bool enabled;
    int level;
    const char* file;
    bool named;  // the program name is the executable's
  };
  const std::vector<switch_case> cases = {
      {"0", false, 0, "SYMLINKS-DEBUG.txt", false},
      {nullptr, true, 0, "SYMLINKS-DEBUG.txt", false},
      {"true", true, 0, "SYMLINKS-DEBUG.txt", false},
      {"T", true, 0, "SYMLINKS-DEBUG.txt", false},
      {"1", true, 0, "SYMLINKS-DEBUG.txt", false},
      {"yes", false, 0, "SYMLINKS-DEBUG.txt", false},
      {"false", false, 0, "SYMLINKS-DEBUG.txt", false},
      {"", false, 0, "SYMLINKS-DEBUG.txt", false},
      {"1:2", true, 2, "SYMLINKS-DEBUG.txt", true},
      {"1:1:trace.log", true, 1, "trace.log", true},
      {"0:1", false, 1, "SYMLINKS-DEBUG.txt", true},
      {"1:0:trace.log", true, 0, "SYMLINKS-DEBUG.txt", false},
      {"1:3:", true, 3, "SYMLINKS-DEBUG.txt", true},
  };
  for (const switch_case& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(absent)");
    symlink_settings s = parse_symlink_switch(c.value);
    EXPECT_EQ(s.enabled, c.enabled);
    EXPECT_EQ(s.trace_level, c.level);
    EXPECT_EQ(s.trace_file, c.file);
    EXPECT_EQ(s.program_name, c.named ? executable_name("symlink_tests") : "<unspecified>");
  }
}

TEST(SymlinkSwitch, SwitchedOffPathsComeBackUntouched) {
  TempDir tmp;
  build_tree(tmp, {dir("a/real"), file("a/link", "real")});
  const std::string link = tmp.str() + "/a/link";
  std::string trace = tmp.str() + "/trace.txt";

  symlink_settings off = parse_symlink_switch("0");
  off.trace_file = trace;
  EXPECT_EQ(follow_symlinks_with(link.c_str(), off).value(), link.c_str());
  EXPECT_FALSE(std::filesystem::exists(trace));

  symlink_settings off_traced = parse_symlink_switch("0:1");
  off_traced.trace_file = trace;
  EXPECT_EQ(follow_symlinks_with(link.c_str(), off_traced).value(), link.c_str());
  EXPECT_FALSE(read_file(trace).empty()) << "a trace level traces even when switched off";

  symlink_settings on = parse_symlink_switch("1");
  EXPECT_EQ(std::string(follow_symlinks_with(link.c_str(), on).value()), tmp.str() + "/a/real");
}

// Runs in a child process only: applies the switch value it is given, installs
// the resolution as the host layer's hook, then resolves one path twice,
// changing the variable in between.
TEST(SymlinkEnvChild, ResolveTwice) {
  const char* child_path = std::getenv("VOLPACK_SYMLINK_CHILD_PATH");
  if (child_path == nullptr) GTEST_SKIP() << "runs as a child of SymlinkSwitch.EnvironmentVariable";
  // A copy: changing the environment may move the texts getenv returned (Windows).
  const std::string path_copy = child_path;
  const char* path = path_copy.c_str();
  const char* value = std::getenv("VOLPACK_SYMLINK_CHILD_SWITCH");
  const std::string value_copy = value != nullptr ? value : "";
  set_environment(kSwitch, value != nullptr ? value_copy.c_str() : nullptr);
  emulated_links links(symlink_settings_from_environment());
  host_install_path_hook(&links);
  std::printf("FIRST<%s>\n", host_hooked_path(path));
  // The switch was read when the hook was made; flipping the variable changes nothing.
  set_environment(kSwitch, links.settings().enabled ? "0" : "1");
  std::printf("SECOND<%s>\n", host_hooked_path(path));
  host_install_path_hook(nullptr);
}

class recording_reporter final : public reporter_t {
 public:
  void report(report_kind kind, const std::string& text) override { lines.push_back({kind, text}); }
  std::vector<std::pair<report_kind, std::string>> lines;
};

TEST(SymlinkHook, HostOperationsGoThroughTheInstalledHookOnly) {
  TempDir tmp;
  build_tree(tmp, {dir("a/real"), file("a/real/f", "content\n"), file("a/link", "real"), file("a/self", "self")});
  const std::string through_link = tmp.str() + "/a/link/f", cycle = tmp.str() + "/a/self/f";
  host_stat_t st;
  EXPECT_NE(host_stat(through_link.c_str(), &st), 0) << "no hook: the path is used verbatim";

  recording_reporter reporter;
  symlink_settings settings = parse_symlink_switch("1");
  settings.reporter = &reporter;
  emulated_links links(settings);
  host_install_path_hook(&links);
  int found = host_stat(through_link.c_str(), &st);
  int looped = host_stat(cycle.c_str(), &st);
  int loop_errno = host_errno();
  host_install_path_hook(nullptr);

  EXPECT_EQ(found, 0);
  EXPECT_EQ(st.size, 8u);
  EXPECT_EQ(looped, -1);
  EXPECT_EQ(loop_errno, ELOOP);
  ASSERT_EQ(reporter.lines.size(), 1u) << "the failure is reported once";
  EXPECT_EQ(reporter.lines[0].first, report_kind::error);
  EXPECT_NE(reporter.lines[0].second.find("fatal: too many levels of symbolic links\n"), std::string::npos);
  EXPECT_NE(host_stat(through_link.c_str(), &st), 0) << "removed: verbatim again";
}

TEST(SymlinkSwitch, EnvironmentVariable) {
  struct env_case {
    const char* value;  // null: absent
    bool resolves;
    const char* trace_file;  // null: no trace file may appear
  };
  const std::vector<env_case> cases = {
      {nullptr, true, nullptr}, {"0", false, nullptr},           {"T", true, nullptr},
      {"yes", false, nullptr},  {"1:1:trace.log", true, "trace.log"}, {"0:1", false, "SYMLINKS-DEBUG.txt"},
  };
  const std::string self = this_program();
  for (const env_case& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(absent)");
    TempDir tmp;
    build_tree(tmp, {dir("a/real"), file("a/link", "real")});
    const std::string link = tmp.str() + "/a/link";
    program_result r = run_program(shell_quote(self) + " --gtest_filter=SymlinkEnvChild.ResolveTwice", tmp.str(),
                                   {{"VOLPACK_SYMLINK_CHILD_PATH", link.c_str()}, {"VOLPACK_SYMLINK_CHILD_SWITCH", c.value}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string expected = c.resolves ? tmp.str() + "/a/real" : link;
    EXPECT_NE(r.out.find("FIRST<" + expected + ">\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SECOND<" + expected + ">\n"), std::string::npos) << r.out;
    for (const char* name : {"trace.log", "SYMLINKS-DEBUG.txt"}) {
      bool wanted = c.trace_file != nullptr && std::string(name) == c.trace_file;
      EXPECT_EQ(std::filesystem::exists(tmp.path() / name), wanted) << name;
      if (wanted) {
        EXPECT_NE(read_file(tmp.path() / name).find("SYMLINK DEBUG: " + executable_name("symlink_tests") + "["),
                  std::string::npos);
      }
    }
  }
}

}  // namespace
}  // namespace test
}  // namespace volpack
