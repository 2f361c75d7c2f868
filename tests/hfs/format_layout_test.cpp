// The formatted volume's layout: geometry (the worked examples), the volume
// header and its alternate copy, the volume identifier, the allocation file,
// what the clearing step touches and where WriteBuffer writes.
#include <gtest/gtest.h>

#include <bitset>
#include <cstdlib>
#include <fstream>
#include <string>

#include "format_test_util.h"
#include "hfs/check.h"
#include "io/host_fs.h"

namespace volpack {
namespace {

using test::FormatArgs;
using test::TempDir;
using test::Volume;

constexpr uint64_t kMiB = 1048576;

struct Extent {
  BlockNumber start;
  uint32_t count;
};

struct Geometry {
  const char* label;
  uint64_t size;  // the size argument
  uint32_t block, catalogClump;
  uint64_t totalSectors;
  uint32_t totalBlocks;
  Extent allocation, extents, catalog;
  uint32_t usedBlocks, freeBlocks, nextAllocation;
};

const Geometry kGeometries[] = {
    {"driver, 10 MiB", 10485760, 0, 0, 20481, 2560, {1, 1}, {2, 20}, {22, 20}, 43, 2517, 242},
    {"smallest volume", 523776, 0, 0, 1024, 128, {1, 1}, {2, 8}, {10, 8}, 19, 109, 98},
    {"2048-byte blocks", 10485760, 2048, 0, 20481, 5120, {1, 1}, {2, 40}, {42, 40}, 83, 5037, 482},
    {"1024-byte blocks", 10485760, 1024, 0, 20481, 10240, {2, 2}, {4, 80}, {84, 80}, 165, 10075, 964},
    {"512-byte blocks", 10485760, 512, 0, 20481, 20481, {3, 6}, {9, 160}, {169, 160}, 331, 20150, 1929},
    // Ten catalogs' worth of blocks past the catalog lie beyond the volume: the
    // allocation search starts right after the catalog instead.
    {"catalog of 4900 blocks", 5000 * 4096, 0, 4900, 40001, 5000, {1, 1}, {2, 39}, {41, 4900}, 4942, 58, 4941},
};

void expect_extent(const HFSPlusForkData& fork, const Extent& e, uint32_t blockSize) {
  EXPECT_EQ(fork.extents[0].startBlock, e.start);
  EXPECT_EQ(fork.extents[0].blockCount, e.count);
  EXPECT_EQ(fork.totalBlocks, e.count);
  EXPECT_EQ(fork.logicalSize, static_cast<uint64_t>(e.count) * blockSize);
  for (size_t i = 1; i < 8; ++i) EXPECT_EQ(fork.extents[i].blockCount, 0u);
}

TEST(FormatLayout, GeometryOfTheWorkedExamples) {
  for (const Geometry& g : kGeometries) {
    SCOPED_TRACE(g.label);
    TempDir dir;
    FormatArgs args;
    args.size = g.size;
    args.block_size = g.block;
    args.catalog_clump = g.catalogClump;
    Volume v(test::format_quietly(args, dir));
    EXPECT_EQ(v.total_sectors(), g.totalSectors);
    EXPECT_EQ(v.vh.totalBlocks, g.totalBlocks);
    expect_extent(v.vh.allocationFile, g.allocation, v.vh.blockSize);
    expect_extent(v.vh.extentsFile, g.extents, v.vh.blockSize);
    expect_extent(v.vh.catalogFile, g.catalog, v.vh.blockSize);
    EXPECT_EQ(v.vh.totalBlocks - v.vh.freeBlocks, g.usedBlocks);
    EXPECT_EQ(v.vh.freeBlocks, g.freeBlocks);
    EXPECT_EQ(v.vh.nextAllocation, g.nextAllocation);
    // The alternate header is the second-to-last sector of the device.
    EXPECT_EQ(v.sector(g.totalSectors - 2), v.sector(2));
    EXPECT_EQ(v.sector(0), std::vector<uint8_t>(512, 0));  // boot blocks
    EXPECT_EQ(v.sector(1), std::vector<uint8_t>(512, 0));
  }
}

// The header's fixed values, its dates and the volume identifier, typed at
// their TN1150 offsets.
TEST(FormatLayout, VolumeHeaderValues) {
  for (int caseSensitive = 0; caseSensitive <= 1; ++caseSensitive) {
    SCOPED_TRACE(caseSensitive);
    TempDir dir;
    const std::string path = test::device_path(dir);
    FormatArgs args;
    args.size = 10485760;
    args.case_sensitive = caseSensitive != 0;
    args.time = 1700000000;
    ASSERT_EQ(test::message_of(args.format(path)), "");

    const std::vector<uint8_t> raw = test::read_range(path, 1024, 512);
    const std::vector<uint8_t> fixed =
        caseSensitive ? test::golden(12, {{0, "48 58 00 05 00 00 01 00 31 30 2E 30"}})
                      : test::golden(12, {{0, "48 2B 00 04 00 00 01 00 31 30 2E 30"}});
    EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.begin() + 12), fixed);
    // journalInfoBlock 0 ... nextCatalogID 16, writeCount 0, encodings 1.
    EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 32, raw.begin() + 80),
              test::golden(48, {{0, "00 00 00 00 00 00 00 00 00 00 10 00 00 00 0A 00 00 00 09 D5 00 00 00 F2"},
                                {24, "00 01 00 00 00 01 00 00 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 01"}}));
    EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 80, raw.begin() + 104), std::vector<uint8_t>(24, 0));
    EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 352, raw.end()), std::vector<uint8_t>(160, 0));

    Volume v(path);
    EXPECT_EQ(v.vh.journalInfoBlock, 0u);
    EXPECT_EQ(v.tree_header(v.vh.catalogFile).keyCompareType, caseSensitive ? kHFSBinaryCompare : kHFSCaseFolding);
    EXPECT_EQ(v.tree_header(v.vh.extentsFile).keyCompareType, 0);
    EXPECT_EQ(v.vh.modifyDate, hfs_date_from_unix(args.time));
    EXPECT_EQ(v.vh.checkedDate, v.vh.modifyDate);
    EXPECT_EQ(v.vh.backupDate, 0u);
    EXPECT_EQ(v.vh.createDate, v.vh.modifyDate - static_cast<uint32_t>(60 * host_timezone_bias_minutes()));

    // The identifier: eight non-zero low bytes of the C library's generator
    // seeded with the clock, so that the same second gives the same identifier.
    std::srand(static_cast<unsigned>(args.time));
    for (size_t i = 0; i < 8; ++i) {
      int r = 0;
      while ((r = std::rand() & 0xFF) == 0) {
      }
      EXPECT_EQ(v.vh.finderInfo[24 + i], r) << i;
    }
  }
}

