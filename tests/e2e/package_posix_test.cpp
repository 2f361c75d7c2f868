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

test::program_result package(const fs::path& out, const fs::path& src, bool verbose = false) {
  return run_program(shell_quote(test::volpack_exe()) + " " + shell_quote(out.string()) + " " +
                     shell_quote(src.string()) + (verbose ? " -v" : ""));
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
  // Nothing but the output (when there is one) in the work folder.
  void expect_no_leftovers() {
    for (const auto& e : fs::directory_iterator(work.path()))
      EXPECT_EQ("out.dmg", e.path().filename().string()) << "left behind";
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
  auto vol = volume_open(io.get());
  ASSERT_TRUE(vol);
  auto mode_of = [&](const char* path) {
    auto rec = volume_get_record_from_path_with_options(vol.get(), path, true, false, kHFSRootFolderID, nullptr,
                                                        nullptr);
    return rec ? rec->permissions()->fileMode : 0;
  };
  EXPECT_EQ(0100755, mode_of("/Contents/MacOS/launch"));
  EXPECT_EQ(0100755, mode_of("/Contents/MacOS/Sample"));
  EXPECT_EQ(0100755, mode_of("/Contents/MacOS/tool"));
  EXPECT_EQ(0100755, mode_of("/Contents/Frameworks/X.framework/Versions/A/X"));
  EXPECT_EQ(0100644, mode_of("/Contents/Info.plist"));
  EXPECT_EQ(0120644, mode_of("/Contents/Frameworks/X.framework/X"));
  EXPECT_EQ(040755, mode_of("/Contents"));
  auto link = volume_get_record_from_path_with_options(vol.get(), "/Contents/Frameworks/X.framework/Versions/Current",
                                                       true, false, kHFSRootFolderID, nullptr, nullptr);
  ASSERT_TRUE(link);
  EXPECT_EQ(fourcc("slnk"), link->file.userInfo.fileType);
  EXPECT_EQ(fourcc("rhap"), link->file.userInfo.fileCreator);
  auto root = volume_get_record_from_path(vol.get(), "/", nullptr, nullptr);
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
  auto vol = volume_open(io.get());
  ASSERT_TRUE(vol);
  auto root = volume_get_record_from_path(vol.get(), "/", nullptr, nullptr);
  EXPECT_EQ(kHasCustomIcon, root->folder.userInfo.finderFlags);
  auto icon = volume_get_record_from_path(vol.get(), "/.VolumeIcon.icns", nullptr, nullptr);
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

TEST_F(Package, FailuresLeaveNothingBehindAndKeepAnOldImage) {
  TempDir src;
  src.write("README", "upper");
  src.write("readme", "lower");  // one name on a case-insensitive volume
  test::write_file(out(), "old image");
  auto r = package(out(), src.path());
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("README")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("readme")) << r.err;
  EXPECT_EQ("old image", test::read_file(out()));
  expect_no_leftovers();

  // An output folder that does not exist is found before any work.
  r = package(work.path() / "missing" / "x.dmg", src.path());
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
