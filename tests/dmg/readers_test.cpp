// Images read back by two independent UDIF readers, used as black boxes:
// `dmg2img` (Debian package dmg2img) rebuilds the data byte for byte, and
// 7-Zip (`7zz`, package 7zip) tests every chunk against its checksum.
#include <gtest/gtest.h>

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

TEST(Readers, Dmg2imgRestoresMixedData) {
  if (!have_program("dmg2img")) GTEST_SKIP() << "dmg2img is not installed (Debian package dmg2img)";
  test::TempDir dir;
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
    EXPECT_NE(t.out.find("Everything is Ok"), std::string::npos) << t.out;
  }
}

}  // namespace
}  // namespace volpack