// Exactly blocks 0 to startRun - 1 and the last endBlocks blocks are marked;
// the padding is clear; freeBlocks counts the clear bits.
struct Bitmap {
  const char* label;
  uint64_t size;
  uint32_t block, catalogClump;
  BlockNumber bitmapStart;
  uint32_t totalBlocks;
};

const Bitmap kBitmaps[] = {
    {"4096-byte blocks, one sector", 10485760, 0, 0, 1, 2560},
    {"4096-byte blocks, end bit in sector 3", 64 * kMiB, 0, 0, 1, 16384},
    {"2048-byte blocks", 10485760, 2048, 0, 1, 5120},
    {"1024-byte blocks", 10485760, 1024, 0, 2, 10240},
    {"512-byte blocks, end bits in sectors 4 and 5", 10485760, 512, 0, 3, 20481},
    {"512-byte blocks, end bits in sectors 0 and 1", 2097152, 512, 0, 3, 4097},
    {"512-byte blocks, 4096 blocks in one sector", 2096640, 512, 0, 3, 4096},
    // The start run reaches the sector of the end bits.
    {"512-byte blocks, start run into the end sector", 2149888, 512, 4048, 3, 4200},
    {"4096-byte blocks, start run into the end sector", 5000 * 4096, 0, 4900, 1, 5000},
    // A start run longer than two catalog nodes' worth of bits.
    {"512-byte blocks, start run of 71060 blocks", 64 * kMiB, 512, 70000, 3, 131073},
};

TEST(FormatLayout, AllocationFileMarksExactlyTheUsedBlocks) {
  for (const Bitmap& b : kBitmaps) {
    SCOPED_TRACE(b.label);
    TempDir dir;
    FormatArgs args;
    args.size = b.size;
    args.block_size = b.block;
    args.catalog_clump = b.catalogClump;
    Volume v(test::format_quietly(args, dir));
    ASSERT_EQ(v.vh.totalBlocks, b.totalBlocks);
    ASSERT_EQ(v.vh.allocationFile.extents[0].startBlock, b.bitmapStart);
    const uint64_t startRun = v.vh.catalogFile.extents[0].startBlock + v.vh.catalogFile.totalBlocks;
    const uint32_t endBlocks = v.vh.blockSize == 512 ? 2 : 1;
    const std::vector<uint8_t> bits = v.allocation_file();
    uint64_t set = 0;
    for (uint64_t n = 0; n < bits.size() * 8; ++n) {
      const bool marked = (bits[n / 8] & (0x80 >> (n % 8))) != 0;
      const bool used = n < startRun || (n >= b.totalBlocks - endBlocks && n < b.totalBlocks);
      ASSERT_EQ(marked, used) << "block " << n;
      set += marked;
    }
    EXPECT_EQ(v.vh.freeBlocks, v.vh.totalBlocks - set);
  }
}

