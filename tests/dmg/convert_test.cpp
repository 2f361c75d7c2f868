// Whole conversions read back through the record decoders, and by two independent readers.
#include <gtest/gtest.h>

#include <regex>

#include "dmg/dmg.h"
#include "dmg_test_util.h"
#include "io/host_fs.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::inflate_all;
using test::MemStream;
using test::mixed_data;
using test::zlib_crc;

constexpr size_t kSector = 512;

struct converted {
  std::vector<uint8_t> image;
  MemStream::Log log;
};

converted convert(std::vector<uint8_t> input, unsigned threads = 0) {
  converted c;
  auto in = std::make_unique<MemStream>(&input, &c.log, "in");
  auto out = std::make_unique<MemStream>(&c.image, &c.log, "out");
  test::test_context t;
  t.ctx.options.compression_threads = threads;
  EXPECT_TRUE(convert_to_DMG(std::move(in), std::move(out), t.ctx));
  return c;
}

std::vector<uint8_t> sector_with_last_word(uint32_t word) {
  std::vector<uint8_t> v(kSector, 0);
  put_be32(v.data() + kSector - 4, word);
  return v;
}

std::string nsiz_text(const std::string& sum) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n"
         "\t<key>block-checksum-2</key>\n\t<integer>" + sum + "</integer>\n"
         "\t<key>part-num</key>\n\t<integer>0</integer>\n"
         "\t<key>version</key>\n\t<integer>6</integer>\n"
         "</dict>\n</plist>\n";
}

