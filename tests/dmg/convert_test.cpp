// Whole conversions read back with the tests' own reader of the UDIF layout.
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
using test::RecordingStream;
using test::zlib_crc;

constexpr size_t kSector = 512;

struct converted {
  std::vector<uint8_t> image;
  RecordingStream::Log log;
};

converted convert(std::vector<uint8_t> input, unsigned threads = 0) {
  converted c;
  auto in = std::make_unique<RecordingStream>(&input, &c.log, "in");
  auto out = std::make_unique<RecordingStream>(&c.image, &c.log, "out");
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

    const uint64_t raw_length = c.sectors * kSector;
    const uint64_t p = v.data_fork_length;
    EXPECT_EQ(v.signature, "koly");
    // version, header size, flags, running/data/resource offsets and length, segment n of m, variant, checksum kinds
    EXPECT_EQ((std::vector<uint64_t>{v.version, v.header_size, v.flags, v.running_offset, v.data_fork_offset,
                                     v.rsrc_offset, v.rsrc_length, v.segment_number, v.segment_count, v.image_variant,
                                     v.data_checksum_type, v.data_checksum_bits, v.master_checksum_type,
                                     v.master_checksum_bits}),
              (std::vector<uint64_t>{4, 512, 1, 0, 0, 0, 0, 1, 1, 2, 2, 32, 2, 32}));
    EXPECT_EQ(v.sector_count, c.sectors);  // the image's size in sectors, as readers expect
    EXPECT_EQ(v.xml_offset, p);
    EXPECT_EQ(v.xml_offset + v.xml_length + 512, r.image.size());
    EXPECT_EQ(v.data_checksum, zlib_crc(r.image.data(), p));
    const uint8_t* trailer = r.image.data() + r.image.size() - 512;
    for (auto [from, to] : {std::pair<int, int>{92, 216}, {232, 352}, {500, 512}})
      EXPECT_EQ(std::vector<uint8_t>(trailer + from, trailer + to), std::vector<uint8_t>(to - from, 0)) << from;
    EXPECT_EQ(v.xml.compare(0, 5, "<?xml"), 0);
    EXPECT_EQ(v.xml.substr(v.xml.size() - 9), "</plist>\n");

    ASSERT_EQ(v.type_order, (std::vector<std::string>{"blkx", "cSum", "nsiz", "plst"}));
    struct Expect {
      const char *type, *attributes, *name;
    } expect[] = {{"blkx", "0x0050", "whole disk (unknown partition : 0)"},
                  {"cSum", "0x0000", ""},
                  {"nsiz", "0x0000", ""},
                  {"plst", "0x0050", ""}};
    for (const Expect& e : expect) {
      ASSERT_EQ(v.resources[e.type].size(), 1u) << e.type;
      const test::plist_resource& res = v.resources[e.type][0];
      EXPECT_EQ(res.attributes, e.attributes) << e.type;
      EXPECT_EQ(res.id, "0") << e.type;
      EXPECT_EQ(res.name, e.name) << e.type;
    }

    test::blkx_view t = test::read_blkx(v.resources["blkx"][0].data);
    EXPECT_EQ(t.signature, 0x6D697368u);
    EXPECT_EQ(t.first_sector, 0u);
    EXPECT_EQ(t.sector_count, c.sectors);
    EXPECT_EQ(t.block_descriptors, 0xFFFFFFFEu);
    EXPECT_EQ(t.checksum_type, 2u);
    EXPECT_EQ(t.checksum_word0, zlib_crc(c.input.data(), raw_length));
    ASSERT_FALSE(t.chunks.empty());
    EXPECT_EQ(t.chunks.back().type, 0xFFFFFFFFu);
    EXPECT_EQ(t.chunks.back().sector_start, c.sectors);
    EXPECT_EQ(t.chunks.back().offset, p);
    std::vector<uint8_t> restored;
    for (size_t i = 0; i + 1 < t.chunks.size(); ++i) {
      bool ok = false;
      std::vector<uint8_t> plain = inflate_all(r.image.data() + t.chunks[i].offset, t.chunks[i].length, &ok);
      EXPECT_TRUE(ok) << "chunk " << i;
      restored.insert(restored.end(), plain.begin(), plain.end());
    }
    EXPECT_TRUE(restored == std::vector<uint8_t>(c.input.begin(), c.input.begin() + raw_length));

    uint8_t word0[4];
    put_be32(word0, t.checksum_word0);
    EXPECT_EQ(v.master_checksum, zlib_crc(word0, 4));

    uint32_t sum = 0;
    udif_checksum(&sum, c.input.data(), raw_length);
    std::vector<uint8_t> csum = {0, 1, 0, 0, 0, 2, 0, 0, 0, 0};
    put_be32(csum.data() + 6, sum);
    EXPECT_EQ(v.resources["cSum"][0].data, csum);
    std::string sum_text = c.sum_text ? c.sum_text : std::to_string(static_cast<int32_t>(sum));
    const std::vector<uint8_t>& nsiz = v.resources["nsiz"][0].data;
    EXPECT_EQ(std::string(nsiz.begin(), nsiz.end()), nsiz_text(sum_text));

    std::vector<uint8_t> plst(1032, 0);
    plst[517] = 1;
    plst[519] = 1;
    EXPECT_EQ(v.resources["plst"][0].data, plst);
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
  std::vector<uint8_t> noise = test::random_data(512 * kSector, 18);
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

TEST(ConvertToDmg, NullStreamConvertsNothing) {
  std::vector<uint8_t> input = mixed_data(kSector, 5), image;
  RecordingStream::Log log;
  test::test_context t;
  EXPECT_TRUE(convert_to_DMG(std::make_unique<RecordingStream>(&input, &log, "in"), nullptr, t.ctx));
  EXPECT_TRUE(convert_to_DMG(nullptr, std::make_unique<RecordingStream>(&image, &log, "out"), t.ctx));
  EXPECT_TRUE(image.empty());
  EXPECT_TRUE(log.events.empty());
  EXPECT_EQ(log.largest_read, 0u);
}

// Converts into an image that takes `limit` bytes at most, and whose close fails unless `close_ok`.
status convert_failing(std::vector<uint8_t> input, uint64_t limit, bool close_ok) {
  std::vector<uint8_t> image;
  std::unique_ptr<stream_t> out = std::make_unique<RecordingStream>(&image, nullptr, "out", false);
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
      {input.size(), v.data_fork_length - 1, true, blkx_write},
      {input.size(), v.xml_offset + 5, true, printf_write},
      {input.size(), v.xml_offset + xml.find("<data>\n") + 9, true, own_write},
      {input.size(), v.xml_offset + xml.find("<key>plst</key>"), true, printf_write},
      {input.size(), v.xml_offset + v.xml_length - 1, true, printf_write},
      {input.size(), good.image.size() - 1, true, own_write},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> in(input.begin(), input.begin() + static_cast<long>(c.input_size));
    status s = convert_failing(in, c.limit, c.close_ok);
    EXPECT_TRUE(std::regex_match(s.message(), std::regex(c.message)))
        << c.input_size << " bytes, limit " << c.limit << (c.close_ok ? "" : ", close fails") << ": " << s.message();
  }
}

}  // namespace
}  // namespace volpack
