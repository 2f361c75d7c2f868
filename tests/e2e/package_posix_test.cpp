// End-to-end: volpack packages host trees, and the images read back through
// independent readers (7-Zip, dmg2img) and through volpack's own volume code.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <array>
#include <thread>

#include "hfs/catalog.h"
#include "hfs/volume.h"
#include "io/host_fs.h"
#include "io/io.h"
#include "support/btree_check.h"
#include "support/support.h"

namespace volpack {
namespace {

namespace fs = std::filesystem;
using test::run_program;
using test::shell_quote;
using test::TempDir;

std::string random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Packages `src`; an image made is checked against its source by volpack's own reader.
test::program_result package(const fs::path& out, const fs::path& src, bool verbose = false) {
  test::program_result r = run_program(shell_quote(test::volpack_exe()) + " " + shell_quote(out.string()) + " " +
                                       shell_quote(src.string()) + (verbose ? " -v" : ""));
  if (r.status == 0) {
    auto v = run_program(shell_quote(test::volpack_exe()) + " verify " + shell_quote(out.string()) + " --against " +
                         shell_quote(src.string()));
    EXPECT_EQ(0, v.status) << v.out << v.err;
  }
  return r;
}

// What a host tree holds, as a reader of the volume should see it.
struct entry {
  char kind;  // 'f' file, 'd' folder, 'l' link
  std::string content;  // file bytes or link target
  bool operator==(const entry& o) const { return kind == o.kind && content == o.content; }
};
using tree_map = std::map<std::string, entry>;

tree_map scan(const fs::path& root) {
  tree_map m;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().lexically_relative(root).string();  // links not resolved
    if (it->is_symlink()) {
      m[rel] = {'l', fs::read_symlink(it->path()).string()};
    } else if (it->is_directory()) {
      m[rel] = {'d', ""};
    } else {
      m[rel] = {'f', test::read_file(it->path())};
    }
  }
  return m;
}

// Extracts the image with 7-Zip and returns the volume's tree.
tree_map extract_with_7zz(const fs::path& image, const TempDir& work, const std::string& volume_name) {
  fs::path dest = work.path() / "x";
  auto r = run_program("7zz x -y -snld " + shell_quote("-o" + dest.string()) + " " + shell_quote(image.string()));
  EXPECT_EQ(0, r.status) << r.out << r.err;
  return scan(dest / volume_name);
}

// The raw volume inside an image, through dmg2img.
fs::path raw_volume(const fs::path& image, const TempDir& work) {
  fs::path raw = work.path() / "volume.raw";
  auto r = run_program("dmg2img -s -i " + shell_quote(image.string()) + " -o " + shell_quote(raw.string()));
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
  t.write("Sample.app/Contents/MacOS/Sample", std::string("\xCF\xFA\xED\xFE", 4) + random_bytes(5000, 1));
  t.write("Sample.app/Contents/MacOS/tool", std::string("\x7F" "ELF", 4) + random_bytes(100, 2));
  fs::permissions(app / "Contents/MacOS/tool", fs::perms::owner_exec, fs::perm_options::add);
  t.write("Sample.app/Contents/Resources/empty", "");
  t.write("Sample.app/Contents/Resources/block", random_bytes(4096, 3));
  t.write("Sample.app/Contents/Resources/block+1", random_bytes(4097, 4));
  t.write("Sample.app/Contents/Resources/big.pak", random_bytes(3 << 20, 5) + std::string(1 << 20, '\0'));
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

  tree_map want = scan(app);
  // The one-line link file becomes a link; names keep their bytes.
  want["Contents/Frameworks/X.framework/Versions/Current"] = {'l', "A"};
  tree_map got = extract_with_7zz(out(), work, "Sample.app");
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

  // volpack's own reading of the volume: modes, Finder info, counts, trees.
  fs::path raw = raw_volume(out(), work);
  auto io = create_io_from_path(raw.string().c_str());
  ASSERT_TRUE(io);
  auto vol = test::ok_value(volume_open(io.get()));
  ASSERT_TRUE(vol);
  auto mode_of = [&](const char* path) {
    auto rec = test::ok_value(
        volume_get_record_from_path_with_options(vol.get(), path, true, false, kHFSRootFolderID, nullptr, nullptr));
    return rec ? rec->permissions()->fileMode : 0;
  };
  EXPECT_EQ(0100755, mode_of("/Contents/MacOS/launch"));
  EXPECT_EQ(0100755, mode_of("/Contents/MacOS/Sample"));
  EXPECT_EQ(0100755, mode_of("/Contents/MacOS/tool"));
  EXPECT_EQ(0100755, mode_of("/Contents/Frameworks/X.framework/Versions/A/X"));
  EXPECT_EQ(0100644, mode_of("/Contents/Info.plist"));
  EXPECT_EQ(0120644, mode_of("/Contents/Frameworks/X.framework/X"));
  EXPECT_EQ(040755, mode_of("/Contents"));
  auto link = test::ok_value(volume_get_record_from_path_with_options(
      vol.get(), "/Contents/Frameworks/X.framework/Versions/Current", true, false, kHFSRootFolderID, nullptr, nullptr));
  ASSERT_TRUE(link);
  EXPECT_EQ(fourcc("slnk"), link->file.userInfo.fileType);
  EXPECT_EQ(fourcc("rhap"), link->file.userInfo.fileCreator);
  auto root = test::ok_value(volume_get_record_from_path(vol.get(), "/", nullptr, nullptr));
  ASSERT_TRUE(root);
  EXPECT_EQ(0, root->folder.userInfo.finderFlags);  // the icon file was not in the top folder
  size_t files = 0, folders = 0;
  for (const auto& [path, e] : want) (e.kind == 'd' ? folders : files) += 1;
  EXPECT_EQ(files, vol->header.fileCount);
  EXPECT_EQ(folders, vol->header.folderCount);
  EXPECT_TRUE(test::btree_check(&vol->catalog_tree).empty());
  EXPECT_TRUE(test::btree_check(&vol->extents_tree).empty());
  volume_close(std::move(vol));
}

TEST_F(Package, VolumeIconAndFinderSettingsInTheTopFolder) {
  REQUIRE_READERS();
  TempDir src;
  // Binary content: a small text without a line end would be a one-line link file.
  src.write(".VolumeIcon.icns", std::string("icns\0\0\x01\x02", 8));
  src.write(".DS_Store", std::string("\0\0\0\x01" "Bud1", 8));
  auto r = package(out(), src.path(), true);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("Added volume icon: /.VolumeIcon.icns\n"));
  EXPECT_NE(std::string::npos, r.out.find("Added Desktop Services settings store: /.DS_Store\n"));
  fs::path raw = raw_volume(out(), work);
  auto io = create_io_from_path(raw.string().c_str());
  auto vol = test::ok_value(volume_open(io.get()));
  ASSERT_TRUE(vol);
  auto root = test::ok_value(volume_get_record_from_path(vol.get(), "/", nullptr, nullptr));
  EXPECT_EQ(kHasCustomIcon, root->folder.userInfo.finderFlags);
  auto icon = test::ok_value(volume_get_record_from_path(vol.get(), "/.VolumeIcon.icns", nullptr, nullptr));
  ASSERT_TRUE(icon);
  EXPECT_EQ(fourcc("    "), icon->file.userInfo.fileType);
  EXPECT_EQ(fourcc("    "), icon->file.userInfo.fileCreator);
  volume_close(std::move(vol));
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
  tree_map got = extract_with_7zz(out(), work, tiny.path().filename().string());
  EXPECT_EQ(static_cast<size_t>(kFiles + 50), got.size());
  EXPECT_EQ(scan(tiny.path()), got);
}

