// The size measurement that sizes the volume before formatting.
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

TEST(Measure, AddsEachEntryInWholeSectorsPlusOne) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, size_t>> files;  // size SIZE_MAX: a folder
    uint64_t expected;
  } cases[] = {
      {"empty", {}, 0},
      {"1 byte", {{"f", 1}}, 1024},
      {"512 bytes", {{"f", 512}}, 1024},
      {"513 bytes", {{"f", 513}}, 1536},
      {"0 bytes", {{"f", 0}}, 512},
      {"empty folder", {{"d", SIZE_MAX}}, 512},
      {"folder with a file", {{"d", SIZE_MAX}, {"d/f", 1}}, 512 + 1024},
      {"hidden and icon files count", {{".DS_Store", 10}, {".VolumeIcon.icns", 600}}, 1024 + 1536},
  };
  for (const Case& c : cases) {
    TempDir dir;
    for (const auto& f : c.files) {
      if (f.second == SIZE_MAX)
        dir.mkdir(f.first);
      else
        dir.write(f.first, std::string(f.second, 'x'));
    }
    EXPECT_EQ(c.expected, measure(dir)) << c.name;
  }
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

TEST(Measure, FailsWithTheHostErrorNumber) {
  TempDir dir;
  auto file = dir.write("file", "x");
  uint64_t counter = 2048;
  EXPECT_FALSE(compute_directory_size((dir.path() / "missing").string().c_str(), &counter));
  EXPECT_EQ(ENOENT, host_errno());
  EXPECT_FALSE(compute_directory_size(file.string().c_str(), &counter));
  EXPECT_EQ(ENOTDIR, host_errno());
  EXPECT_EQ(2048u, counter);
  if (geteuid() != 0) {  // root reads every folder
    dir.mkdir("locked");
    std::filesystem::permissions(dir.path() / "locked", std::filesystem::perms::none);
    EXPECT_FALSE(compute_directory_size(dir.str().c_str(), &counter));
    EXPECT_EQ(EACCES, host_errno());
  }
}

}  // namespace
}  // namespace volpack
