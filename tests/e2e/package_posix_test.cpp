// End-to-end: volpack packages host trees, and the images read back through
// independent readers (7-Zip, dmg2img) and through volpack's own volume code.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <cstring>
#include <map>
#include <random>
#include <regex>

#include "hfs/catalog.h"
#include "hfs/volume.h"
#include "io/host_fs.h"
#include "io/io.h"
#include "support/support.h"

namespace volpack {
namespace {

namespace fs = std::filesystem;
using test::package;
using test::random_text;
using test::TempDir;
using test::tree_map;

// The raw volume inside an image, through dmg2img.
fs::path raw_volume(const fs::path& image, const TempDir& work) {
  fs::path raw = work.path() / "volume.raw";
  auto r = test::run_program("dmg2img -s -i " + test::shell_quote(image.string()) + " -o " +
                             test::shell_quote(raw.string()));
  EXPECT_EQ(0, r.status) << r.out << r.err;
  return raw;
}

bool have_readers() { return test::have_program("7zz") && test::have_program("dmg2img"); }

#define REQUIRE_READERS()                                                                 \
  if (!have_readers()) GTEST_SKIP() << "7zz and dmg2img are needed (Debian: 7zip dmg2img)"

class Package : public ::testing::Test {
 protected:
  TempDir work;
  fs::path out() const { return work.path() / "out.dmg"; }
  // The image's tree as 7-Zip extracts it.
  tree_map extracted(const std::string& volume_name) const {
    fs::remove_all(work.path() / "x");
    return test::extract_with_7zz(out(), work.path() / "x", volume_name);
  }
  // None of the run's own files ("out.dmg.*") in the work folder.
  void expect_no_leftovers() {
    for (const auto& e : fs::directory_iterator(work.path()))
      EXPECT_NE(0u, e.path().filename().string().rfind("out.dmg.", 0)) << "left behind";
  }
};

TEST_F(Package, AppBundleReadsBackExactly) {
  REQUIRE_READERS();
  TempDir src_root;
  fs::path app = src_root.mkdir("Sample.app");
  TempDir& t = src_root;
  t.write("Sample.app/Contents/Info.plist", "<?xml version=\"1.0\"?>\n<plist/>\n");
  t.write("Sample.app/Contents/PkgInfo", "APPL????");
  t.write("Sample.app/Contents/MacOS/launch", "#!/bin/sh\necho hi\n");
  t.write("Sample.app/Contents/MacOS/Sample", std::string("\xCF\xFA\xED\xFE", 4) + random_text(5000, 1));
  t.write("Sample.app/Contents/MacOS/tool", std::string("\x7F" "ELF", 4) + random_text(100, 2));
  fs::permissions(app / "Contents/MacOS/tool", fs::perms::owner_exec, fs::perm_options::add);
  t.write("Sample.app/Contents/Resources/empty", "");
  t.write("Sample.app/Contents/Resources/block", random_text(4096, 3));
  t.write("Sample.app/Contents/Resources/block+1", random_text(4097, 4));
  t.write("Sample.app/Contents/Resources/big.pak", random_text(3 << 20, 5) + std::string(1 << 20, '\0'));
  t.write("Sample.app/Contents/Resources/caf\xC3\xA9.txt", "accent\n");
  t.write("Sample.app/Contents/Resources/\xE6\x97\xA5\xE6\x9C\xAC.txt", "nihon\n");
  t.write("Sample.app/Contents/Resources/a:b", "colon in a name\n");
  t.write("Sample.app/Contents/Frameworks/X.framework/Versions/A/X", std::string("\xCA\xFE\xBA\xBE", 4) + "fat");
  t.write("Sample.app/Contents/Frameworks/X.framework/Versions/Current", "A");  // one-line link file
  fs::create_symlink("Versions/Current/X", app / "Contents/Frameworks/X.framework/X");  // host link
  fs::create_directory_symlink("Versions/Current/Resources", app / "Contents/Frameworks/X.framework/Resources");
  t.write("Sample.app/Contents/Frameworks/X.framework/Versions/A/Resources/r.txt", "res\n");
  t.write("Sample.app/Contents/.VolumeIcon.icns", "icns\n");  // not in the top folder: an ordinary file
  t.mkdir("Sample.app/Contents/Empty");

  auto r = package(out(), app, true);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  expect_no_leftovers();

  tree_map want = test::scan_tree(app);
  // The one-line link file becomes a link; names keep their bytes.
  want["Contents/Frameworks/X.framework/Versions/Current"] = {'l', "A"};
  tree_map got = extracted("Sample.app");
  // A colon is stored as the slash HFS+ keeps on disk, which 7-Zip shows as '_'.
  want["Contents/Resources/a_b"] = want["Contents/Resources/a:b"];
  want.erase("Contents/Resources/a:b");
  // The volume keeps names decomposed, as macOS looks them up: é is e + U+0301.
  want["Contents/Resources/cafe\xCC\x81.txt"] = want["Contents/Resources/caf\xC3\xA9.txt"];
  want.erase("Contents/Resources/caf\xC3\xA9.txt");
  for (const auto& [path, e] : want) {
    ASSERT_TRUE(got.count(path)) << path;
    EXPECT_EQ(e.kind, got[path].kind) << path;
    EXPECT_TRUE(e.content == got[path].content) << path;
  }
  for (const auto& [path, e] : got) EXPECT_TRUE(want.count(path)) << "unexpected " << path;

  // Verbose lines name volume paths.
  EXPECT_NE(std::string::npos, r.out.find("Adding folder: /Contents\n"));
  EXPECT_NE(std::string::npos, r.out.find("Added executable: /Contents/MacOS/launch\n"));
  EXPECT_NE(std::string::npos, r.out.find("Added executable: /Contents/MacOS/Sample\n"));
  EXPECT_NE(std::string::npos, r.out.find("Added executable: /Contents/MacOS/tool\n"));
  EXPECT_NE(std::string::npos, r.out.find("Added symlink: /Contents/Frameworks/X.framework/Versions/Current -> A\n"));
  EXPECT_NE(std::string::npos, r.out.find("Added file: /Contents/.VolumeIcon.icns\n"));
  EXPECT_EQ(0u, r.out.rfind("Measuring required size...\n", 0));
  EXPECT_NE(std::string::npos, r.out.find("Done.\n"));

  // Modes as volpack lists them (verify --against takes its expectations from the importer's own rules).
  std::string listing = test::run_volpack("list " + test::shell_quote(out().string())).out;
  const std::pair<const char*, const char*> modes[] = {
      {"f 0755", "/Contents/MacOS/launch"},
      {"f 0755", "/Contents/MacOS/Sample"},
      {"f 0755", "/Contents/MacOS/tool"},
      {"f 0755", "/Contents/Frameworks/X.framework/Versions/A/X"},
      {"f 0644", "/Contents/Info.plist"},
      {"l 0644", "/Contents/Frameworks/X.framework/X -> Versions/Current/X"},
      {"d 0755", "/Contents"},
  };
  for (auto [mode, path] : modes)
    EXPECT_TRUE(std::regex_search(listing, std::regex(std::string("(^|\n)") + mode + " +[0-9]+ " + path + "\n")))
        << mode << " " << path << "\n" << listing;
}

// Only ".VolumeIcon.icns" in the top folder, with that letter case, is the
// volume's icon; elsewhere or spelled otherwise it is an ordinary file.
TEST_F(Package, VolumeIconAndFinderSettingsInTheTopFolder) {
  REQUIRE_READERS();
  for (const char* icon_name : {".VolumeIcon.icns", "sub/.VolumeIcon.icns", ".volumeicon.icns"}) {
    SCOPED_TRACE(icon_name);
    const bool is_icon = std::string(icon_name) == ".VolumeIcon.icns";
    TempDir src;
    // Binary content: a small text without a line end would be a one-line link file.
    src.write(icon_name, std::string("icns\0\0\x01\x02", 8));
    src.write(".DS_Store", std::string("\0\0\0\x01" "Bud1", 8));
    auto r = package(out(), src.path(), true);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(is_icon, r.out.find("Added volume icon: /.VolumeIcon.icns\n") != std::string::npos) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Added Desktop Services settings store: /.DS_Store\n"));
    fs::path raw = raw_volume(out(), work);
    auto io = create_io_from_path(raw.string().c_str());
    auto vol = test::ok_value(volume_open(io.get()));
    ASSERT_TRUE(vol);
    auto root = test::ok_value(volume_get_record_from_path(vol.get(), "/", nullptr, nullptr));
    EXPECT_EQ(is_icon ? kHasCustomIcon : 0, root->folder.userInfo.finderFlags);
    const std::string icon_path = std::string("/") + icon_name;
    auto icon = test::ok_value(volume_get_record_from_path(vol.get(), icon_path.c_str(), nullptr, nullptr));
    ASSERT_TRUE(icon);
    EXPECT_EQ(is_icon ? fourcc("    ") : 0u, icon->file.userInfo.fileType);
    EXPECT_EQ(is_icon ? fourcc("    ") : 0u, icon->file.userInfo.fileCreator);
    volume_close(std::move(vol));
  }
}

TEST_F(Package, EmptyFolderAndManyTinyFilesFit) {
  REQUIRE_READERS();
  TempDir empty;
  auto r = package(out(), empty.path());
  ASSERT_EQ(0, r.status) << r.err;
  expect_no_leftovers();

  TempDir tiny;
  std::mt19937 rng(7);
#ifdef VOLPACK_SANITIZED
  const int kFiles = 4000;  // the sanitizers make each file many times slower
#else
  const int kFiles = 20000;
#endif
  for (int i = 0; i < kFiles; ++i) {
    char rel[64];
    std::snprintf(rel, sizeof rel, "d%02d/f%05d.txt", i % 50, i);
    // Text ending in a line end, so that none is a one-line link file.
    tiny.write(rel, std::string(rng() % 200, static_cast<char>('a' + i % 26)) + "\n");
  }
  r = package(out(), tiny.path());
  ASSERT_EQ(0, r.status) << r.err;
  tree_map got = extracted(tiny.path().filename().string());
  EXPECT_EQ(static_cast<size_t>(kFiles + 50), got.size());
  EXPECT_EQ(test::scan_tree(tiny.path()), got);
}

TEST_F(Package, SpecialFilesAreSkipped) {
  REQUIRE_READERS();
  TempDir src;
  src.write("a.txt", "a\n");
  ASSERT_EQ(0, mkfifo((src.path() / "pipe").c_str(), 0644));
  auto r = package(out(), src.path());
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("WARNING:")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("pipe")) << r.err;
  tree_map got = extracted(src.path().filename().string());
  EXPECT_EQ(1u, got.count("a.txt"));
  EXPECT_EQ(0u, got.count("pipe"));
}

// Files at the output's names that are not this run's own: links planted at
// them are never followed, files of the old fixed names never touched, an
// output that is not a regular file or lies inside the source is refused, and
// a run holding the output's lock stops a second one.
TEST_F(Package, OnlyTheRunsOwnFilesAreTouched) {
  TempDir src, other;
  src.write("a.txt", "a\n");
  fs::path victim = other.write("victim", "precious\n");
  fs::create_symlink(victim, work.path() / "out.dmg.volpack-lock");
  auto r = package(out(), src.path());
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("precious\n", test::read_file(victim));
  fs::remove(work.path() / "out.dmg.volpack-lock");

  test::write_file(work.path() / "out.dmg.hfs", "mine\n");
  fs::create_symlink(victim, work.path() / "out.dmg.volpack-part");
  r = package(out(), src.path());
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("mine\n", test::read_file(work.path() / "out.dmg.hfs"));
  EXPECT_EQ("precious\n", test::read_file(victim));
  fs::remove(work.path() / "out.dmg.hfs");
  fs::remove(work.path() / "out.dmg.volpack-part");

  fs::create_symlink(victim, work.path() / "link.dmg");
  ASSERT_EQ(0, mkfifo((work.path() / "fifo.dmg").c_str(), 0644));
  for (const char* name : {"link.dmg", "fifo.dmg"}) {
    r = package(work.path() / name, src.path());
    EXPECT_EQ(1, r.status) << name;
    EXPECT_NE(std::string::npos, r.err.find("not a regular file")) << r.err;
  }
  EXPECT_TRUE(fs::is_symlink(work.path() / "link.dmg"));
  EXPECT_TRUE(fs::is_fifo(work.path() / "fifo.dmg"));
  EXPECT_EQ("precious\n", test::read_file(victim));
  fs::remove(work.path() / "link.dmg");
  fs::remove(work.path() / "fifo.dmg");

  fs::path inside = src.path() / "sub" / "out.dmg";
  fs::create_directories(inside.parent_path());
  r = package(inside, src.path());
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("inside the source")) << r.err;
  EXPECT_TRUE(fs::is_empty(inside.parent_path()));

