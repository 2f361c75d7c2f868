// Images read back by two independent UDIF readers, used as black boxes:
// 7-Zip (`7zz`, Debian package 7zip) and `dmg2img` (package dmg2img).
#include <gtest/gtest.h>

#include <filesystem>

#include "dmg/dmg.h"
#include "dmg_test_util.h"
#include "io/host_fs.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::have_program;
using test::read_bytes;
using test::run_program;
using test::shell_quote;

// Sample images made by Apple's tools are kept outside the repository.
const char kAppleImage[] = VOLPACK_SHARED_DATA "/apple-dmg/raw.dmg";
#define SKIP_WITHOUT_APPLE_IMAGE()                 \
  if (!std::filesystem::exists(kAppleImage))       \
  GTEST_SKIP() << "sample image " << kAppleImage << " is missing (kept outside the repository)"

void convert_file(const std::string& raw, const std::string& dmg) {
  std::unique_ptr<stream_t> in = create_stream_from_fp(host_fopen(raw.c_str(), "rb"));
  std::unique_ptr<stream_t> out = create_stream_from_fp(host_fopen(dmg.c_str(), "wb"));
  ASSERT_TRUE(in && out);
  test::test_context t;
  ASSERT_TRUE(convert_to_DMG(std::move(in), std::move(out), t.ctx));
}

// dmg2img rebuilds the raw data from an image; empty when it fails.
std::vector<uint8_t> dmg2img(const std::string& dmg, const std::string& raw) {
  test::program_result r = run_program("dmg2img -i " + shell_quote(dmg) + " -o " + shell_quote(raw));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return r.status == 0 ? read_bytes(raw) : std::vector<uint8_t>();
}

class Readers : public ::testing::Test {
 protected:
  // A bare HFS+ volume: the one inside the Apple-made sample image.
  std::string known_volume() {
    std::string raw = (dir.path() / "volume.hfs").string();
    std::vector<uint8_t> v = dmg2img(kAppleImage, raw);
    EXPECT_GE(v.size(), 1026u);
    if (v.size() < 1026 || v[1024] != 'H' || v[1025] != '+') {
      ADD_FAILURE() << "no HFS+ volume header at byte 1024 of the sample volume";
      return {};
    }
    return raw;
  }
  test::TempDir dir;
};

TEST_F(Readers, Dmg2imgRestoresAnHfsVolumeByteForByte) {
  SKIP_WITHOUT_APPLE_IMAGE();
  if (!have_program("dmg2img")) GTEST_SKIP() << "dmg2img is not installed (Debian package dmg2img)";
  std::string raw = known_volume();
  ASSERT_FALSE(raw.empty());
  std::string dmg = (dir.path() / "volume.dmg").string();
  convert_file(raw, dmg);
  std::vector<uint8_t> back = dmg2img(dmg, (dir.path() / "back.raw").string());
  std::vector<uint8_t> original = read_bytes(raw);
  EXPECT_EQ(back.size(), original.size());
  EXPECT_TRUE(back == original);
}

TEST_F(Readers, SevenZipTestsAndListsTheHfsVolume) {
  SKIP_WITHOUT_APPLE_IMAGE();
  if (!have_program("7zz")) GTEST_SKIP() << "7zz is not installed (Debian package 7zip)";
  if (!have_program("dmg2img")) GTEST_SKIP() << "dmg2img is not installed (needed to unpack the sample volume)";
  std::string raw = known_volume();
  ASSERT_FALSE(raw.empty());
  std::string dmg = (dir.path() / "volume.dmg").string();
  convert_file(raw, dmg);

  // Every chunk decodes and matches its CRC. (7-Zip also prints the warning
  // "Headers Error" because the trailer's sector count is written as 0.)
  test::program_result t = run_program("7zz t " + shell_quote(dmg));
  EXPECT_EQ(t.status, 0) << t.out << t.err;
  EXPECT_NE(t.out.find("Everything is Ok"), std::string::npos) << t.out;
  EXPECT_EQ(t.out.find("CRC Failed"), std::string::npos) << t.out;
  EXPECT_EQ(t.out.find("Data Error"), std::string::npos) << t.out;

  test::program_result l = run_program("7zz l " + shell_quote(dmg));
  EXPECT_EQ(l.status, 0) << l.out << l.err;
  EXPECT_NE(l.out.find("Type = HFS"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find(".journal_info_block"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("fseventsd-uuid"), std::string::npos) << l.out;
}

TEST_F(Readers, Dmg2imgRestoresMixedData) {
  if (!have_program("dmg2img")) GTEST_SKIP() << "dmg2img is not installed (Debian package dmg2img)";
  // Random runs and zero runs, a few chunks, and a partial last chunk.
  std::vector<uint8_t> data = test::mixed_data(3 * 1024 * 1024 + 7 * 512, 2024, 70000, 150000);
  data[0] = 0;  // not a partition map
  std::string raw = (dir.path() / "mixed.raw").string();
  test::write_file(raw, std::string(data.begin(), data.end()));
  std::string dmg = (dir.path() / "mixed.dmg").string();
  convert_file(raw, dmg);
  EXPECT_TRUE(dmg2img(dmg, (dir.path() / "mixed.back").string()) == data);
  if (have_program("7zz")) {
    test::program_result t = run_program("7zz t " + shell_quote(dmg));
    EXPECT_EQ(t.status, 0) << t.out << t.err;
  }
}

}  // namespace
}  // namespace volpack
