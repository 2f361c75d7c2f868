// The command line, the size rule, the volume name and the driver's own messages.
#include <gtest/gtest.h>

#include <cerrno>
#include <regex>

#include "driver/driver.h"
#include "io/bytes.h"
#include "io/host_fs.h"
#include "import/import.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::shell_quote;
using test::TempDir;

command_line parse(std::vector<std::string> args) {
  std::vector<char*> argv;
  static std::string prog = "volpack";
  argv.push_back(&prog[0]);
  for (auto& a : args) argv.push_back(&a[0]);
  return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, ScansPathsAndVerboseFlags) {
  struct Case {
    std::vector<std::string> args;
    bool ok, verbose;
    const char* out;
    const char* src;
    link_files_mode links = link_files_mode::tree;
    char request = 0;  // 'h' help, 'V' version
  } cases[] = {
      {{}, false, false, "", ""},
      {{"a.dmg"}, false, false, "a.dmg", ""},
      {{"a.dmg", "dir"}, true, false, "a.dmg", "dir"},
      {{"-v", "a.dmg", "dir"}, true, true, "a.dmg", "dir"},
      {{"a.dmg", "-v", "dir"}, true, true, "a.dmg", "dir"},
      {{"a.dmg", "dir", "-v", "-v"}, true, true, "a.dmg", "dir"},
      {{"-V", "dir"}, true, false, "-V", "dir"},           // only "-v" is a flag
      {{"--verbose", "a", "b"}, false, false, "--verbose", "a"},  // a third path
      {{"a", "b", "c", "-v"}, false, false, "a", "b"},     // the scan stops at c
      {{"--link-files=all", "a", "b"}, true, false, "a", "b", link_files_mode::all},
      {{"a", "--link-files=none", "b", "-v"}, true, true, "a", "b", link_files_mode::none},
      {{"a", "b", "--link-files=all", "--link-files=tree"}, true, false, "a", "b", link_files_mode::tree},
      {{"a", "b", "--link-files=some"}, false, false, "a", "b"},  // an unknown mode
      {{"a", "b", "--link-files"}, false, false, "a", "b"},
      {{"a", "b", "--link-files="}, false, false, "a", "b"},
      // Help and version stand anywhere, even after a third path; the first wins.
      {{"-h"}, false, false, "", "", link_files_mode::tree, 'h'},
      {{"a.dmg", "dir", "--help"}, false, false, "", "", link_files_mode::tree, 'h'},
      {{"a", "b", "c", "--version", "-h"}, false, false, "", "", link_files_mode::tree, 'V'},
      {{"-help", "dir"}, true, false, "-help", "dir"},    // not an option: a path
  };
  for (const Case& c : cases) {
    command_line cl = parse(c.args);
    EXPECT_EQ(c.request == 'h', cl.help) << c.args.size();
    EXPECT_EQ(c.request == 'V', cl.version) << c.args.size();
    EXPECT_EQ(c.ok, cl.ok) << c.args.size();
    if (c.ok) {
      EXPECT_EQ(c.verbose, cl.verbose);
      EXPECT_EQ(c.out, cl.output);
      EXPECT_EQ(c.src, cl.source);
      EXPECT_EQ(c.links, cl.link_files);
    }
  }
}

TEST(SizeRule, AddsTenPercentAndRoundsUpToASector) {
  EXPECT_EQ(2560u, volume_size_from_measure(2048));   // 2048 + 204 = 2252
  EXPECT_EQ(5632u, volume_size_from_measure(5120));   // 5632 is already whole
  EXPECT_EQ(11264u, volume_size_from_measure(10240));
  EXPECT_EQ(1100u * 1024 * 1024, volume_size_from_measure(1000u * 1024 * 1024));
}

TEST(VolumeName, TakesTheLastComponent) {
  // Windows separates at '\\' too; POSIX names may hold it.
  struct Case {
    const char* path;
    const char* windows;
    const char* posix;
  } cases[] = {
      {"C:\\Path\\To\\MyMacApp\\BuildOutput", "BuildOutput", "C:\\Path\\To\\MyMacApp\\BuildOutput"},
      {"out/app/", "app", "app"},
      {"out/app//", "app", "app"},
      {"C:\\", "C:", "C:\\"},
      {"C:/", "C:", "C:"},
      {"C:", "C:", "C:"},
      {"C:\\Path/Mixed\\Seps/", "Seps", "Mixed\\Seps"},
      {"/", "/", "/"},
      {"\\\\", "\\", "\\\\"},
      {"", ".", "."},
      {"/abs/My App.app", "My App.app", "My App.app"},
  };
  const bool windows = host_is_separator('\\');
  for (const Case& c : cases) {
    std::string n;
    ASSERT_TRUE(volume_name_from_path(c.path, &n)) << c.path;
    EXPECT_EQ(windows ? c.windows : c.posix, n) << c.path;
  }
  std::string n, longname(1024, 'n');
  EXPECT_FALSE(volume_name_from_path(("/x/" + longname).c_str(), &n));
  EXPECT_TRUE(volume_name_from_path(("/x/" + longname.substr(1)).c_str(), &n));
}

