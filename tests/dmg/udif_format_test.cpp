// Record layouts against bytes typed from the UDIF layout tables, and the two
// checksums (the master checksum is checked on whole conversions).
#include <gtest/gtest.h>

#include "dmg/udif_format.h"
#include "dmg_test_util.h"

namespace volpack {
namespace {

using test::random_bytes;
using test::zlib_crc;

std::vector<uint8_t> bytes_of(const char* s) { return std::vector<uint8_t>(s, s + std::strlen(s)); }

TEST(Crc32, CheckValuesAndRunningUse) {
  uint32_t crc = 0;
  std::vector<uint8_t> check = bytes_of("123456789");
  crc32_checksum(&crc, check.data(), check.size());
  EXPECT_EQ(crc, 0xCBF43926u);

  crc32_checksum(&crc, check.data(), 0);
  EXPECT_EQ(crc, 0xCBF43926u);  // an empty buffer changes nothing

  // Lengths around the eight-byte main loop, fed in random pieces, against zlib's CRC-32.
  std::mt19937 rng(7);
  std::vector<uint8_t> data = random_bytes(4099, 11);
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
  // Running across calls on word boundaries equals one call, and one word at
  // a time, over runs of zeros of every alignment and length too.
  std::vector<uint8_t> data = random_bytes(4096, 3);
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

TEST(BlkxTable, DiskBytesAtTheirOffsets) {
  udif_blkx_table_t t = sample_table(1);
  std::vector<uint8_t> d(udif_blkx_table_disk_size(t), 0xEE);
  udif_blkx_table_to_disk(t, d.data());
  EXPECT_EQ(d, test::golden(244 + 40, {
                   {0, "6D 69 73 68 00 00 00 01"},                           // "mish", version 1
                   {8, "01 02 03 04 05 06 07 08 11 12 13 14 15 16 17 18"},   // first sector, sector count
                   {24, "21 22 23 24 25 26 27 28 00 00 02 08 FF FF FF FE"},  // data start, 520 buffers, -2
                   {64, "00 00 00 02 00 00 00 20 A1 B2 C3 D4"},              // CRC-32 of 32 bits, word 0
                   {196, "01 02 03 04 00 00 00 02"},                         // word 31, two chunks
                   {204, "80 00 00 05 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00"},  // zlib, 512
                   {228, "31 32 33 34 35 36 37 38 41 42 43 44 45 46 47 48"},  // compressed offset and length
                   {244, "FF FF FF FF 00 00 00 00 00 00 00 00 00 00 02 00"},  // terminator at sector 512
                   {275, "63"},                                              // at offset 99
               }));

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
  EXPECT_EQ(d, test::golden(512, {
                   {0, "6B 6F 6C 79 00 00 00 04 00 00 02 00 00 00 00 01"},   // "koly", version 4, 512 bytes, flags
                   {32, "00 00 00 01 00 00 00 02"},                           // data fork length
                   {56, "00 00 00 01 00 00 00 01"},                           // segment 1 of 1
                   {64, "34 12 00 00 FF 7F 00 00 00 00 00 00 01 00 00 00"},  // segment ID: little-endian words
                   {80, "00 00 00 02 00 00 00 20 CA FE BA BE"},               // data fork CRC-32
                   {216, "00 00 00 01 00 00 00 02 00 00 00 00 00 00 03 45"},  // XML offset and length
                   {352, "00 00 00 02 00 00 00 20 0B AD F0 0D"},              // master CRC-32
                   {488, "00 00 00 02"},                                      // image variant
               }));

  udif_trailer_t back = udif_trailer_decode(d.data());
  EXPECT_EQ(back.signature, UDIF_TRAILER_SIGNATURE);
  EXPECT_EQ(back.segment_id, t.segment_id);
  EXPECT_EQ(back.xml_length, 0x345u);
  EXPECT_EQ(back.master_checksum.data[0], 0x0BADF00Du);
}

}  // namespace
}  // namespace volpack
