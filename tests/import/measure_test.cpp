// The size measurement that sizes the volume before formatting.
#include <gtest/gtest.h>

#include <cerrno>

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

TEST(Measure, FailsWithTheHostErrorNumber) {
  TempDir dir;
  auto file = dir.write("file", "x");
  tree_census census;
  EXPECT_FALSE(census_directory((dir.path() / "missing").string().c_str(), &census));
  EXPECT_EQ(ENOENT, host_errno());
  EXPECT_FALSE(census_directory(file.string().c_str(), &census));
  EXPECT_EQ(ENOTDIR, host_errno());
  EXPECT_EQ(0u, census.measure);
}

}  // namespace
}  // namespace volpack
