// Record layouts against bytes typed from the UDIF layout tables, and the three checksums.
#include <gtest/gtest.h>

#include <regex>

#include "dmg/udif_format.h"
#include "dmg_test_util.h"

namespace volpack {
namespace {

using test::random_data;
using test::zlib_crc;

std::vector<uint8_t> bytes_of(const char* s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }

TEST(Crc32, CheckValuesAndRunningUse) {
  uint32_t crc = 0;
  std::vector<uint8_t> check = bytes_of("123456789");
  crc32_checksum(&crc, check.data(), check.size());
  EXPECT_EQ(crc, 0xCBF43926u);

  crc32_checksum(&crc, check.data(), 0);
  crc32_checksum(&crc, nullptr, 100);
  EXPECT_EQ(crc, 0xCBF43926u);  // empty and null buffers change nothing

  // Lengths around the eight-byte main loop, fed in random pieces, against zlib's CRC-32.
  std::mt19937 rng(7);
  std::vector<uint8_t> data = random_data(4099, 11);
  for (size_t len : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 1000u, 4099u}) {
    uint32_t running = 0;
    size_t at = 0;
    while (at < len) {
      size_t piece = std::min<size_t>(len - at, rng() % 20);
      crc32_checksum(&running, data.data() + at, piece);
      at += piece;
    }
    EXPECT_EQ(running, zlib_crc(data.data(), len)) << "length " << len;
  }
}

TEST(UdifChecksum, RotateAndAdd) {
  struct Case {
    std::vector<uint8_t> bytes;
    uint32_t start, expect;
  } cases[] = {
      {{0, 0, 0, 1}, 0, 1},
      {{0, 0, 0, 1, 0, 0, 0, 2}, 0, 4},
      {{0, 0, 0, 1, 0, 0, 0, 2, 0xAA, 0xBB, 0xCC}, 0, 4},  // trailing bytes ignored
      {{0, 0, 0, 1, 0xAA, 0xBB, 0xCC}, 0, 1},
      {{0x80, 0, 0, 0, 0, 0, 0, 0}, 0, 1},                 // the top bit rotates into bit 0
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0x80000000u, 0u},         // 1 + 0xFFFFFFFF wraps
      {{0x12, 0x34, 0x56, 0x78}, 0, 0x12345678u},          // big-endian words
      {{}, 0xDEADBEEFu, 0xDEADBEEFu},
  };
  for (const Case& c : cases) {
    uint32_t sum = c.start;
    udif_checksum(&sum, c.bytes.data(), c.bytes.size());
    EXPECT_EQ(sum, c.expect);
  }
  uint32_t sum = 5;
  udif_checksum(&sum, nullptr, 8);
  EXPECT_EQ(sum, 5u);

  // Running across calls on word boundaries equals one call, and one word at
  // a time, over runs of zeros of every alignment and length too.
  std::vector<uint8_t> data = random_data(4096, 3);
  std::mt19937 rng(4);
  for (int run = 0; run < 24; ++run) {
    size_t at = rng() % data.size(), n = std::min<size_t>(rng() % 700, data.size() - at);
    std::fill_n(data.begin() + static_cast<long>(at), n, 0);
  }
  uint32_t whole = 0, parts = 0, words = 0;
  udif_checksum(&whole, data.data(), data.size());
  for (size_t at = 0; at < data.size(); at += 512) udif_checksum(&parts, data.data() + at, 512);
  for (size_t at = 0; at < data.size(); at += 4) words = ((words << 1) | (words >> 31)) + get_be32(&data[at]);
  EXPECT_EQ(whole, parts);
  EXPECT_EQ(whole, words);
}

udif_blkx_table_t sample_table(size_t data_chunks) {
  udif_blkx_table_t t;
  t.version = 1;
  t.first_sector = 0x0102030405060708ull;
  t.sector_count = 0x1112131415161718ull;
  t.data_start = 0x2122232425262728ull;
  t.buffers_needed = 520;
  t.block_descriptors = 0xFFFFFFFE;
  t.checksum.type = 2;
  t.checksum.size = 32;
  t.checksum.data[0] = 0xA1B2C3D4;
  t.checksum.data[31] = 0x01020304;
  for (size_t i = 0; i < data_chunks; ++i)
    t.chunks.push_back({0x80000005, 0, 512 * i, 512, 0x3132333435363738ull + i, 0x4142434445464748ull});
  t.chunks.push_back({0xFFFFFFFF, 0, 512 * data_chunks, 0, 99, 0});
  return t;
}