// "." and ".." name a folder only through another: the volume takes the name
// of the folder they lead to.
TEST(VolumeName, DotsResolveToTheFolderName) {
  TempDir dir;
  dir.mkdir("Build.app/Contents");
  std::string base = dir.str() + "/Build.app";
  for (const std::string& p : {base + "/.", base + "/./", base + "/Contents/..", base + "/Contents/../"}) {
    std::string n;
    ASSERT_TRUE(volume_name_from_path(p.c_str(), &n)) << p;
    EXPECT_EQ("Build.app", n) << p;
  }
}

// The program's statuses and streams: usage errors print the usage text on
// standard output with status 1, help with status 0, a failure its message on
// standard error; none of them creates anything.
TEST(DriverProcess, StatusesAndStreams) {
  TempDir dir;
  const std::string usage = kUsageText, missing = dir.str() + "/missing";
  struct Case {
    std::string args;
    int status;
    std::string out, err;
  } cases[] = {
      {"", 1, usage, ""},
      {"one.dmg", 1, usage, ""},
      {"a.dmg b c", 1, usage, ""},
      {"a.dmg b --link-files=yes", 1, usage, ""},
      {"-h", 0, usage, ""},
      {"--help", 0, usage, ""},
      {"out.dmg src --help -v", 0, usage, ""},
      {"x.dmg " + shell_quote(missing), 1, "",
       "Error: cannot compute directory size of \"" + missing + "\" (errno 2)\n"},
  };
  for (const Case& c : cases) {
    auto r = test::run_volpack(c.args, dir.str());
    EXPECT_EQ(c.status, r.status) << c.args;
    EXPECT_EQ(c.out, r.out) << c.args;
    EXPECT_EQ(c.err, r.err) << c.args;
  }
  auto r = test::run_volpack("--version", dir.str());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  // The program's version, then the compression library's name and version.
  EXPECT_TRUE(std::regex_match(r.out, std::regex("volpack [0-9]+\\.[0-9]+\\.[0-9]+\n"
                                                 "compression: (zlib|libdeflate) [0-9][0-9.]*\n")))
      << r.out;
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(DriverProcess, EmulatedLinksStayOffWhateverTheEnvironmentSays) {
  TempDir dir;
  dir.mkdir("tree/real/sub");
  dir.write("tree/real/sub/f.txt", "content\n");
  dir.write("tree/link", "real");  // a one-line file standing in for a link
  std::string out = (dir.path() / "x.dmg").string(), src = dir.str() + "/tree/link/sub";
  auto r = test::run_volpack(shell_quote(out) + " " + shell_quote(src), "", {{"VELLORA_FOLLOWSYMLINKS", "1"}});
  EXPECT_EQ(1, r.status);
  // The host's own answer for a path through a file: ENOTDIR on POSIX, ENOENT on Windows.
  EXPECT_EQ(0u, r.err.rfind("Error: cannot compute directory size of \"" + src + "\" (errno ", 0)) << r.err;
  EXPECT_FALSE(std::filesystem::exists(out));
}

int run_in_process(std::vector<std::string> args, test::CaptureReporter* reporter, test::CountingIds* ids) {
  args.insert(args.begin(), "volpack");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  run_sources sources;
  sources.reporter = reporter;
  sources.ids = ids;
  return volpack_run(static_cast<int>(argv.size()), argv.data(), sources);
}

TEST(DriverRun, FailuresReachTheReporterOnceAndLeaveNothingBehind) {
  TempDir dir;
  dir.mkdir("taken.dmg");
  const std::string missing = dir.str() + "/missing";
  struct Case {
    std::vector<std::string> args;
    report_kind kind;
    std::string text;
  } cases[] = {
      {{"only.dmg"}, report_kind::info, std::string(kUsageText)},
      {{dir.str() + "/x.dmg", missing}, report_kind::error,
       "Error: cannot compute directory size of \"" + missing + "\" (errno " + std::to_string(ENOENT) + ")\n"},
      {{dir.str() + "/taken.dmg", dir.str()}, report_kind::error,
       "error: cannot write DMG file " + dir.str() + "/taken.dmg: " + host_strerror(EISDIR) + "\n"},
      {{dir.str() + "/missing/x.dmg", dir.str()}, report_kind::error,
       "error: cannot write DMG file " + dir.str() + "/missing/x.dmg: " + host_strerror(ENOENT) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    test::CaptureReporter reporter;
    test::CountingIds ids;
    EXPECT_EQ(1, run_in_process(c.args, &reporter, &ids));
    ASSERT_EQ(reporter.lines.size(), 1u);
    EXPECT_EQ(reporter.lines[0].first, c.kind);
    EXPECT_EQ(reporter.lines[0].second, c.text);
    EXPECT_EQ(ids.drawn, 0u);
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"taken.dmg"});
  }
}