  bool created = false;
  int lock = host_lock_file((work.path() / "out.dmg.volpack-lock").c_str(), &created);
  ASSERT_GE(lock, 0);
  r = package(out(), src.path());
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("another volpack run")) << r.err;
  host_close(lock);
  fs::remove(work.path() / "out.dmg.volpack-lock");
  expect_no_leftovers();
}

// A file-size limit is a write error like any other: one message with the
// reason, nothing left, no signal death.
TEST_F(Package, FileSizeLimitIsAWriteError) {
  TempDir src;
  src.write("big", random_text(4 << 20, 3));
  auto r = test::run_program("ulimit -f 1024 && " + test::shell_quote(test::volpack_exe()) + " " +
                             test::shell_quote(out().string()) + " " + test::shell_quote(src.str()));
  EXPECT_EQ(1, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(std::strerror(EFBIG))) << r.err;
  expect_no_leftovers();
  EXPECT_FALSE(fs::exists(out()));
}

// Two host names that are one name on the volume stop the run, whatever the
// two entries are. Files end in a line end: they are plain files, never links.
TEST_F(Package, NamesThatAreOneOnTheVolumeStopTheRun) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, char>> entries;  // 'f' file, 'd' folder holding a file, 'l' host link
  } cases[] = {
      {"case", {{"Docs/README", 'f'}, {"Docs/readme", 'f'}}},
      {"case at the top", {{"README", 'f'}, {"readme", 'f'}}},
      {"accented case", {{"\xC3\x89t\xC3\xA9", 'f'}, {"\xC3\xA9t\xC3\xA9", 'f'}}},
      {"composed and decomposed", {{"caf\xC3\xA9", 'f'}, {"cafe\xCC\x81", 'f'}}},
      {"ignorable unit", {{"ab", 'f'}, {"a\xE2\x80\x8D" "b", 'f'}}},
      {"file and folder", {{"x", 'f'}, {"X", 'd'}}},
      {"folder and file", {{"x", 'd'}, {"X", 'f'}}},
      {"two folders", {{"Docs", 'd'}, {"docs", 'd'}}},
      {"link and file", {{"L", 'l'}, {"l", 'f'}}},
  };
  for (const Case& c : cases) {
    TempDir src;
    for (const auto& [rel, kind] : c.entries) {
      if (kind == 'f') src.write(rel, "data of " + rel + "\n");
      if (kind == 'd') src.write(rel + "/inner.txt", "inner\n");
      if (kind == 'l') fs::create_symlink("somewhere", src.path() / rel);
    }
    test::write_file(out(), "old image");
    auto r = package(out(), src.path());
    EXPECT_EQ(1, r.status) << c.what;
    for (const auto& [rel, kind] : c.entries)
      EXPECT_NE(std::string::npos, r.err.find("\"" + src.str() + "/" + rel + "\"")) << c.what << ": " << r.err;
    EXPECT_EQ("old image", test::read_file(out())) << c.what;
    expect_no_leftovers();
  }
}