// Formatting an existing file writes the metadata area and the last 8 sectors
// and leaves every other byte as it was.
TEST(FormatLayout, ClearingTouchesOnlyTheMetadataAreaAndTheEnd) {
  TempDir dir;
  const std::string path = test::device_path(dir);
  const uint64_t bytes = 10 * kMiB + 512;
  {
    std::ofstream f(path, std::ios::binary);
    std::string fill(bytes, '\xA5');
    f.write(fill.data(), static_cast<std::streamsize>(fill.size()));
  }
  FormatArgs args;  // size 0: the file as it is
  ASSERT_EQ(test::message_of(args.format(path)), "");
  ASSERT_EQ(test::file_size(path), bytes);
  const std::vector<uint8_t> all = test::read_bytes(path);
  const uint64_t metadataEnd = 43 * 4096;  // blocks 0 to 42 (usedBlocks)
  const uint64_t tail = bytes - 8 * 512;
  for (uint64_t i = metadataEnd; i < tail; ++i) ASSERT_EQ(all[i], 0xA5) << "byte " << i;
  auto zero = [&](uint64_t from, uint64_t to) {
    for (uint64_t i = from; i < to; ++i) ASSERT_EQ(all[i], 0) << "byte " << i;
  };
  zero(tail, bytes - 1024);  // the last 8 sectors but the alternate header
  zero(bytes - 512, bytes);
  // The free parts of the metadata area: the rest of the allocation file, the
  // free tree nodes, the block after the catalog.
  zero(0, 1024);
  zero(1536, 4096);
  zero(4096 + 512, 2 * 4096);  // the allocation file past its one sector in use
  zero(3 * 4096, 22 * 4096);  // extents nodes 1 to 19
  zero(24 * 4096, 43 * 4096); // catalog nodes 2 to 19, block 42
}

TEST(FormatLayout, WriteBufferPlacementAndWriteError) {
  std::vector<uint8_t> bytes;
  test::MemIo mem(&bytes);
  const std::vector<uint8_t> buffer(8192, 0);
  const format_device d = test::test_device(&mem);
  test::FaultIo failing(&mem, test::FaultIo::Op::kWrite, 1);
  EXPECT_EQ(test::message_of(WriteBuffer(test::test_device(&failing), 3, 1024, buffer.data())),
            "dev: write error (sector 8, 1024 bytes)");

  // A good write lands at (sectorOffset + sector) * 512.
  const std::vector<uint8_t> ones(512, 1);
  ASSERT_TRUE(WriteBuffer(d, 10, 512, ones.data()));
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 15 * 512, bytes.end()), ones);
}

// The formatter writes only through its io_t: a volume formatted in memory is
// byte for byte the one formatted into a file, given the same clock; the
// identifier is the low bytes of the identifier source's draws, zeros skipped.
TEST(FormatLayout, InMemoryDeviceAndIdentifierSource) {
  TempDir dir;
  FormatArgs args;
  args.size = 10485760;
  args.time = 1234567890;
  const std::string path = test::format_quietly(args, dir);
  std::vector<uint8_t> memory;
  ASSERT_EQ(test::message_of(args.format_memory(&memory, test::file_size(path))), "");
  memory.resize(test::file_size(path), 0);  // the file's untouched middle reads as zeros
  EXPECT_TRUE(memory == test::read_bytes(path));

  struct Counting final : id_source_t {
    uint32_t n = 0x2FF;  // low bytes FF, 00 (skipped), 01, 02, ...
    uint32_t next_u32() override { return n++; }
  } ids;
  FormatArgs::Clock clock;
  run_context context;
  context.reporter = &args.warnings;
  context.clock = &clock;
  context.ids = &ids;
  std::vector<uint8_t> device;
  test::MemIo io(&device);
  ASSERT_TRUE(volume_format(&io, 10485760, "mem", args, context));
  const uint8_t want[8] = {0xFF, 1, 2, 3, 4, 5, 6, 7};
  EXPECT_TRUE(std::equal(want, want + 8, device.begin() + 1024 + 80 + 24));
}

// Every block size gives a volume the checker finds sound; with blocks of
// less than 1 KiB the reserved last 1024 bytes span two blocks, both in use.
TEST(FormatLayout, EveryBlockSizeGivesASoundVolume) {
  for (uint32_t block_size : {512u, 1024u, 4096u}) {
    SCOPED_TRACE(block_size);
    FormatArgs args;
    args.block_size = block_size;
    std::vector<uint8_t> device;
    ASSERT_EQ(test::message_of(args.format_memory(&device, 10 * kMiB)), "");
    device.resize(10 * kMiB);
    std::vector<uint8_t> image = device;
    test::MemIo io(&image, false);
    findings_t findings;
    EXPECT_EQ(test::message_of(hfs_check(&io, image.size(), &findings)), "");
    for (const finding& f : findings.list()) ADD_FAILURE() << f.text;
  }
}

}  // namespace
}  // namespace volpack
