// The command line, the size rule, the volume name and the driver's own messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <regex>

#include "dmg/udif_read.h"
#include "driver/driver.h"
#include "driver/reproducible.h"
#include "hfs/check.h"
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

// SOURCE_DATE_EPOCH from the environment: the same tree, created in opposite
// orders and packaged in two time zones, gives one image; a value that is no
// time is refused before any file is made.
TEST(DriverProcess, SourceDateEpochGivesOneImageForOneTree) {
  TempDir dir;
  for (const std::string copy : {"one", "two"}) {
    for (int i = 0; i < 40; ++i) {
      int n = copy == "one" ? i : 39 - i;
      dir.write(copy + "/Tree/d" + std::to_string(n % 3) + "/f" + std::to_string(n), std::to_string(n * n) + "\n");
    }
  }
  auto run = [&](const std::string& copy, const char* epoch, const char* zone) {
    return test::run_volpack(shell_quote(copy + ".dmg") + " " + shell_quote(copy + "/Tree"), dir.str(),
                             {{"SOURCE_DATE_EPOCH", epoch}, {"TZ", zone}});
  };
  EXPECT_EQ(0, run("one", "1700000000", "Asia/Tokyo").status);
  EXPECT_EQ(0, run("two", "1700000000", "UTC").status);
  std::vector<uint8_t> one = test::read_bytes(dir.path() / "one.dmg");
  EXPECT_FALSE(one.empty());
  EXPECT_EQ(one, test::read_bytes(dir.path() / "two.dmg"));

  dir.write("three/Tree/a", "a\n");
  auto refused = run("three", "abc", "UTC");
  EXPECT_EQ(1, refused.status);
  EXPECT_EQ("error: SOURCE_DATE_EPOCH must be a whole number of seconds since 1970 between 0 and 2212122495, "
            "not \"abc\"\n",
            refused.err);
  size_t entries = 0;
  for (auto it = std::filesystem::directory_iterator(dir.path()); it != std::filesystem::directory_iterator(); ++it)
    ++entries;
  EXPECT_EQ(entries, 5u);  // the three trees and two images
}

int run_in_process(std::vector<std::string> args, const run_sources& sources) {
  args.insert(args.begin(), "volpack");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  return volpack_run(static_cast<int>(argv.size()), argv.data(), sources);
}

