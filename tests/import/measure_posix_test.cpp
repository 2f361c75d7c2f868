// The size measurement on POSIX hosts: host links and unreadable folders.
#include <gtest/gtest.h>

#include <cerrno>

#include <unistd.h>

#include "import/import.h"
#include "io/host_fs.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::TempDir;

uint64_t measure(const TempDir& dir) {
  tree_census census;
  EXPECT_TRUE(census_directory(dir.str().c_str(), &census));
  return census.measure;
}

TEST(Measure, CountsHostLinksAsThemselvesWithoutFollowing) {
  TempDir outside;
  outside.write("huge", std::string(100000, 'x'));
  TempDir dir;
  std::filesystem::create_symlink(outside.path() / "huge", dir.path() / "file-link");
  std::filesystem::create_directory_symlink(outside.path(), dir.path() / "dir-link");
  std::filesystem::create_directory_symlink(".", dir.path() / "loop");
  // Each link is a small file holding its target text: one sector plus one.
  EXPECT_EQ(3u * 1024, measure(dir));
}

TEST(Measure, FailsOnAnUnreadableFolder) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
  TempDir dir;
  dir.mkdir("locked");
  std::filesystem::permissions(dir.path() / "locked", std::filesystem::perms::none);
  tree_census census;
  EXPECT_FALSE(census_directory(dir.str().c_str(), &census));
  EXPECT_EQ(EACCES, host_errno());
}

}  // namespace
}  // namespace volpack
