// Chunk compression: how a run of sectors is cut, coded, recorded and checksummed.
#include <gtest/gtest.h>
#include <libdeflate.h>

#include <regex>

#include "dmg/dmg.h"
#include "dmg_test_util.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::inflate_all;
using test::MemStream;
using test::mixed_data;
using test::random_data;
using test::RecordingStream;
using test::zlib_crc;

constexpr size_t kSector = 512;

std::vector<uint8_t> disk_bytes(const udif_blkx_table_t& t) {
  std::vector<uint8_t> d(udif_blkx_table_disk_size(t));
  udif_blkx_table_to_disk(t, d.data());
  return d;
}

TEST(InsertBlkx, ChunkSplitsTableGrowthAndRoundTrip) {
  struct Case {
    uint64_t sectors;
    std::vector<uint64_t> chunk_sectors;  // data chunks, terminator not listed
    size_t capacity;                      // entries the table has room for at the end
  } cases[] = {
      {0, {}, 2},
      {1, {1}, 2},
      {512, {512}, 2},
      {513, {512, 1}, 4},
      {1000, {512, 488}, 4},
      {1024, {512, 512}, 4},  // the terminator forces the first growth
      {1025, {512, 512, 1}, 4},
      {1537, {512, 512, 512, 1}, 8},
  };
  const std::vector<uint8_t> prefix = {'p', 'r', 'e'};
  for (const Case& c : cases) {
    SCOPED_TRACE("sectors " + std::to_string(c.sectors));
    // The input is read from its position on and not beyond; the output is
    // written from its position on, so chunk offsets are absolute.
    std::vector<uint8_t> data = mixed_data(c.sectors * kSector, static_cast<uint32_t>(c.sectors));
    std::vector<uint8_t> in_bytes(kSector, 0x45);
    in_bytes.insert(in_bytes.end(), data.begin(), data.end());
    in_bytes.resize(in_bytes.size() + 700, 0x77);
    std::vector<uint8_t> out_bytes(37, 0xAB);
    RecordingStream::Log log;
    RecordingStream in(&in_bytes, &log, "in"), out(&out_bytes, nullptr, "out");
    ASSERT_TRUE(in.seek(kSector) && out.seek(37));

    uint32_t in_crc = zlib_crc(prefix.data(), prefix.size()), in_sum = 0x12345, out_crc = 0;
    udif_blkx_table_t t = insertBLKX(&out, &in, 7, c.sectors, 0xFFFFFFFE, &in_crc, &in_sum, &out_crc).take();

    EXPECT_EQ(in.tell(), kSector + data.size());
    EXPECT_LE(log.largest_read, 512 * kSector);
    // "mish", version 1, first sector, count, data start, buffers needed, descriptors, CRC-32 over nothing yet
    EXPECT_EQ((std::vector<uint64_t>{t.signature, t.version, t.first_sector, t.sector_count, t.data_start,
                                     t.buffers_needed, t.block_descriptors, t.checksum.type, t.checksum.size,
                                     t.checksum.data[0]}),
              (std::vector<uint64_t>{0x6D697368u, 1, 7, c.sectors, 0, 520, 0xFFFFFFFEu, 2, 32, 0}));
    EXPECT_EQ(t.chunks.capacity(), c.capacity);
    EXPECT_EQ(udif_blkx_table_disk_size(t), 204 + 40 * (c.chunk_sectors.size() + 1));

    ASSERT_EQ(t.chunks.size(), c.chunk_sectors.size() + 1);
    uint64_t sector = 0, offset = 37;
    for (size_t i = 0; i < c.chunk_sectors.size(); ++i) {
      const udif_blkx_chunk_t& e = t.chunks[i];
      EXPECT_EQ(e.type, UDIF_CHUNK_ZLIB);
      EXPECT_EQ(e.comment, 0u);
      EXPECT_EQ(e.sector_start, sector);
      EXPECT_EQ(e.sector_count, c.chunk_sectors[i]);
      EXPECT_EQ(e.compressed_offset, offset);
      ASSERT_LE(e.compressed_offset + e.compressed_length, out_bytes.size());
      bool ok = false;
      std::vector<uint8_t> plain = inflate_all(out_bytes.data() + e.compressed_offset, e.compressed_length, &ok);
      EXPECT_TRUE(ok) << "chunk " << i << " is not one complete zlib stream";
      EXPECT_TRUE(plain == std::vector<uint8_t>(data.begin() + sector * kSector,
                                                data.begin() + (sector + e.sector_count) * kSector))
          << "chunk " << i;
      sector += e.sector_count;
      offset += e.compressed_length;
    }
    const udif_blkx_chunk_t& end = t.chunks.back();
    EXPECT_EQ(end.type, UDIF_CHUNK_TERMINATOR);
    EXPECT_EQ(end.sector_start, c.sectors);
    EXPECT_EQ(end.sector_count, 0u);
    EXPECT_EQ(end.compressed_offset, offset);
    EXPECT_EQ(end.compressed_length, 0u);
    EXPECT_EQ(out_bytes.size(), offset);
    EXPECT_EQ(std::vector<uint8_t>(out_bytes.begin(), out_bytes.begin() + 37), std::vector<uint8_t>(37, 0xAB));

    // The running checksums continue from the caller's values.
    std::vector<uint8_t> joined = prefix;
    joined.insert(joined.end(), data.begin(), data.end());
    EXPECT_EQ(in_crc, zlib_crc(joined.data(), joined.size()));
    uint32_t sum = 0x12345;
    udif_checksum(&sum, data.data(), data.size());
    EXPECT_EQ(in_sum, sum);
    EXPECT_EQ(out_crc, zlib_crc(out_bytes.data() + 37, out_bytes.size() - 37));

    // Without checksums the output and the table are the same.
    std::vector<uint8_t> out2(37, 0xAB);
    RecordingStream in2(&in_bytes, nullptr, "in"), o2(&out2, nullptr, "out");
    ASSERT_TRUE(in2.seek(kSector) && o2.seek(37));
    udif_blkx_table_t t2 = insertBLKX(&o2, &in2, 7, c.sectors, 0xFFFFFFFE, nullptr, nullptr, nullptr).take();
    EXPECT_EQ(out2, out_bytes);
    EXPECT_EQ(disk_bytes(t2), disk_bytes(t));
  }
}