TEST(BlkxTable, SizesFollowTheChunkCount) {
  for (auto [data_chunks, size] : {std::pair<size_t, uint64_t>{0, 244}, {1, 284}, {2, 324}, {100, 4244}})
    EXPECT_EQ(udif_blkx_table_disk_size(sample_table(data_chunks)), size) << data_chunks;
}

TEST(BlkxTable, DiskBytesAtTheirOffsets) {
  udif_blkx_table_t t = sample_table(1);
  std::vector<uint8_t> d(udif_blkx_table_disk_size(t), 0xEE);
  udif_blkx_table_to_disk(t, d.data());
  const std::vector<uint8_t> head = {
      0x6D, 0x69, 0x73, 0x68, 0x00, 0x00, 0x00, 0x01,                  // "mish", version 1
      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,                  // first sector
      0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18,                  // sector count
      0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,                  // data start
      0x00, 0x00, 0x02, 0x08, 0xFF, 0xFF, 0xFF, 0xFE,                  // 520 buffers, -2
  };
  EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 40), head);
  EXPECT_EQ(std::vector<uint8_t>(d.begin() + 40, d.begin() + 64), std::vector<uint8_t>(24, 0));  // reserved
  const std::vector<uint8_t> checksum_head = {0, 0, 0, 2, 0, 0, 0, 0x20, 0xA1, 0xB2, 0xC3, 0xD4};
  EXPECT_EQ(std::vector<uint8_t>(d.begin() + 64, d.begin() + 76), checksum_head);
  EXPECT_EQ(std::vector<uint8_t>(d.begin() + 76, d.begin() + 196), std::vector<uint8_t>(120, 0));
  EXPECT_EQ(std::vector<uint8_t>(d.begin() + 196, d.begin() + 204), (std::vector<uint8_t>{1, 2, 3, 4, 0, 0, 0, 2}));
  const std::vector<uint8_t> chunk0 = {
      0x80, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00,  // zlib, comment 0
      0, 0, 0, 0, 0, 0, 0, 0,                          // sector start
      0, 0, 0, 0, 0, 0, 0x02, 0x00,                    // 512 sectors
      0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38,  // compressed offset
      0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,  // compressed length
  };
  EXPECT_EQ(std::vector<uint8_t>(d.begin() + 204, d.begin() + 244), chunk0);
  const std::vector<uint8_t> terminator = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x00,
                                           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 99,
                                           0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(d.begin() + 244, d.end()), terminator);

  udif_blkx_table_t back;
  ASSERT_TRUE(udif_blkx_table_from_disk(d.data(), d.size(), &back));
  EXPECT_EQ(back.chunks.size(), 2u);
  EXPECT_EQ(back.chunks[0].compressed_length, 0x4142434445464748ull);
  EXPECT_EQ(back.checksum.data[31], 0x01020304u);
  EXPECT_EQ(back.first_sector, t.first_sector);
  EXPECT_FALSE(udif_blkx_table_from_disk(d.data(), d.size() - 40, &back));  // count says 2
}

TEST(CsumRecord, TenBytesWithoutGaps) {
  udif_csum_t c;
  c.checksum = 0x89ABCDEF;
  uint8_t d[10];
  udif_csum_to_disk(c, d);
  const uint8_t expect[10] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(0, std::memcmp(d, expect, 10));
  EXPECT_EQ(udif_csum_from_disk(d).checksum, 0x89ABCDEFu);
}