TEST_F(Package, AnOutputThatCannotBeWrittenIsFoundFirst) {
  TempDir src;
  src.write("a.txt", "a\n");
  // An output folder that does not exist is found before any work.
  auto r = package(work.path() / "missing" / "x.dmg", src.path());
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("missing/x.dmg")) << r.err;
  // An output that is a folder.
  fs::create_directory(work.path() / "adir");
  r = package(work.path() / "adir", src.path());
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("adir")) << r.err;
  fs::remove(work.path() / "adir");
  expect_no_leftovers();
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
  tree_map got = extract_with_7zz(out(), work, src.path().filename().string());
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
  src.write("big", random_bytes(4 << 20, 3));
  auto r = run_program("ulimit -f 1024 && " + shell_quote(test::volpack_exe()) + " " + shell_quote(out().string()) +
                       " " + shell_quote(src.str()));
  EXPECT_EQ(1, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(std::strerror(EFBIG))) << r.err;
  expect_no_leftovers();
  EXPECT_FALSE(fs::exists(out()));
}

TEST_F(Package, UnreadableInputFailsCleanly) {
  if (geteuid() == 0 && !test::have_program("setpriv")) GTEST_SKIP() << "needs setpriv to drop root";
  TempDir src;
  src.write("ok.txt", "fine");
  src.write("secret.txt", "no");
  fs::permissions(src.path() / "secret.txt", fs::perms::none);
  fs::permissions(work.path(), fs::perms::all);
  fs::permissions(src.path(), fs::perms::all);
  std::string as_user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  auto r = run_program(as_user + shell_quote(test::volpack_exe()) + " " + shell_quote(out().string()) + " " +
                       shell_quote(src.str()));
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("secret.txt")) << r.err;
  EXPECT_FALSE(fs::exists(out()));
  expect_no_leftovers();

  fs::remove(src.path() / "secret.txt");
  src.mkdir("locked/inner");
  fs::permissions(src.path() / "locked", fs::perms::none);
  r = run_program(as_user + shell_quote(test::volpack_exe()) + " " + shell_quote(out().string()) + " " +
                  shell_quote(src.str()));
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("locked")) << r.err;
  EXPECT_FALSE(fs::exists(out()));
  expect_no_leftovers();
}