TEST(DriverRun, VerboseLinesAndTheImageIdentifiersComeFromTheContext) {
  TempDir dir;
  dir.write("src/a.txt", "hello\n");
  test::CaptureReporter reporter;
  test::CountingIds ids;
  const std::string out = dir.str() + "/out.dmg";
  ASSERT_EQ(0, run_in_process({"-v", out, dir.str() + "/src"}, &reporter, &ids));
  std::vector<std::string> info;
  for (const auto& [kind, text] : reporter.lines) {
    EXPECT_EQ(kind, report_kind::info) << text;
    info.push_back(text);
  }
  ASSERT_GE(info.size(), 7u);
  EXPECT_EQ(info.front(), "Measuring required size...\n");
  EXPECT_EQ(info[1], "Computed size: 511 Kb\n");
  EXPECT_EQ(info.back(), "Done.\n");
  EXPECT_FALSE(std::filesystem::exists(out + ".hfs"));
  // The segment ID holds the last four identifiers drawn.
  std::vector<uint8_t> image = test::read_bytes(out);
  ASSERT_GE(image.size(), 512u);
  ASSERT_GE(ids.drawn, 4u);
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(get_le32(image.data() + image.size() - 512 + 64 + 4 * i), ids.drawn - 3 + i);
}

}  // namespace
}  // namespace volpack

namespace volpack {
namespace {

TEST(SizeRule, VolumeAlwaysHoldsTheTree) {
  // An empty folder and a tiny tree get the smallest volume the formatter takes.
  EXPECT_EQ(523776u, volume_size_for_tree(2048, tree_census{}));
  tree_census one;
  one.files = 1;
  one.data_blocks = 1;
  one.name_bytes = 5;
  EXPECT_EQ(523776u, volume_size_for_tree(2048 + 1024, one));

  // 20,000 files of a few bytes: the measure counts 1 KiB each, the volume
  // needs a 4 KiB block each plus their catalog records.
  tree_census many;
  many.files = 20000;
  many.folders = 200;
  many.data_blocks = 20000;
  many.name_bytes = 20000 * 10 + 200 * 3;
  uint64_t measure = 2048 + 20000 * 1024 + 200 * 512;
  uint64_t size = volume_size_for_tree(measure, many);
  EXPECT_GT(size, volume_size_from_measure(measure));
  EXPECT_GE(size, 20000u * 4096 + 20200u * 318);
  EXPECT_EQ(0u, (size + 512) % 4096);  // the device is whole blocks

  // A large tree of big files: the measure rule dominates.
  tree_census big;
  big.files = 10;
  big.data_blocks = 10 * 256 * 1024;  // 10 GiB
  big.name_bytes = 100;
  uint64_t big_measure = 2048 + 10ull * (1ull << 30) + 10 * 512;
  EXPECT_GE(volume_size_for_tree(big_measure, big), volume_size_from_measure(big_measure));
}

TEST(SizeRule, LargeVolumesAreWhole4KiBDevices) {
  tree_census huge;
  huge.files = 1;
  huge.data_blocks = (600ull << 30) / 4096;  // 600 GiB
  uint64_t size = volume_size_for_tree(2048, huge);
  EXPECT_EQ(0u, (size + 512) % 4096);  // the device, one sector longer, is whole 4 KiB
  EXPECT_GE(size, 600ull << 30);
}

}  // namespace
}  // namespace volpack
