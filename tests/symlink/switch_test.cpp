#include <gtest/gtest.h>

#include <cerrno>

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

TEST(SymlinkHook, HostOperationsGoThroughTheInstalledHookOnly) {
  TempDir tmp;
  build_tree(tmp, {dir("a/real"), file("a/real/f", "content\n"), file("a/link", "real"), file("a/self", "self")});
  const std::string through_link = tmp.str() + "/a/link/f", cycle = tmp.str() + "/a/self/f";
  host_stat_t st;
  EXPECT_NE(host_stat(through_link.c_str(), &st), 0) << "no hook: the path is used verbatim";

  CaptureReporter reporter;
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

// The hook takes the variable when it is made, and only then; a trace file
// named in it is written in the current folder.
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
  for (const env_case& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(absent)");
    TempDir tmp;
    build_tree(tmp, {dir("a/real"), file("a/link", "real")});
    const std::string link = tmp.str() + "/a/link", expected = c.resolves ? tmp.str() + "/a/real" : link;
    {
      cwd_guard in(tmp.path());
      ScopedEnvironment env(std::vector<env_setting>{{kSwitch, c.value}});
      emulated_links links(symlink_settings_from_environment());
      host_install_path_hook(&links);
      EXPECT_EQ(expected, host_hooked_path(link.c_str()));
      set_environment(kSwitch, links.settings().enabled ? "0" : "1");
      EXPECT_EQ(expected, host_hooked_path(link.c_str()));
      host_install_path_hook(nullptr);
    }
    for (const char* name : {"trace.log", "SYMLINKS-DEBUG.txt"}) {
      bool wanted = c.trace_file != nullptr && std::string(name) == c.trace_file;
      EXPECT_EQ(std::filesystem::exists(tmp.path() / name), wanted) << name;
    }
  }
}

}  // namespace
}  // namespace test
}  // namespace volpack