TEST(InsertBlkx, RandomDataStaysZlibAndZerosShrink) {
  struct Case {
    const char* what;
    std::vector<uint8_t> data;
    uint64_t min_len, max_len;
  } cases[] = {
      // Deflate stores incompressible data with a few bytes of overhead, well under a sector.
      {"random, full chunk", random_data(512 * kSector, 1), 512 * kSector, 513 * kSector - 1},
      {"random, one sector", random_data(kSector, 2), kSector, 2 * kSector - 1},
      {"zeros, full chunk", std::vector<uint8_t>(512 * kSector, 0), 1, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> in_bytes = c.data, out_bytes;
    MemStream in(&in_bytes), out(&out_bytes);
    udif_blkx_table_t t = insertBLKX(&out, &in, 0, c.data.size() / kSector, 0, nullptr, nullptr, nullptr).take();
    ASSERT_EQ(t.chunks.size(), 2u);
    EXPECT_EQ(t.chunks[0].type, UDIF_CHUNK_ZLIB);
    EXPECT_GE(t.chunks[0].compressed_length, c.min_len);
    EXPECT_LE(t.chunks[0].compressed_length, c.max_len);
    bool ok = false;
    EXPECT_TRUE(inflate_all(out_bytes.data(), out_bytes.size(), &ok) == c.data);
    EXPECT_TRUE(ok);
  }
}

TEST(ChunkType, RawOnlyWhenCompressionCostsAWholeSector) {
  struct Case {
    uint64_t compressed, sectors;
    uint32_t type;
  } cases[] = {
      {0, 0, UDIF_CHUNK_ZLIB},           {511, 0, UDIF_CHUNK_ZLIB},        {512, 0, UDIF_CHUNK_RAW},
      {20, 1, UDIF_CHUNK_ZLIB},          {1023, 1, UDIF_CHUNK_ZLIB},       {1024, 1, UDIF_CHUNK_RAW},
      {262144, 512, UDIF_CHUNK_ZLIB},    {262655, 512, UDIF_CHUNK_ZLIB},   {262656, 512, UDIF_CHUNK_RAW},
      {266240, 512, UDIF_CHUNK_RAW},
  };
  for (const Case& c : cases)
    EXPECT_EQ(udif_chunk_type_for(c.compressed, c.sectors), c.type) << c.compressed << " bytes, " << c.sectors;
}

TEST(CompressChunk, WorkBufferHoldsTheCodersWorstCase) {
  // A full chunk never fails for want of room, whatever the library's version.
  EXPECT_LE(libdeflate_zlib_compress_bound(nullptr, 512 * kSector), kChunkBufferSize);
}

TEST(CompressChunk, IndependentOfOrderAndOfTheOutputBuffer) {
  // Each chunk's bytes depend on its input only: coding chunks out of order, into
  // a dirty buffer, gives what insertBLKX wrote in order.
  std::vector<uint8_t> data = mixed_data(1300 * kSector, 5);
  std::vector<uint8_t> in_bytes = data, out_bytes;
  MemStream in(&in_bytes), out(&out_bytes);
  udif_blkx_table_t t = insertBLKX(&out, &in, 0, 1300, 0, nullptr, nullptr, nullptr).take();
  ASSERT_EQ(t.chunks.size(), 4u);
  std::vector<uint8_t> buf(kChunkBufferSize, 0xCD);
  for (size_t i : {2u, 0u, 1u}) {
    const udif_blkx_chunk_t& e = t.chunks[i];
    chunk_code_t code;
    ASSERT_TRUE(compress_chunk(data.data() + e.sector_start * kSector, e.sector_count, buf.data(), &code));
    EXPECT_EQ(code.type, e.type);
    ASSERT_EQ(code.stored_length, e.compressed_length);
    EXPECT_EQ(0, std::memcmp(buf.data(), out_bytes.data() + e.compressed_offset, code.stored_length)) << i;
  }
}

TEST(InsertBlkx, InputShorterThanTheSectorCountFails) {
  std::vector<uint8_t> in_bytes = mixed_data(600 * kSector, 9);
  std::vector<uint8_t> out_bytes;
  MemStream in(&in_bytes);
  MemStream out(&out_bytes);
  result<udif_blkx_table_t> t = insertBLKX(&out, &in, 0, 601, 0, nullptr, nullptr, nullptr);
  ASSERT_FALSE(t);
  EXPECT_TRUE(std::regex_match(t.error().message(), std::regex("insertBLKX\\(\\):199: stream_read error \\(short read\\)\n")))
      << t.error().message();
}

}  // namespace
}  // namespace volpack
