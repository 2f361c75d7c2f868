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
  uint64_t counter = 2048;
  EXPECT_TRUE(compute_directory_size(dir.str().c_str(), &counter));
  return counter - 2048;
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
  uint64_t counter = 2048;
  EXPECT_FALSE(compute_directory_size(dir.str().c_str(), &counter));
  EXPECT_EQ(EACCES, host_errno());
}

}  // namespace
}  // namespace volpack