TEST_F(Package, InterruptRemovesScratchAndPartialImage) {
  TempDir src;
  for (int i = 0; i < 40; ++i) src.write("f" + std::to_string(i), random_bytes(1 << 20, i));
  std::string cmd = shell_quote(test::volpack_exe()) + " " + shell_quote(out().string()) + " " + shell_quote(src.str());
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", ("exec " + cmd + " >/dev/null 2>&1").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait until the scratch volume exists and has been formatted, then interrupt.
  auto formatted = [&] {
    for (const auto& e : fs::directory_iterator(work.path())) {
      std::string n = e.path().filename().string();
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".hfs") == 0 && fs::file_size(e.path()) > 0) return true;
    }
    return false;
  };
  for (int i = 0; i < 2000 && !formatted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(1, WEXITSTATUS(status));
  expect_no_leftovers();
  EXPECT_FALSE(fs::exists(out()));
}

}  // namespace
}  // namespace volpack

namespace volpack {
namespace {

TEST_F(Package, AFileGrowingWhileCopiedIsAnError) {
  TempDir src;
  fs::path growing = src.write("growing.log", random_bytes(16 << 20, 9));
  // Another process appends to the file for the whole run, as a build step
  // still writing its log would.
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    int fd = open(growing.c_str(), O_WRONLY | O_APPEND);
    for (;;) {
      if (write(fd, "more\n", 5) != 5) _exit(1);
      usleep(100);
    }
  }
  auto r = package(out(), src.path());
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("growing.log\" changed size")) << r.err;
  EXPECT_FALSE(fs::exists(out()));
  expect_no_leftovers();
}

}  // namespace
}  // namespace volpack

namespace volpack {
namespace {

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
  bool operator==(const read_entry& o) const { return kind == o.kind && content == o.content; }
};

// The volume's tree through volpack's own reading code.
void read_volume(volume_t* vol, CatalogNodeID folder, const std::string& prefix,
                 std::map<std::string, read_entry>* out) {
  for (folder_entry_t& e : test::ok_value(volume_get_folder_contents(vol, folder))) {
    std::string path = prefix + (prefix.empty() ? "" : "/") + unistr_to_utf8(e.name);
    catalog_record_t& rec = *e.record;
    if (rec.is_folder()) {
      EXPECT_EQ(040755, rec.folder.permissions.fileMode) << path;
      (*out)[path] = {'d', ""};
      read_volume(vol, rec.folder.folderID, path, out);
      continue;
    }
    std::string data(rec.file.dataFork.logicalSize, '\0');
    auto fork = test::ok_value(volume_open_hfsfile(vol, rec.file.fileID, &rec.file.dataFork, &rec));
    EXPECT_TRUE(hfsfile_read(fork.get(), 0, data.size(), &data[0])) << path;
    hfsfile_close(std::move(fork));
    uint16_t mode = rec.file.permissions.fileMode;
    char kind = mode == 0120644 ? 'l' : mode == 0100755 ? 'x' : mode == 0100644 ? 'f' : '?';
    (*out)[path] = {kind, data};
  }
}

// Random trees whose names are drawn to collide: a run either stops naming
// two host paths that are one name on the volume, or keeps every entry with
// its kind, bytes and mode, as 7-Zip and volpack's own code read them back.
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

    tree_map extracted = extract_with_7zz(out(), work, src.path().filename().string());
    fs::remove_all(work.path() / "x");
    EXPECT_EQ(want_volume.size(), extracted.size()) << "seed " << seed;
    for (const auto& [path, e] : want_volume) {
      auto it = extracted.find(path);
      ASSERT_NE(extracted.end(), it) << "seed " << seed << ": missing " << path;
      EXPECT_EQ(e.kind == 'x' ? 'f' : e.kind, it->second.kind) << path;
      EXPECT_TRUE(e.content == it->second.content) << path;
    }

    fs::path raw = raw_volume(out(), work);
    auto io = create_io_from_path(raw.string().c_str());
    auto vol = test::ok_value(volume_open(io.get()));
    ASSERT_TRUE(vol);
    std::map<std::string, read_entry> got;
    read_volume(vol.get(), kHFSRootFolderID, "", &got);
    EXPECT_TRUE(want_volume == got) << "seed " << seed;
    EXPECT_TRUE(test::btree_check(&vol->catalog_tree).empty());
    volume_close(std::move(vol));
  }
  EXPECT_GT(stopped, 0);
  EXPECT_GT(kept, 0);
}

}  // namespace
}  // namespace volpack
