// The host layer on POSIX hosts: host symbolic links are reported as links.
#include <gtest/gtest.h>

#include "io/host_fs.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::TempDir;

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

}  // namespace
}  // namespace volpack