int run_in_process(std::vector<std::string> args, test::CaptureReporter* reporter, test::CountingIds* ids) {
  run_sources sources;
  sources.reporter = reporter;
  sources.ids = ids;
  return run_in_process(std::move(args), sources);
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

// A failure of the volume reaches the user in its own words alone (no summary
// line, which follows only the import's refusals), then the host's reason.
TEST(DriverRun, VolumeFailuresStandAlone) {
  TempDir dir;
  dir.write("src/big", std::string(300000, 'b') + "\n");  // copied in pieces that bypass the page cache
  test::CaptureReporter reporter;
  test::CountingIds ids;
  test::HostFaults faults;
  faults.on = [&](host_op op, const char* path) {
    const std::string p = path != nullptr ? path : "";
    bool adding = std::any_of(reporter.lines.begin(), reporter.lines.end(),
                              [](const auto& line) { return line.second == "Adding files...\n"; });
    return adding && op == host_op::write && p.size() > 4 && p.compare(p.size() - 4, 4, ".hfs") == 0 ? EIO : 0;
  };
  EXPECT_EQ(1, run_in_process({"-v", dir.str() + "/out.dmg", dir.str() + "/src"}, &reporter, &ids));
  ASSERT_GE(reporter.lines.size(), 2u);
  auto last = reporter.lines.end() - 2;
  EXPECT_EQ(last[0].second, "hfsfile_write():258: io_write error\n");
  EXPECT_EQ(last[1].second.rfind("error: cannot write \"" + dir.str() + "/out.dmg.", 0), 0u) << last[1].second;
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


class fixed_clock final : public time_source_t {
 public:
  explicit fixed_clock(int64_t t) : t_(t) {}
  int64_t now() override { return t_; }

 private:
  int64_t t_;
};

// An image read back: its volume and the trailer's segment ID.
struct image_read {
  hfs_volume_model volume;
  std::vector<uint8_t> segment_id, volume_id;
};
image_read read_image(const std::string& path) {
  std::vector<uint8_t> bytes = test::read_bytes(path);
  image_read out;
  if (bytes.size() < 512) return out;
  out.segment_id.assign(bytes.end() - 512 + 64, bytes.end() - 512 + 80);
  findings_t findings;
  auto image = udif_open(std::make_unique<test::MemIo>(&bytes, false), bytes.size(), &findings);
  if (!image) return out;
  auto device = image.value()->open_partition(static_cast<size_t>(image.value()->hfs_partition()));
  out.volume = test::ok_value(hfs_check(device.get(), image.value()->partitions()[0].table.sector_count * 512,
                                        &findings));
  EXPECT_EQ(findings.errors(), 0u);
  const auto& finder = out.volume.header.finderInfo;
  out.volume_id.assign(finder.begin() + 24, finder.end());
  return out;
}

TEST(SourceDateEpoch, OnlyDecimalSecondsAnHfsDateHolds) {
  const struct {
    const char* text;
    int64_t value;  // -1: refused
  } cases[] = {
      {"0", 0}, {"1700000000", 1700000000}, {"0001700000000", 1700000000}, {"2212122495", 2212122495},
      {"2212122496", -1}, {"99999999999999999999999999", -1}, {"", -1}, {"-1", -1}, {"+1", -1},
      {" 1", -1}, {"1 ", -1}, {"1.5", -1}, {"0x10", -1}, {"abc", -1},
  };
  for (const auto& c : cases) {
    result<int64_t> parsed = parse_source_date_epoch(c.text);
    EXPECT_EQ(c.value >= 0, parsed.is_ok()) << c.text;
    if (parsed.is_ok()) {
      EXPECT_EQ(c.value, parsed.value()) << c.text;
    }
  }
}

// With SOURCE_DATE_EPOCH the image follows from the tree and the time: made on
// two days it is the same, every date is that time, entries come in name
// order, and a tree one byte apart gets other identifiers.
TEST(DriverRun, SourceDateEpochMakesTheImageDependOnTheInputOnly) {
  TempDir dir;
  const std::vector<std::string> names = {"b", "A", "_", "C2", "c", "10", "9", "Zed", "zed2", "z.sh", "~"};
  for (size_t i = 0; i < names.size(); ++i)
    dir.write("App/" + names[(i * 5) % names.size()], "data " + names[i] + "\n");
  dir.write("App/sub/inner", "#!/bin/sh\n");
  dir.write("App/Link", "sub");
  const std::string src = dir.str() + "/App";
  auto make = [&](const std::string& out, int64_t today) {
    fixed_clock clock(today);
    test::CaptureReporter reporter;
    run_sources sources;
    sources.reporter = &reporter;
    sources.clock = &clock;
    sources.source_date_epoch = "1700000000";
    EXPECT_EQ(0, run_in_process({dir.str() + "/" + out, src}, sources)) << reporter.lines.back().second;
    return dir.str() + "/" + out;
  };
  const std::string first = make("a.dmg", 1800000000), second = make("b.dmg", 1800000000 + 86400);
  EXPECT_EQ(test::read_bytes(first), test::read_bytes(second));

  const uint32_t date = 1700000000u + 2082844800u;
  image_read image = read_image(first);
  const HFSPlusVolumeHeader& h = image.volume.header;
  EXPECT_EQ(h.createDate, date);  // local time counted in UTC
  EXPECT_EQ(h.modifyDate, date);
  EXPECT_EQ(h.checkedDate, date);
  ASSERT_EQ(image.volume.items.size(), names.size() + 4);  // the root, sub, sub/inner and Link too
  for (const auto& [id, item] : image.volume.items) {
    uint32_t created = item.is_folder ? item.folder.createDate : item.file.createDate;
    uint32_t modified = item.is_folder ? item.folder.contentModDate : item.file.contentModDate;
    EXPECT_EQ(created, date) << id;
    EXPECT_EQ(modified, date) << id;
  }
  // IDs follow the bytewise order of the host names within each folder.
  for (const auto& [folder, kids] : image.volume.children) {
    std::vector<std::pair<std::string, CatalogNodeID>> by_name;
    for (CatalogNodeID k : kids) by_name.push_back({hfs_volume_model::display_name(image.volume.items[k].name), k});
    std::sort(by_name.begin(), by_name.end());
    for (size_t i = 1; i < by_name.size(); ++i) EXPECT_LT(by_name[i - 1].second, by_name[i].second) << by_name[i].first;
  }

  dir.write("App/b", "data B\n");  // same size, one byte else
  image_read other = read_image(make("c.dmg", 1800000000));
  EXPECT_NE(other.volume_id, image.volume_id);
  EXPECT_NE(other.segment_id, image.segment_id);
}

// The chunks are coded on any number of threads, during the import and after
// it: the image is the same for every count.
TEST(DriverRun, TheImageDoesNotDependOnTheThreadCount) {
  TempDir dir;
  std::mt19937 rng(3);
  for (int i = 0; i < 60; ++i) {
    std::string data(1000 + rng() % 40000, ' ');
    for (size_t k = 0; k < data.size(); k += 1 + rng() % 8) data[k] = static_cast<char>('a' + rng() % 26);
    dir.write("App/" + std::string(i % 3 == 0 ? "sub/" : "") + "f" + std::to_string(i), data + "\n");
  }
  std::vector<uint8_t> first;
  for (unsigned threads : {1u, 2u, 4u}) {
    test::CaptureReporter reporter;
    run_sources sources;
    sources.reporter = &reporter;
    sources.source_date_epoch = "1700000000";
    sources.compression_threads = threads;
    const std::string out = dir.str() + "/" + std::to_string(threads) + ".dmg";
    ASSERT_EQ(0, run_in_process({out, dir.str() + "/App"}, sources)) << reporter.text;
    std::vector<uint8_t> image = test::read_bytes(out);
    if (first.empty()) first = image;
    EXPECT_TRUE(image == first) << threads << " threads";
  }
}

// Without it, two runs in the same second still get identifiers of their own.
TEST(DriverRun, RunsInOneSecondGetDifferentIdentifiers) {
  TempDir dir;
  dir.write("src/a.txt", "hello\n");
  image_read images[2];
  for (int i = 0; i < 2; ++i) {
    fixed_clock clock(1700000000);
    test::CaptureReporter reporter;
    run_sources sources;
    sources.reporter = &reporter;
    sources.clock = &clock;
    const std::string out = dir.str() + "/" + std::to_string(i) + ".dmg";
    ASSERT_EQ(0, run_in_process({out, dir.str() + "/src"}, sources));
    images[i] = read_image(out);
    EXPECT_EQ(images[i].volume.header.modifyDate, 1700000000u + 2082844800u);
  }
  EXPECT_NE(images[0].volume_id, images[1].volume_id);
  EXPECT_NE(images[0].segment_id, images[1].segment_id);
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
