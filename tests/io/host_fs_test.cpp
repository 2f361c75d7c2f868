// The host layer's POSIX-shaped surface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "io/host_fs.h"
#include "support/support.h"

namespace volpack {
namespace {

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

TEST(HostDir, EnumeratesWithOrWithoutTrailingSeparator) {
  TempDir dir;
  dir.write("a.txt", "1");
  dir.write(".hidden", "");
  dir.mkdir("sub");
  std::set<std::string> expected = {"./", "../", "a.txt", ".hidden", "sub/"};
  EXPECT_EQ(expected, list(dir.str()));
  EXPECT_EQ(expected, list(dir.str() + "/"));
}

TEST(HostDir, RefusesEmptyMissingAndFilePaths) {
  TempDir dir;
  auto file = dir.write("f", "x");
  errno = 0;
  EXPECT_EQ(nullptr, host_opendir(""));
  EXPECT_EQ(EINVAL, host_errno());
  EXPECT_EQ(nullptr, host_opendir(nullptr));
  EXPECT_EQ(nullptr, host_opendir((dir.path() / "missing").string().c_str()));
  EXPECT_EQ(ENOENT, host_errno());
  EXPECT_EQ(nullptr, host_opendir(file.string().c_str()));
  EXPECT_EQ(ENOTDIR, host_errno());
  EXPECT_EQ(-1, host_closedir(nullptr));
  EXPECT_EQ(EBADF, host_errno());
  EXPECT_EQ(nullptr, host_readdir(nullptr));
}

TEST(HostDir, TypesLinksAndSpecialFilesApart) {
  TempDir dir;
  dir.mkdir("real");
  std::filesystem::create_directory_symlink("real", dir.path() / "dirlink");
  std::filesystem::create_symlink("nowhere", dir.path() / "dangling");
  std::set<std::string> names;
  host_dir* d = host_opendir(dir.str().c_str());
  ASSERT_NE(nullptr, d);
  while (host_dirent* e = host_readdir(d)) {
    std::string n = e->d_name;
    if (n == "dirlink" || n == "dangling") {
      EXPECT_EQ(DT_LNK, e->d_type) << n;
    } else if (n == "real") {
      EXPECT_EQ(DT_DIR, e->d_type);
    }
  }
  host_closedir(d);
  host_stat_t st;
  ASSERT_EQ(0, host_lstat((dir.path() / "dangling").string().c_str(), &st));
  EXPECT_EQ(DT_LNK, st.type);
  EXPECT_EQ(7u, st.size);  // the link's own size: its target text
  EXPECT_EQ(-1, host_stat((dir.path() / "dangling").string().c_str(), &st));
  std::string target;
  EXPECT_TRUE(host_readlink((dir.path() / "dangling").string().c_str(), &target));
  EXPECT_EQ("nowhere", target);
  EXPECT_FALSE(host_readlink((dir.path() / "real").string().c_str(), &target));
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

TEST(HostTime, ClockAndTimeZoneAreSane) {
  EXPECT_GT(host_time(), 1600000000);  // after 2020
  int32_t bias = host_timezone_bias_minutes();
  EXPECT_GE(bias, -14 * 60);
  EXPECT_LE(bias, 12 * 60);
}

}  // namespace
}  // namespace volpack