// A name as the volume keeps it: decomposed, as UTF-8.
std::string volume_form(const std::string& rel) {
  std::string out;
  for (const auto& part : fs::path(rel)) {
    HFSUniStr255 u;
    EXPECT_TRUE(unistr_from_host(&u, part.string().data(), part.string().size()));
    out += (out.empty() ? "" : "/") + unistr_to_utf8(u);
  }
  return out;
}

bool one_name(const std::string& a, const std::string& b) {
  HFSUniStr255 ua, ub;
  return unistr_from_host(&ua, a.data(), a.size()) && unistr_from_host(&ub, b.data(), b.size()) &&
         unicode_compare_folded(ua.unicode.data(), ua.length, ub.unicode.data(), ub.length) == 0;
}

struct read_entry {
  char kind;  // 'f', 'x' (mode 0755), 'd', 'l'
  std::string content;
};

// Random trees whose names are drawn to collide: a run either stops naming
// two host paths that are one name on the volume, or keeps every entry with
// its kind and bytes, as 7-Zip reads them back (and verify --against checks
// the modes).
TEST_F(Package, RandomTreesKeepEveryEntryOrNameTheClash) {
  REQUIRE_READERS();
  const char* pieces[] = {"a", "A", "\xC3\xA9", "e\xCC\x81", "\xC3\x89", "E\xCC\x81", "b", "B", "\xE2\x80\x8D"};
  int stopped = 0, kept = 0;
  for (uint32_t seed = 1; seed <= 9; ++seed) {
    std::mt19937 rng(seed);
    const double confusable = std::array<double, 3>{0.0, 0.02, 0.15}[seed % 3];
    TempDir src;
    std::vector<std::string> folders = {""};
    std::map<std::string, read_entry> want;  // host path below the root
    const int count = 50 + static_cast<int>(rng() % 251);
    for (int i = 0; i < count; ++i) {
      const std::string parent = folders[rng() % folders.size()];
      std::string name;
      if (std::uniform_real_distribution<double>(0, 1)(rng) < confusable) {
        for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k) name += pieces[rng() % 8];
        if (rng() % 3 == 0) name.insert(name.size() / 2, pieces[8]);  // U+200D inside
      } else {
        name = "n" + std::to_string(i);
      }
      const std::string rel = parent.empty() ? name : parent + "/" + name;
      if (want.count(rel)) continue;
      std::string text(rng() % 3000, 'a');
      for (char& ch : text) ch = static_cast<char>('a' + rng() % 26);
      switch (rng() % 6) {
        case 0:
          want[rel] = {'d', ""};
          src.mkdir(rel);
          folders.push_back(rel);
          break;
        case 1:
          want[rel] = {'x', "#!/bin/sh\n" + text};
          break;
        case 2:
          want[rel] = {'l', "t" + std::to_string(rng() % 100)};
          fs::create_symlink(want[rel].content, src.path() / rel);
          break;
        case 3:
          want[rel] = {'f', std::string(1, '\0') + text};  // binary
          break;
        default:
          want[rel] = {'f', text + "\n"};
      }
      if (want[rel].kind == 'f' || want[rel].kind == 'x') src.write(rel, want[rel].content);
      if (want[rel].kind == 'x') fs::permissions(src.path() / rel, fs::perms::owner_exec, fs::perm_options::add);
    }
    bool clash = false;
    for (const auto& [a, ea] : want)
      for (const auto& [b, eb] : want)
        if (a < b && fs::path(a).parent_path() == fs::path(b).parent_path() &&
            one_name(fs::path(a).filename().string(), fs::path(b).filename().string()))
          clash = true;

    test::write_file(out(), "old image");
    auto r = package(out(), src.path());
    if (r.status != 0) {
      ++stopped;
      EXPECT_EQ(1, r.status) << "seed " << seed;
      EXPECT_TRUE(clash) << "seed " << seed << ": " << r.err;
      EXPECT_EQ(r.err.size() - 28, r.err.find("error: unable to create DMG\n")) << r.err;  // the driver's last word
      // "cannot import "<root>/A": the volume already holds "<root>/B" ..."
      std::smatch m;
      ASSERT_TRUE(std::regex_search(r.err, m, std::regex("cannot import \"([^\"]*)\": the volume already holds \"([^\"]*)\"")))
          << r.err;
      const std::string root = src.str() + "/";
      ASSERT_EQ(0u, m[1].str().rfind(root, 0));
      ASSERT_EQ(0u, m[2].str().rfind(root, 0));
      fs::path a = m[1].str().substr(root.size()), b = m[2].str().substr(root.size());
      EXPECT_TRUE(want.count(a.string()) && want.count(b.string())) << r.err;
      EXPECT_EQ(a.parent_path(), b.parent_path()) << r.err;
      EXPECT_TRUE(one_name(a.filename().string(), b.filename().string())) << r.err;
      EXPECT_EQ("old image", test::read_file(out()));
      expect_no_leftovers();
      continue;
    }
    ++kept;
    EXPECT_FALSE(clash) << "seed " << seed << ": exit 0 with two entries of one name";
    std::map<std::string, read_entry> want_volume;
    for (const auto& [rel, e] : want) want_volume[volume_form(rel)] = e;

    tree_map by_7zz = extracted(src.path().filename().string());
    EXPECT_EQ(want_volume.size(), by_7zz.size()) << "seed " << seed;
    for (const auto& [path, e] : want_volume) {
      auto it = by_7zz.find(path);
      ASSERT_NE(by_7zz.end(), it) << "seed " << seed << ": missing " << path;
      EXPECT_EQ(e.kind == 'x' ? 'f' : e.kind, it->second.kind) << path;
      EXPECT_TRUE(e.content == it->second.content) << path;
    }
  }
  EXPECT_GT(stopped, 0);
  EXPECT_GT(kept, 0);
}

}  // namespace
}  // namespace volpack
