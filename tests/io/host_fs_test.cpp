// The host layer's POSIX-shaped surface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>

#include "io/die.h"
#include "io/host_fs.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::HostFaults;
using test::TempDir;

std::set<std::string> list(const std::string& path) {
  std::set<std::string> names;
  host_dir* d = host_opendir(path.c_str());
  if (d == nullptr) return names;
  while (host_dirent* e = host_readdir(d)) names.insert(std::string(e->d_name) + (e->d_type == DT_DIR ? "/" : ""));
  EXPECT_EQ(nullptr, host_readdir(d));  // stays at the end
  EXPECT_EQ(0, host_closedir(d));
  return names;
}

TEST(HostDir, EnumeratesWithOrWithoutTrailingSeparatorAndRefusesOtherPaths) {
  TempDir dir;
  auto file = dir.write("a.txt", "1");
  dir.write(".hidden", "");
  dir.mkdir("sub");
  std::set<std::string> expected = {"./", "../", "a.txt", ".hidden", "sub/"};
  EXPECT_EQ(expected, list(dir.str()));
  EXPECT_EQ(expected, list(dir.str() + "/"));
  EXPECT_EQ(nullptr, host_opendir(""));
  EXPECT_EQ(EINVAL, host_errno());
  EXPECT_EQ(nullptr, host_opendir((dir.path() / "missing").string().c_str()));
  EXPECT_EQ(ENOENT, host_errno());
  EXPECT_EQ(nullptr, host_opendir(file.string().c_str()));
  EXPECT_EQ(ENOTDIR, host_errno());
}