TEST(ConvertToDmg, ImageLayoutResourcesAndChecksums) {
  std::vector<uint8_t> er_then_s(kSector, 0);
  er_then_s[0] = 0x45;
  er_then_s[1] = 0x53;  // only 45 52 marks a partitioned disk
  struct Case {
    const char* what;
    std::vector<uint8_t> input;
    uint64_t sectors;
    const char* sum_text;  // the "nsiz" integer, or null to compute it
  } cases[] = {
      {"one sector", mixed_data(512, 1), 1, nullptr},
      {"1,000 bytes: the partial sector is dropped", mixed_data(1000, 2, 100, 100), 1, nullptr},
      {"sum 0x80000000 prints negative", sector_with_last_word(0x80000000u), 1, "-2147483648"},
      {"sum 0xFFFFFFFF prints -1", sector_with_last_word(0xFFFFFFFFu), 1, "-1"},
      {"sum 0x7FFFFFFF prints positive", sector_with_last_word(0x7FFFFFFFu), 1, "2147483647"},
      {"45 53 is no partition map", er_then_s, 1, nullptr},
      {"three chunks and a tail", mixed_data(1100 * kSector + 77, 3), 1100, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    converted r = convert(c.input);
    EXPECT_EQ(r.log.events, (std::vector<std::string>{"close:in", "close:out"}));
    EXPECT_LE(r.log.largest_read, 512 * kSector);
    test::image_view v = test::read_image(r.image);
    ASSERT_TRUE(v.ok);
    const udif_trailer_t& k = v.trailer;

    const uint64_t raw_length = c.sectors * kSector;
    const uint64_t p = k.data_fork_length;
    EXPECT_EQ(k.signature, UDIF_TRAILER_SIGNATURE);
    // version, header size, flags, running/data/resource offsets and length, segment n of m, variant, checksum kinds
    EXPECT_EQ((std::vector<uint64_t>{k.version, k.header_size, k.flags, k.running_data_fork_offset, k.data_fork_offset,
                                     k.rsrc_fork_offset, k.rsrc_fork_length, k.segment_number, k.segment_count,
                                     k.image_variant, k.data_fork_checksum.type, k.data_fork_checksum.size,
                                     k.master_checksum.type, k.master_checksum.size}),
              (std::vector<uint64_t>{4, 512, 1, 0, 0, 0, 0, 1, 1, 2, 2, 32, 2, 32}));
    EXPECT_EQ(k.sector_count, c.sectors);  // the image's size in sectors, as readers expect
    EXPECT_EQ(k.xml_offset, p);
    EXPECT_EQ(k.xml_offset + k.xml_length + 512, r.image.size());
    EXPECT_EQ(k.data_fork_checksum.data[0], zlib_crc(r.image.data(), p));
    const uint8_t* trailer = r.image.data() + r.image.size() - 512;
    for (auto [from, to] : {std::pair<int, int>{92, 216}, {232, 352}, {500, 512}})
      EXPECT_EQ(std::vector<uint8_t>(trailer + from, trailer + to), std::vector<uint8_t>(to - from, 0)) << from;

    ASSERT_EQ(v.resources.keys, (std::vector<std::string>{"blkx", "cSum", "nsiz", "plst"}));
    struct Expect {
      const char *type, *attributes, *name;
    } expect[] = {{"blkx", "0x0050", "whole disk (unknown partition : 0)"},
                  {"cSum", "0x0000", ""},
                  {"nsiz", "0x0000", ""},
                  {"plst", "0x0050", ""}};
    for (const Expect& e : expect) {
      EXPECT_EQ(v.resources.find(e.type)->items.size(), 1u) << e.type;
      EXPECT_EQ(v.field(e.type, "Attributes").text, e.attributes) << e.type;
      EXPECT_EQ(v.field(e.type, "ID").text, "0") << e.type;
      EXPECT_EQ(v.field(e.type, "Name").text, e.name) << e.type;
    }

    udif_blkx_table_t t;
    const std::vector<uint8_t>& blkx = v.field("blkx", "Data").bytes;
    ASSERT_TRUE(udif_blkx_table_from_disk(blkx.data(), blkx.size(), &t));
    EXPECT_EQ(t.signature, 0x6D697368u);
    EXPECT_EQ(t.first_sector, 0u);
    EXPECT_EQ(t.sector_count, c.sectors);
    EXPECT_EQ(t.block_descriptors, 0xFFFFFFFEu);
    EXPECT_EQ(t.checksum.type, 2u);
    EXPECT_EQ(t.checksum.data[0], zlib_crc(c.input.data(), raw_length));
    ASSERT_FALSE(t.chunks.empty());
    EXPECT_EQ(t.chunks.back().type, 0xFFFFFFFFu);
    EXPECT_EQ(t.chunks.back().sector_start, c.sectors);
    EXPECT_EQ(t.chunks.back().compressed_offset, p);
    std::vector<uint8_t> restored;
    for (size_t i = 0; i + 1 < t.chunks.size(); ++i) {
      bool ok = false;
      const udif_blkx_chunk_t& e = t.chunks[i];
      std::vector<uint8_t> plain = inflate_all(r.image.data() + e.compressed_offset, e.compressed_length, &ok);
      EXPECT_TRUE(ok) << "chunk " << i;
      restored.insert(restored.end(), plain.begin(), plain.end());
    }
    EXPECT_TRUE(restored == std::vector<uint8_t>(c.input.begin(), c.input.begin() + raw_length));

    uint8_t word0[4];
    put_be32(word0, t.checksum.data[0]);
    EXPECT_EQ(k.master_checksum.data[0], zlib_crc(word0, 4));

    uint32_t sum = 0;
    udif_checksum(&sum, c.input.data(), raw_length);
    std::vector<uint8_t> csum = {0, 1, 0, 0, 0, 2, 0, 0, 0, 0};
    put_be32(csum.data() + 6, sum);
    EXPECT_EQ(v.field("cSum", "Data").bytes, csum);
    std::string sum_text = c.sum_text ? c.sum_text : std::to_string(static_cast<int32_t>(sum));
    const std::vector<uint8_t>& nsiz = v.field("nsiz", "Data").bytes;
    EXPECT_EQ(std::string(nsiz.begin(), nsiz.end()), nsiz_text(sum_text));

    std::vector<uint8_t> plst(1032, 0);
    plst[517] = 1;
    plst[519] = 1;
    EXPECT_EQ(v.field("plst", "Data").bytes, plst);
  }
}

TEST(ConvertToDmg, SegmentIdIsTheNextFourIdentifiersLittleEndian) {
  converted r = convert(mixed_data(4 * kSector, 4));  // identifiers 1, 2, 3, 4
  const uint8_t* id = r.image.data() + r.image.size() - 512 + 64;
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(get_le32(id + 4 * i), i + 1) << "word " << i;
}

TEST(ConvertToDmg, ImageBytesDoNotDependOnTheThreadCount) {
  // More chunks than any pipeline holds at once: mixed, incompressible and
  // empty ones, and a short last chunk.
  std::vector<uint8_t> input = mixed_data(40 * 512 * kSector + 7 * kSector, 17);
  std::vector<uint8_t> noise = test::random_bytes(512 * kSector, 18);
  std::copy(noise.begin(), noise.end(), input.begin() + 3 * 512 * kSector);
  std::fill(input.begin() + 9 * 512 * kSector, input.begin() + 11 * 512 * kSector, 0);
  std::vector<uint8_t> expect;
  for (unsigned threads : {1u, 2u, 3u, 8u, 0u}) {
    SCOPED_TRACE(threads);
    converted c = convert(input, threads);
    if (threads == 1) {
      expect = c.image;
    } else {
      EXPECT_TRUE(c.image == expect);
    }
  }
}

// Converts into an image that takes `limit` bytes at most, and whose close fails unless `close_ok`.
status convert_failing(std::vector<uint8_t> input, uint64_t limit, bool close_ok) {
  std::vector<uint8_t> image;
  std::unique_ptr<stream_t> out = std::make_unique<MemStream>(&image, nullptr, "out", false);
  if (close_ok) {
    auto limited = std::make_unique<MemStream>(&image);
    limited->limit = limit;
    out = std::move(limited);
  }
  test::test_context t;
  return convert_to_DMG(std::make_unique<MemStream>(&input), std::move(out), t.ctx);
}

TEST(ConvertToDmg, PartitionedDiskRefusedBeforeAnyWrite) {
  std::vector<uint8_t> input = mixed_data(64 * kSector, 6), image;
  input[0] = 0x45;
  input[1] = 0x52;
  test::test_context t;
  status s = convert_to_DMG(std::make_unique<MemStream>(&input), std::make_unique<MemStream>(&image), t.ctx);
  ASSERT_FALSE(s);
  EXPECT_TRUE(std::regex_match(
      s.message(),
      std::regex("convert_to_DMG_or_die\\(\\):30: creating DMG files with multiple partitions is not supported\n")))
      << s.message();
  EXPECT_TRUE(image.empty());
}

TEST(ConvertToDmg, ShortInputFailedCloseAndFullDeviceFail) {
  // A device that fills up fails loudly in the data fork, the property list
  // (formatted pieces and Base64 text) and the trailer.
  std::vector<uint8_t> input = mixed_data(600 * kSector, 8);
  converted good = convert(input);
  test::image_view v = test::read_image(good.image);
  ASSERT_TRUE(v.ok);
  const std::string& xml = v.xml;
  const udif_trailer_t& k = v.trailer;
  const char* short_read = "convert_to_DMG_or_die\\(\\):28: stream_read error \\(short read\\)\n";
  const char* blkx_write = "insertBLKX\\(\\):215: stream_write error \\(short write\\)\n";
  const char* own_write = "convert_to_DMG_or_die\\(\\):(145|94): stream_write error \\(short write\\)\n";
  const char* printf_write = "stream_printf\\(\\): stream write error \\(errno -?[0-9]+\\)\n";
  const uint64_t none = UINT64_MAX;
  struct Case {
    size_t input_size;
    uint64_t limit;
    bool close_ok;
    const char* message;
  } cases[] = {
      {0, none, true, short_read},
      {1, none, true, short_read},
      {511, none, true, short_read},
      {input.size(), none, false, "convert_to_DMG_or_die\\(\\):101: stream_close error[^\n]*\n"},
      {input.size(), 0, true, blkx_write},
      {input.size(), k.data_fork_length - 1, true, blkx_write},
      {input.size(), k.xml_offset + 5, true, printf_write},
      {input.size(), k.xml_offset + xml.find("<data>\n") + 9, true, own_write},
      {input.size(), k.xml_offset + xml.find("<key>plst</key>"), true, printf_write},
      {input.size(), k.xml_offset + k.xml_length - 1, true, printf_write},
      {input.size(), good.image.size() - 1, true, own_write},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> in(input.begin(), input.begin() + static_cast<long>(c.input_size));
    status s = convert_failing(in, c.limit, c.close_ok);
    EXPECT_TRUE(std::regex_match(s.message(), std::regex(c.message)))
        << c.input_size << " bytes, limit " << c.limit << (c.close_ok ? "" : ", close fails") << ": " << s.message();
  }
}

// ---- Two independent UDIF readers, used as black boxes: `dmg2img` (Debian
// package dmg2img) rebuilds the data byte for byte, and 7-Zip (`7zz`, package
// 7zip) tests every chunk against its checksum.

void convert_file(const std::string& raw, const std::string& dmg) {
  std::unique_ptr<stream_t> in = create_stream_from_fp(host_fopen(raw.c_str(), "rb"));
  std::unique_ptr<stream_t> out = create_stream_from_fp(host_fopen(dmg.c_str(), "wb"));
  ASSERT_TRUE(in && out);
  test::test_context t;
  ASSERT_TRUE(convert_to_DMG(std::move(in), std::move(out), t.ctx));
}

// dmg2img rebuilds the raw data from an image; empty when it fails.
std::vector<uint8_t> dmg2img(const std::string& dmg, const std::string& raw) {
  test::program_result r = test::run_program("dmg2img -i " + test::shell_quote(dmg) + " -o " + test::shell_quote(raw));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return r.status == 0 ? test::read_bytes(raw) : std::vector<uint8_t>();
}

TEST(Readers, Dmg2imgRestoresMixedData) {
  if (!test::have_program("dmg2img")) GTEST_SKIP() << "dmg2img is not installed (Debian package dmg2img)";
  test::TempDir dir;
  // Random runs and zero runs, a few chunks, and a partial last chunk.
  std::vector<uint8_t> data = test::mixed_data(3 * 1024 * 1024 + 7 * 512, 2024, 70000, 150000);
  data[0] = 0;  // not a partition map
  std::string raw = (dir.path() / "mixed.raw").string();
  test::write_file(raw, std::string(data.begin(), data.end()));
  std::string dmg = (dir.path() / "mixed.dmg").string();
  convert_file(raw, dmg);
  EXPECT_TRUE(dmg2img(dmg, (dir.path() / "mixed.back").string()) == data);
  if (test::have_program("7zz")) {
    test::program_result t = test::run_program("7zz t " + test::shell_quote(dmg));
    EXPECT_EQ(t.status, 0) << t.out << t.err;
    EXPECT_NE(t.out.find("Everything is Ok"), std::string::npos) << t.out;
  }
}

}  // namespace
}  // namespace volpack
