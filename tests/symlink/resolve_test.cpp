#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <regex>
#include <sstream>
#include <thread>

#include "io/host_fs.h"
#include "symlink_testing.h"

namespace volpack {
namespace test {
namespace {

// A resolution's result and whether it is the caller's own text.
struct outcome {
  std::string text;
  bool unchanged;
};

outcome resolve(const std::string& path, const symlink_settings& s = quiet_settings()) {
  result<const char*> r = resolve_emulated_links(path.c_str(), s);
  EXPECT_TRUE(r) << r.error().message();
  if (!r) return {"", false};
  return {r.value(), r.value() == path.c_str()};
}

std::string utf16(const std::u16string& text, bool big_endian) {
  std::string out;
  for (char16_t u : text) {
    char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
    out += big_endian ? hi : lo;
    out += big_endian ? lo : hi;
  }
  return out;
}

std::string padded(std::string content, size_t size) {
  content.resize(size, '\0');
  return content;
}

// ---------------------------------------------------------------------------
// Splitting

TEST(SymlinkSplit, SlotsFlagsAndHash) {
  struct split_case {
    std::string text;
    std::vector<std::string> slots;
    bool drive, trailing;
    size_t leading;
    uint32_t hash;  // h = h * 101 + (signed) byte, worked out by hand
  };
  const std::vector<split_case> cases = {
      {"", {}, false, false, 0, 0x00000000u},
      {"a/b", {"a", "b"}, false, false, 0, 0x000F2C26u},
      {"/a//b/./c/", {"a", "b", "c"}, false, true, 1, 0x01CFEC0Au},
      {"C:\\x", {"C:", "x"}, true, false, 0, 0x04267D05u},
      {"../x", {"..", "x"}, false, false, 0, 0x02DA6837u},
      {"\xC3\xA9", {"\xC3\xA9"}, false, false, 0, 0xFFFFE798u},  // bytes count as signed
      {"/", {}, false, false, 1, 0x2Fu},
      {"\\\\srv\\share\\", {"srv", "share"}, false, true, 2, 0},
      {"/C:/x", {"C:", "x"}, false, false, 1, 0},
      {"./.", {}, false, false, 0, 0},
  };
  for (const split_case& c : cases) {
    SCOPED_TRACE("text \"" + c.text + "\"");
    path_info info;
    info.text = c.text.c_str();
    info.length = c.text.size();
    uint32_t hash = 0xDEADBEEFu;
    ASSERT_TRUE(pathname_split(quiet_settings(), &info, &hash));
    std::vector<std::string> got;
    for (const path_slot& slot : info.slots) got.emplace_back(slot.text, slot.length);
    EXPECT_EQ(got, c.slots);
    EXPECT_EQ(info.drive_qualified, c.drive);
    EXPECT_EQ(info.trailing_separator, c.trailing);
    EXPECT_EQ(info.leading_separators, c.leading);
    if (c.hash != 0 || c.text.empty()) {
      EXPECT_EQ(hash, c.hash);
    }
  }
}

// ---------------------------------------------------------------------------
// Examining files

TEST(SymlinkPeek, LinkFileTests) {
  struct peek_case {
    const char* name;
    std::string content;
    bool is_link;
    std::string target;
  };
  const std::string bmp = "t\xC3\xA5r/\xF0\x9F\x98\x80";  // U+00E5 and U+1F600 in UTF-8
  const std::u16string bmp16 = u"t\u00E5r/\U0001F600";
  const std::vector<peek_case> cases = {
      {"one-liner", "real", true, "real"},
      {"relative with folders", "../x/y", true, "../x/y"},
      {"drive colon at index 1", "C:\\x", true, "C:\\x"},
      {"colon elsewhere", "ab:c", false, ""},
      {"trailing line feed", "real\n", false, ""},
      {"high bytes", "t\xC3\xA5r", true, "t\xC3\xA5r"},
      {"leading space", " real", false, ""},
      {"leading tab", "\treal", false, ""},
      {"leading line feed", "\nreal", false, ""},
      {"leading vertical tab", "\vreal", false, ""},
      {"leading form feed", "\freal", false, ""},
      {"leading carriage return", "\rreal", false, ""},
      {"comment", "#real", false, ""},
      {"UTF-8 mark", "\xEF\xBB\xBFreal", false, ""},
      {"UTF-8 mark alone is 3 bytes", "\xEF\xBB\xBF", true, "\xEF\xBB\xBF"},
      {"UTF-16 LE mark", std::string("\xFF\xFEr\0", 4), false, ""},
      {"UTF-16 BE mark", std::string("\xFE\xFF\0r", 4), false, ""},
      {"line comment", "//real", false, ""},
      {"block comment", "/*real", false, ""},
      {"two slashes alone", "//", true, "//"},
      {"leading slash", "/real", true, "/real"},
      {"empty file", "", false, ""},
      {"format, plain", "!<symlink>real", true, "real"},
      {"format, ends at zero", std::string("!<symlink>real\0junk", 19), true, "real"},
      {"format, UTF-8 mark", "!<symlink>\xEF\xBB\xBFreal", true, "real"},
      {"format, UTF-16 LE", "!<symlink>\xFF\xFE" + utf16(bmp16, false), true, bmp},
      {"format, UTF-16 BE", "!<symlink>\xFE\xFF" + utf16(bmp16, true), true, bmp},
      {"format, UTF-16 LE odd byte and zero unit",
       "!<symlink>\xFF\xFE" + utf16(u"ab", false) + std::string("\0\0c\0d", 5), true, "ab"},
      {"format, UTF-16 unpaired surrogate", "!<symlink>\xFF\xFE" + utf16(u"a\xD800", false), true,
       "a\xEF\xBF\xBD"},
      {"marker alone", "!<symlink>", false, ""},
      {"2061 bytes", padded("!<symlink>real", 2061), true, "real"},
      {"2062 bytes", padded("!<symlink>real", 2062), false, ""},
      {"1023-byte target", std::string(1023, 'a'), true, std::string(1023, 'a')},
      {"1024-byte target cannot be used", std::string(1024, 'a'), true, ""},
  };
  TempDir tmp;
  symlink_cache_lock lock;
  for (size_t k = 0; k < cases.size(); ++k) {
    const peek_case& c = cases[k];
    SCOPED_TRACE(c.name);
    std::string path = tmp.write("f" + std::to_string(k), c.content).string();
    const fsitem* item = fsitem_peekandcache(quiet_settings(), path.c_str()).value();
    EXPECT_FALSE(item->cannot_query);
    EXPECT_EQ(item->is_link, c.is_link);
    if (c.is_link) {
      EXPECT_EQ(item->target_text, c.target);
      EXPECT_EQ(item->target.slots.empty(), c.target.find_first_not_of('/') == std::string::npos);
    }
    EXPECT_EQ(item, fsitem_peekandcache(quiet_settings(), path.c_str()).value()) << "a second look comes from the cache";
  }

  // Every byte that NTFS names cannot hold disqualifies a one-liner.
  for (char bad : std::string("\0\x01\x1f\"*<>?|\x7f", 10)) {
    std::string content = std::string("ab") + bad + "c";
    std::string path = tmp.write("bad" + std::to_string(static_cast<uint8_t>(bad)), content).string();
    EXPECT_FALSE(fsitem_peekandcache(quiet_settings(), path.c_str()).value()->is_link) << int(bad);
  }

  const fsitem* folder = fsitem_peekandcache(quiet_settings(), tmp.mkdir("folder").string().c_str()).value();
  EXPECT_FALSE(folder->cannot_query);
  EXPECT_FALSE(folder->is_link);
  const fsitem* missing = fsitem_peekandcache(quiet_settings(), (tmp.str() + "/missing").c_str()).value();
  EXPECT_TRUE(missing->cannot_query);

  // Host changes after the first look are not seen.
  std::string first = tmp.write("f0", "#no longer a link").string();
  EXPECT_TRUE(fsitem_peekandcache(quiet_settings(), first.c_str()).value()->is_link);
}

// ---------------------------------------------------------------------------
// Resolving

TEST(SymlinkResolve, FolderPathsAreNormalised) {
  struct norm_case {
    std::string input, expected;
  };
  const std::vector<norm_case> absolute = {
      {"@/a/b/c", "@/a/b/c"},
      {"@/a/./b//c", "@/a/b/c"},
      {"@\\a\\b\\c", "@/a/b/c"},
      {"\\\\?\\@/a/b", "@/a/b"},
      {"@/a/b/../b/c/..", "@/a/b"},
      {"@/a/b/", "@/a/b/"},
      {"@/a/../a/b/./", "@/a/b/"},
      {"@/a/b/c/../../..", "@"},
      {"/@/a", "/@/a"},  // two leading separators: a network path keeps both
  };
  for (const norm_case& c : absolute) {
    // A fresh tree each time: once a path is known to hold no link, the cache
    // hands back the caller's own text for it.
    TempDir tmp;
    tmp.mkdir("a/b/c");
    std::string input = at(c.input, tmp.str());
    SCOPED_TRACE(input);
    // Only where folders start at a separator does "/@" open with two of them
    // ("/C:/..." names nothing).
    if (c.input.compare(0, 2, "/@") == 0 && tmp.str()[0] != '/') continue;
    outcome r = resolve(input);
    EXPECT_EQ(r.text, at(c.expected, tmp.str()));
    EXPECT_FALSE(r.unchanged);
  }

  TempDir rel;
  rel.mkdir("a/b");
  cwd_guard in(rel.path());
  const std::string up = "../" + rel.path().filename().string();
  const std::vector<norm_case> relative = {
      {"a/b/..", "a"},   {"./a", "a"},   {"a/..", "."},
      {"a/../", "./"},   {"a/b/", "a/b/"}, {up + "/a/./b", up + "/a/b"},
  };
  for (const norm_case& c : relative) {
    SCOPED_TRACE(c.input);
    outcome r = resolve(c.input);
    EXPECT_EQ(r.text, c.expected);
    EXPECT_FALSE(r.unchanged);
  }
  // No components at all: the caller's own text.
  for (const char* empty : {"", "/", "./", "\\\\?\\"}) EXPECT_TRUE(resolve(empty).unchanged) << empty;
}

TEST(SymlinkResolve, LinkFilesAreFollowed) {
  struct link_case {
    const char* name;
    std::vector<tree_entry> tree;
    std::string input;
    std::string expected;  // "=" : the caller's own text comes back
  };
  // With big/../c, a link big -> sub/inner leads to @/a/sub/c, a plain file to @/a/c.
  auto through = [](std::string content) {
    return std::vector<tree_entry>{dir("a/c"), dir("a/sub/inner"), dir("a/sub/c"), file("a/big", std::move(content))};
  };
  const std::vector<link_case> cases = {
      {"one-liner mid-path", {dir("a/real/f"), file("a/link", "real")}, "@/a/link/f", "@/a/real/f"},
      {"one-liner last", {dir("a/real"), file("a/link", "real")}, "@/a/link", "@/a/real"},
      {"chain", {dir("a/real"), file("a/l1", "l2"), file("a/l2", "real")}, "@/a/l1/", "@/a/real/"},
      {"target climbs", {dir("b/x"), file("a/link", "../b")}, "@/a/link/x", "@/b/x"},
      {"target climbs out of a linked folder",
       {dir("a/sub/x"), dir("a/sub/y"), dir("a/y"), file("a/link", "sub/x")}, "@/a/link/../y", "@/a/sub/y"},
      {"target with separator is relative to the link's folder", {dir("a/real"), file("a/link", "/real")},
       "@/a/link", "@/a/real"},
      {"backslash target", {dir("a/s/t"), file("a/link", "s\\t")}, "@/a/link", "@/a/s/t"},
      {"format, UTF-16 BE", {dir("a/real"), file("a/link", "!<symlink>\xFE\xFF" + utf16(u"real", true))},
       "@/a/link", "@/a/real"},
      {"link to a link's folder", {dir("a/real/x"), file("a/real/l", "x"), file("a/link", "real")},
       "@/a/link/l", "@/a/real/x"},
      {"2061-byte link file", through(padded("!<symlink>sub/inner", 2061)), "@/a/big/../c", "@/a/sub/c"},
      {"2062-byte file is plain", through(padded("!<symlink>sub/inner", 2062)), "@/a/big/../c", "@/a/c"},
      {"file with a forbidden byte is plain", through("sub/inner\n"), "@/a/big/../c", "@/a/c"},
      {"file with a mark is plain", through("\xEF\xBB\xBFsub/inner"), "@/a/big/../c", "@/a/c"},
      {"empty file is plain", through(""), "@/a/big/../c", "@/a/c"},
      {"dead end mid-path", {dir("a"), file("a/dead", ".")}, "@/a/dead/x", "="},
      {"dead end last", {dir("a"), file("a/dead", ".")}, "@/a/./dead", "@/a/dead"},
      {"missing mid-path", {dir("a")}, "@/a/missing/x", "="},
      {"link to nowhere", {dir("a"), file("a/link", "nowhere")}, "@/a/link", "="},
  };
  for (const link_case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    build_tree(tmp, c.tree);
    std::string input = at(c.input, tmp.str());
    outcome r = resolve(input);
    if (c.expected == "=") {
      EXPECT_TRUE(r.unchanged) << r.text;
    } else {
      EXPECT_EQ(r.text, at(c.expected, tmp.str()));
    }
    // A second resolution runs from the cache and agrees.
    outcome again = resolve(input);
    EXPECT_EQ(again.text, r.text);
  }
}

TEST(SymlinkResolve, DriveQualifiedTargetsReplaceTheLeadingPart) {
  TempDir tmp;
  cwd_guard in(tmp.path());
  // The drive: on Windows the test folder's own (it starts with one), so that
  // nothing is made outside it; elsewhere "C:" is a folder in the current one.
  const bool has_drive = tmp.str().size() > 1 && tmp.str()[1] == ':';
  const std::string drive = has_drive ? tmp.str() : "C:";
  tmp.mkdir((has_drive ? "" : "C:/") + std::string("x/rest"));
  build_tree(tmp, {file("a/one", drive + "\\x"), file("a/two", "!<symlink>" + drive + "/x/rest")});
  EXPECT_EQ(resolve(tmp.str() + "/a/one/rest").text, drive + "/x/rest");
  EXPECT_EQ(resolve(tmp.str() + "/a/two").text, drive + "/x/rest");
  // A drive is never examined: Q: does not exist here.
  EXPECT_EQ(resolve("Q:/..").text, ".");
  EXPECT_EQ(resolve(drive + "/x/./rest/").text, drive + "/x/rest/");
}

TEST(SymlinkResolve, CyclesFail) {
  TempDir tmp;
  build_tree(tmp, {file("a/l1", "l2"), file("a/l2", "l1"), file("a/self", "self"), dir("b")});
  // A chain of kMaxLinkSubstitutions links still resolves.
  for (int k = 0; k < kMaxLinkSubstitutions; ++k)
    tmp.write("b/l" + std::to_string(k), k + 1 < kMaxLinkSubstitutions ? "l" + std::to_string(k + 1) : "..");
  EXPECT_EQ(resolve(tmp.str() + "/b/l0").text, tmp.str());
  const std::regex expected(
      "SYMLINK EMULATION CODE: <unspecified>\\[[0-9]+\\]: follow_symlinks\\(\\) line 422: fatal: too many "
      "levels of symbolic links\n");
  for (const char* cycle : {"/a/l1/x", "/a/self"}) {
    std::string path = tmp.str() + cycle;
    result<const char*> r = resolve_emulated_links(path.c_str(), quiet_settings());
    ASSERT_FALSE(r) << cycle;
    EXPECT_TRUE(std::regex_match(r.error().message(), expected)) << r.error().message();
    EXPECT_EQ(r.error().os_error(), ELOOP);
  }
}

// A folder path of exactly `length` bytes under `tmp`, created.
std::string folder_path_of_length(const TempDir& tmp, size_t length) {
  std::string path = tmp.str();
  while (path.size() < length) {
    size_t room = length - path.size() - 1;
    size_t part = room < 200 ? room : 200;
    if (room - part == 1) --part;  // leave room for one more "/x"
    path += "/" + std::string(part, 'd');
  }
  std::filesystem::create_directories(path);
  return path;
}

TEST(SymlinkResolve, PathsBeyondTheBuffersComeBackUnchanged) {
  // Once resolved, a path that is no link comes back as given (from the
  // cache), so each of these looks at a fresh one.
  TempDir tmp0, tmp1;
  std::string fits = folder_path_of_length(tmp0, kSymlinkPathBuffer - 1);
  EXPECT_TRUE(resolve(fits + "/").unchanged) << "1024 bytes with the trailing separator";
  outcome r = resolve(fits);
  EXPECT_FALSE(r.unchanged);
  EXPECT_EQ(r.text, fits);
  std::string prefixed = "\\\\?\\" + folder_path_of_length(tmp1, kSymlinkPathBuffer - 1);
  EXPECT_FALSE(resolve(prefixed).unchanged) << "the prefix does not count";

  TempDir tmp2;
  std::string full = folder_path_of_length(tmp2, kSymlinkPathBuffer);
  EXPECT_TRUE(resolve(full).unchanged);
  EXPECT_TRUE(resolve(std::string(1100, 'x')).unchanged);

  // Short paths whose link makes the rebuilt form long.
  TempDir tmp3;
  std::string deep = folder_path_of_length(tmp3, 1020);
  tmp3.write("link", deep.substr(tmp3.str().size() + 1));
  EXPECT_EQ(resolve(tmp3.str() + "/link").text, deep);
  EXPECT_TRUE(resolve(tmp3.str() + "/link/tail").unchanged);
}

// ---------------------------------------------------------------------------
// Trace output: where it goes, not what it says

TEST(SymlinkTrace, GoesToItsFileOrStandardOutputAndChangesNothing) {
  TempDir tmp;
  build_tree(tmp, {dir("a/real"), file("a/link", "real")});
  const std::string t = tmp.str();
  for (int level = 0; level <= 2; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    std::string trace = t + "/trace" + std::to_string(level) + ".txt";
    EXPECT_EQ(resolve(t + "/a/link/.", traced_settings(level, trace)).text, t + "/a/real");
    if (level == 0) {
      EXPECT_FALSE(std::filesystem::exists(trace));
      continue;
    }
    std::istringstream lines(read_file(trace));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) EXPECT_EQ(line.rfind("SYMLINK DEBUG: ", 0), 0u) << line;
    EXPECT_GT(count, 0);
  }
}

TEST(SymlinkTrace, UnwritableTraceFileFallsBackToTheReporter) {
  TempDir tmp;
  build_tree(tmp, {dir("a/real"), file("a/link", "real")});
  const std::string t = tmp.str();
  symlink_settings s = traced_settings(1, t + "/no/such/folder/trace.txt");
  stdio_reporter to_stdout;  // info lines on standard output
  s.reporter = &to_stdout;
  ::testing::internal::CaptureStdout();
  resolve(t + "/a/link/..", s);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("SYMLINK DEBUG: "), std::string::npos);
}

// ---------------------------------------------------------------------------
// Threads

TEST(SymlinkThreads, ResultsStayPerThread) {
  TempDir tmp;
  build_tree(tmp, {dir("shared/real/x"), file("shared/link", "real")});
  for (int k = 0; k < 2; ++k) {
    tmp.mkdir("t" + std::to_string(k) + "/real" + std::to_string(k));
    tmp.write("t" + std::to_string(k) + "/link", "real" + std::to_string(k));
  }
  const std::string t = tmp.str();
  std::atomic<int> ready{0};
  std::atomic<bool> failed{false};
  const char* results[2] = {nullptr, nullptr};
  auto work = [&](int k) {
    std::string own = t + "/t" + std::to_string(k) + "/link/.";
    std::string own_expected = t + "/t" + std::to_string(k) + "/real" + std::to_string(k);
    std::string shared = t + "/shared/link/x";
    ++ready;
    while (ready.load() < 2) host_yield();
    for (int round = 0; round < 300; ++round) {
      const char* r = resolve_emulated_links(own.c_str(), quiet_settings()).value();
      results[k] = r;
      for (int spin = 0; spin < 3; ++spin) host_yield();  // let the other thread resolve meanwhile
      if (own_expected != r) failed = true;
      if (t + "/shared/real/x" != resolve_emulated_links(shared.c_str(), quiet_settings()).value()) failed = true;
    }
  };
  std::thread a(work, 0), b(work, 1);
  a.join();
  b.join();
  EXPECT_FALSE(failed.load());
  EXPECT_NE(results[0], results[1]);
}

}  // namespace
}  // namespace test
}  // namespace volpack