TEST(HostFiles, WriteAllTruncateAndStat) {
  TempDir dir;
  std::string path = (dir.path() / "dev").string();
  int fd = host_open(path.c_str(), HOST_O_WRONLY | HOST_O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(0, host_write_all(fd, "", 0));
  EXPECT_EQ(5, host_write_all(fd, "hello", 5));
  EXPECT_TRUE(host_ftruncate(fd, 4096));
  EXPECT_TRUE(host_lseek(fd, 4094));
  EXPECT_EQ(2, host_write_all(fd, "!!", 2));
  host_stat_t st;
  ASSERT_EQ(0, host_fstat(fd, &st));
  EXPECT_EQ(4096u, st.size);
  EXPECT_EQ(DT_REG, st.type);
  EXPECT_EQ(0, host_close(fd));
  EXPECT_LT(host_write_all(-1, "x", 1), 1);  // a failure never returns the count
  std::string content = test::read_file(path);
  EXPECT_EQ("hello", content.substr(0, 5));
  EXPECT_EQ("!!", content.substr(4094));
}

TEST(HostAsprintf, ShortAndLongTexts) {
  std::string out;
  EXPECT_EQ(15, asprintf(&out, "%s/%s", "abcdefg", "ijklmno"));
  EXPECT_EQ("abcdefg/ijklmno", out);
  EXPECT_EQ(16, asprintf(&out, "%s/%s", "abcdefgh", "ijklmno"));
  EXPECT_EQ("abcdefgh/ijklmno", out);
  std::string big(5000, 'z');
  EXPECT_EQ(5001, asprintf(&out, "%s!", big.c_str()));
  EXPECT_EQ(big + "!", out);
}

// CTest runs this test again under TZ=Asia/Kolkata and TZ=America/New_York
// with VOLPACK_EXPECTED_BIAS set: east of UTC is negative, and daylight-saving
// time never counts.
TEST(HostTime, ClockAndTimeZoneAreSane) {
  EXPECT_GT(host_time(), 1600000000);  // after 2020
  int32_t bias = host_timezone_bias_minutes();
  EXPECT_GE(bias, -14 * 60);
  EXPECT_LE(bias, 12 * 60);
  if (const char* expected = std::getenv("VOLPACK_EXPECTED_BIAS")) {
    EXPECT_EQ(std::atoi(expected), bias);
  }
}

TEST(HostFiles, OpenFilesCanBeRemoved) {
  TempDir dir;
  std::string a = (dir.path() / "scratch.hfs").string(), b = (dir.path() / "out.dmg").string();
  int fd = host_open(a.c_str(), HOST_O_WRONLY | HOST_O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  std::FILE* fp = host_fopen(b.c_str(), "wb");
  ASSERT_NE(nullptr, fp);
  EXPECT_EQ(1, host_write_all(fd, "x", 1));
  // What the exit clean-up does while the volume and the image are still open.
  host_remove_raw(a.c_str());
  host_remove_raw(b.c_str());
  EXPECT_EQ(0, host_close(fd));
  EXPECT_EQ(0, std::fclose(fp));
  EXPECT_FALSE(std::filesystem::exists(a));
  EXPECT_FALSE(std::filesystem::exists(b));
}

TEST(HostFiles, PathsLongerThan260Characters) {
  TempDir dir;
  std::string path = dir.str();
  for (int i = 0; i < 5; ++i) {
    path += "/" + std::string(60, static_cast<char>('a' + i));
    ASSERT_TRUE(host_mkdir(path.c_str())) << path.size();
  }
  std::string file = path + "/f.bin";
  ASSERT_GT(file.size(), 300u);
  int fd = host_open(file.c_str(), HOST_O_WRONLY | HOST_O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(3, host_write_all(fd, "abc", 3));
  EXPECT_EQ(0, host_close(fd));
  host_stat_t st;
  ASSERT_EQ(0, host_stat(file.c_str(), &st));
  EXPECT_EQ(3u, st.size);
  std::set<std::string> expected = {"./", "../", "f.bin"};
  EXPECT_EQ(expected, list(path));
  std::FILE* fp = host_fopen(file.c_str(), "rb");
  ASSERT_NE(nullptr, fp);
  std::fclose(fp);
  EXPECT_EQ(0, host_remove(file.c_str()));
  EXPECT_EQ(-1, host_stat(file.c_str(), &st));
  EXPECT_EQ(ENOENT, host_errno());
}

TEST(HostInterruptDeathTest, InterruptsRunTheCleanUpAndExitWithStatus1) {
  for (int sig : {SIGINT, SIGTERM}) {
    TempDir dir;
    auto scratch = dir.write("out.dmg.hfs", "x");
    EXPECT_EXIT(
        {
          cleanup_register(scratch.string().c_str());
          std::raise(sig);
          std::fputs("the interrupt returned\n", stderr);
        },
        ::testing::ExitedWithCode(1), "^interrupted\n$")
        << sig;
    EXPECT_FALSE(std::filesystem::exists(scratch)) << sig;
  }
}

// A folder read to an error is told apart from one read to its end, and the
// failure names the folder.
TEST(HostFaults, DirectoryReadErrorsAreNotTheEnd) {
  TempDir dir;
  for (int i = 0; i < 5; ++i) dir.write("f" + std::to_string(i), "x\n");
  host_dir* d = host_opendir(dir.str().c_str());
  ASSERT_NE(nullptr, d);
  int seen = 0;
  {
    HostFaults faults(host_op::readdir, 3, EIO);
    while (host_readdir(d) != nullptr) ++seen;
    EXPECT_EQ(EIO, host_errno());
  }
  EXPECT_EQ(2, seen);
  EXPECT_EQ(EIO, host_dir_error(d));
  EXPECT_EQ(nullptr, host_readdir(d));  // an error ends it for good
  host_failure f;
  ASSERT_TRUE(host_take_failure(&f));
  EXPECT_EQ(host_op::readdir, f.op);
  EXPECT_EQ(dir.str(), f.path);
  EXPECT_FALSE(host_take_failure(&f));  // taken once
  host_closedir(d);

  d = host_opendir(dir.str().c_str());
  while (host_readdir(d) != nullptr) ++seen;
  EXPECT_EQ(0, host_errno());
  EXPECT_EQ(0, host_dir_error(d));
  host_closedir(d);
}

// Every kind of operation can be failed, and the failure names the file.
TEST(HostFaults, FailuresKeepThePathAndTheReason) {
  TempDir dir;
  std::string path = (dir.path() / "f").string();
  struct step {
    host_op op;
    std::function<bool()> run;  // true when the operation succeeded
  };
  int fd = host_open(path.c_str(), HOST_O_RDWR | HOST_O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  std::FILE* fp = host_fopen(path.c_str(), "rb+");
  ASSERT_NE(nullptr, fp);
  char buf[4] = "abc";
  std::vector<step> steps = {
      {host_op::write, [&] { return host_write_all(fd, buf, 3) == 3; }},
      {host_op::write, [&] { return host_pwrite(fp, 0, buf, 3) == 3; }},
      {host_op::read, [&] { return host_pread(fp, 0, buf, 3) == 3; }},
      {host_op::resize, [&] { return host_ftruncate(fd, 10); }},
      {host_op::sync, [&] { return host_fsync(fd); }},
      {host_op::open, [&] {
         int f2 = host_open(path.c_str(), HOST_O_RDONLY, 0);
         if (f2 >= 0) host_close(f2);
         return f2 >= 0;
       }},
  };
  for (const step& s : steps) {
    EXPECT_TRUE(s.run()) << host_op_name(s.op);
    HostFaults faults(s.op, 1, ENOSPC);
    EXPECT_FALSE(s.run()) << host_op_name(s.op);
    host_failure f;
    ASSERT_TRUE(host_take_failure(&f)) << host_op_name(s.op);
    EXPECT_EQ(s.op, f.op);
    EXPECT_EQ(ENOSPC, f.error);
    EXPECT_EQ(path, f.path);
  }
  host_close(fd);
  EXPECT_EQ(0, host_fclose(fp));
}

// Temporaries: new files only, unique names beside the output, each name
// component within 255 bytes even for the longest output names.
TEST(HostRunFiles, UniqueTemporariesFitBesideAnyOutputName) {
  TempDir dir;
  for (size_t len : {7u, 240u, 255u}) {
    std::string out = dir.str() + "/" + std::string(len - 4, 'n') + ".dmg";
    std::string a, b;
    int fa = host_create_unique(out.c_str(), ".hfs", &a);
    int fb = host_create_unique(out.c_str(), ".hfs", &b);
    ASSERT_GE(fa, 0) << len << " " << host_strerror(host_errno());
    ASSERT_GE(fb, 0) << len;
    EXPECT_NE(a, b);
    std::string name = std::filesystem::path(a).filename().string();
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(0u, name.rfind(std::string(std::min<size_t>(len - 4, 100), 'n'), 0)) << name;
    EXPECT_EQ(".hfs", name.substr(name.size() - 4));
    EXPECT_EQ(0u, std::filesystem::file_size(a));
    host_close(fa);
    host_close(fb);
  }
  // Shortened names of different outputs stay different.
  std::string l1 = host_sibling_path((std::string(300, 'a') + "1").c_str(), ".lock");
  std::string l2 = host_sibling_path((std::string(300, 'a') + "2").c_str(), ".lock");
  EXPECT_NE(l1, l2);
  EXPECT_EQ(255u, l1.size());
}

// A run's own files are reopened, removed and renamed only as the file the
// run created, whatever the name leads to meanwhile.
TEST(HostRunFiles, PinnedNamesReachOnlyTheRunsFile) {
  TempDir dir;
  std::string out = dir.str() + "/out.dmg", path;
  int fd = host_create_unique(out.c_str(), ".part", &path);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(host_pin(path.c_str(), fd));
  std::FILE* fp = host_fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, fp);
  EXPECT_EQ(5u, host_fwrite(fp, "image", 5));
  EXPECT_EQ(0, host_fclose(fp));
  // Another file takes the name: nothing of ours may touch it.
  std::string other = dir.write("other", "precious\n").string();
  std::error_code swap_refused;
  std::filesystem::rename(other, path, swap_refused);
  if (swap_refused) {  // Windows: no name of an open file can be taken over
    host_unpin(path.c_str());
    host_close(fd);
    return;
  }
  fp = host_fopen(path.c_str(), "rb");
  ASSERT_NE(nullptr, fp);
  char buf[16] = {};
  EXPECT_EQ(5u, host_fread(fp, buf, sizeof buf));
  EXPECT_EQ(std::string("image"), buf);
  host_fclose(fp);
  EXPECT_NE(0, host_remove(path.c_str()));
  host_remove_raw(path.c_str());
  EXPECT_FALSE(host_rename_replace(path.c_str(), out.c_str()));
  EXPECT_EQ("precious\n", test::read_file(path));
  EXPECT_FALSE(std::filesystem::exists(out));
  host_unpin(path.c_str());
  host_close(fd);
}

// One lock per output: a second holder is refused until the first lets go.
TEST(HostRunFiles, LockFilesExcludeASecondHolder) {
  TempDir dir;
  std::string lock = dir.str() + "/out.dmg.lock";
  bool created = false, again = true;
  int fd = host_lock_file(lock.c_str(), &created);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(created);
  EXPECT_EQ(-1, host_lock_file(lock.c_str(), &again));
  EXPECT_EQ(EAGAIN, host_errno());
  host_close(fd);
  fd = host_lock_file(lock.c_str(), &again);
  EXPECT_GE(fd, 0);
  EXPECT_FALSE(again);
  host_close(fd);
}

// A rename replaces the file at its target and is made durable; a failed
// folder sync leaves the move standing.
TEST(HostRunFiles, RenameReplacesAndSyncsTheFolder) {
  TempDir dir;
  std::string from = dir.write("a", "1\n").string(), to = dir.write("b", "old image").string();
  bool synced = false;
#ifndef _WIN32  // Windows writes the move through instead of syncing the folder
  {
    HostFaults faults(host_op::sync, 1, EIO);
    EXPECT_TRUE(host_rename_replace(from.c_str(), to.c_str(), &synced));
    EXPECT_TRUE(faults.fired());
  }
  EXPECT_FALSE(synced);
  host_clear_failure();
#else
  EXPECT_TRUE(host_rename_replace(from.c_str(), to.c_str(), &synced));
#endif
  EXPECT_EQ("1\n", test::read_file(to));
  EXPECT_FALSE(std::filesystem::exists(from));
  EXPECT_FALSE(host_rename_replace(from.c_str(), to.c_str()));
  EXPECT_EQ(ENOENT, host_errno());
  host_clear_failure();
  EXPECT_TRUE(host_rename_replace(to.c_str(), from.c_str(), &synced));
  EXPECT_TRUE(synced);
  {
    HostFaults faults(host_op::rename, 1, EIO);
    EXPECT_FALSE(host_rename_replace(from.c_str(), to.c_str()));
  }
  EXPECT_TRUE(std::filesystem::exists(from));
  host_clear_failure();
}

}  // namespace
}  // namespace volpack