TEST(Trailer, DiskBytesAtTheirOffsets) {
  udif_trailer_t t;
  t.version = 4;
  t.header_size = 512;
  t.flags = 1;
  t.data_fork_length = 0x0000000100000002ull;
  t.segment_number = 1;
  t.segment_count = 1;
  t.segment_id = {0x00001234, 0x7FFF, 0, 1};
  t.data_fork_checksum.type = 2;
  t.data_fork_checksum.size = 32;
  t.data_fork_checksum.data[0] = 0xCAFEBABE;
  t.xml_offset = 0x0000000100000002ull;
  t.xml_length = 0x345;
  t.master_checksum.type = 2;
  t.master_checksum.size = 32;
  t.master_checksum.data[0] = 0x0BADF00D;
  t.image_variant = 2;
  std::vector<uint8_t> d(512, 0xEE);
  udif_trailer_encode(t, d.data());

  std::vector<uint8_t> expect(512, 0);
  const uint8_t head[] = {'k', 'o', 'l', 'y', 0, 0, 0, 4, 0, 0, 2, 0, 0, 0, 0, 1};
  std::memcpy(expect.data(), head, sizeof head);
  const uint8_t fork_length[] = {0, 0, 0, 1, 0, 0, 0, 2};
  std::memcpy(expect.data() + 32, fork_length, 8);
  expect[59] = 1;  // segment number
  expect[63] = 1;  // segment count
  const uint8_t segment_id[] = {0x34, 0x12, 0, 0, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};  // little-endian
  std::memcpy(expect.data() + 64, segment_id, 16);
  const uint8_t data_checksum[] = {0, 0, 0, 2, 0, 0, 0, 32, 0xCA, 0xFE, 0xBA, 0xBE};
  std::memcpy(expect.data() + 80, data_checksum, sizeof data_checksum);
  std::memcpy(expect.data() + 216, fork_length, 8);
  const uint8_t xml_length[] = {0, 0, 0, 0, 0, 0, 0x03, 0x45};
  std::memcpy(expect.data() + 224, xml_length, 8);
  const uint8_t master[] = {0, 0, 0, 2, 0, 0, 0, 32, 0x0B, 0xAD, 0xF0, 0x0D};
  std::memcpy(expect.data() + 352, master, sizeof master);
  expect[491] = 2;  // image variant
  EXPECT_EQ(d, expect);

  udif_trailer_t back = udif_trailer_decode(d.data());
  EXPECT_EQ(back.signature, UDIF_TRAILER_SIGNATURE);
  EXPECT_EQ(back.segment_id, t.segment_id);
  EXPECT_EQ(back.xml_length, 0x345u);
  EXPECT_EQ(back.master_checksum.data[0], 0x0BADF00Du);
}

udif_resource_t table_resource(uint32_t checksum_type, uint32_t word0) {
  udif_blkx_table_t t = sample_table(1);
  t.checksum.type = checksum_type;
  t.checksum.data[0] = word0;
  udif_resource_t r;
  r.data = t;
  return r;
}

TEST(MasterChecksum, CrcOfTheBigEndianTableChecksums) {
  const uint8_t x_be[] = {0x12, 0x34, 0x56, 0x78};
  const uint8_t xy_be[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};

  udif_resource_list_t one = {{"blkx", {table_resource(2, 0x12345678)}}};
  EXPECT_EQ(calculate_udif_master_checksum(one).value(), zlib_crc(x_be, 4));

  // Only CRC-32 tables count, in list order; the first "blkx" type only; other types never.
  udif_resource_list_t mixed = {
      {"cSum", {table_resource(2, 0x55555555)}},
      {"blkx", {table_resource(2, 0x12345678), table_resource(1, 0x11111111), table_resource(2, 0x9ABCDEF0)}},
      {"blkx", {table_resource(2, 0x77777777)}},
  };
  EXPECT_EQ(calculate_udif_master_checksum(mixed).value(), zlib_crc(xy_be, 8));

  udif_resource_list_t none_crc = {{"blkx", {table_resource(1, 0x12345678), table_resource(0, 1)}}};
  EXPECT_EQ(calculate_udif_master_checksum(none_crc).value(), 0u);
}

TEST(MasterChecksum, ListWithoutBlkxTypeFails) {
  for (const udif_resource_list_t& list :
       {udif_resource_list_t{{"BLKX", {table_resource(2, 1)}}, {"cSum", {}}}, udif_resource_list_t{}}) {
    result<uint32_t> r = calculate_udif_master_checksum(list);
    ASSERT_FALSE(r);
    EXPECT_TRUE(std::regex_match(r.error().message(),
                                 std::regex("calculate_udif_master_checksum\\(\\):209: ERROR: corrupted blkx list!\n")))
        << r.error().message();
  }
}

}  // namespace
}  // namespace volpack
