// volume_format's parameters: each refusal with its exact message; the
// warnings; the defaults and derived values as they land on the volume (clump
// table, node sizes, root folder ownership).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "format_test_util.h"

namespace volpack {
namespace {

using test::FormatArgs;
using test::TempDir;
using test::Volume;


constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kGiB = 1024 * kMiB;

std::string with_device(std::string text, const std::string& device) {
  for (size_t at; (at = text.find("{dev}")) != std::string::npos;) text.replace(at, 5, device);
  return text;
}

void none(FormatArgs&) {}
constexpr int64_t kSized = 10 * kMiB + 512;  // the file a 10 MiB size argument makes

struct Refusal {
  const char* label;
  void (*tune)(FormatArgs&);
  uint64_t sparse;       // a file of this size exists before the call (0: none)
  const char* message;   // "{dev}" stands for the device path
  int64_t fileAfter;     // the file's size after the refusal, -1: no file
  const char* subpath = "v.hfs";
};

const Refusal kRefusals[] = {
    {"first CNID 15", [](FormatArgs& a) { a.first_cnid = 15; }, 0,
     "{dev}: starting catalog node id too small (must be > 15)", -1},
    {"attributes node 3000", [](FormatArgs& a) { a.attributes_node_size = 3000; }, 0,
     "{dev}: invalid atrribute b-tree node size", -1},
    {"attributes node 512", [](FormatArgs& a) { a.attributes_node_size = 512; }, 0,
     "{dev}: invalid atrribute b-tree node size", -1},
    {"catalog node 2048", [](FormatArgs& a) { a.catalog_node_size = 2048; }, 0,
     "{dev}: invalid catalog b-tree node size", -1},
    {"catalog node 3000", [](FormatArgs& a) { a.catalog_node_size = 3000; }, 0,
     "{dev}: invalid catalog b-tree node size", -1},
    {"catalog node 65536", [](FormatArgs& a) { a.catalog_node_size = 65536; }, 0,
     "{dev}: invalid catalog b-tree node size", -1},
    {"extents node 3000", [](FormatArgs& a) { a.extents_node_size = 3000; }, 0,
     "{dev}: invalid extents b-tree node size", -1},
    {"extents node 512", [](FormatArgs& a) { a.extents_node_size = 512; }, 0,
     "{dev}: invalid extents b-tree node size", -1},
    {"missing folder", none, 0, "{dev}: unable to open device file for writing\n", -1, "missing/v.hfs"},
    {"no file and no size", [](FormatArgs& a) { a.size = 0; }, 0, "{dev}: unable to open device file for writing\n", -1},
    {"block size 3000", [](FormatArgs& a) { a.block_size = 3000; }, 0,
     "{dev}: bad HFS+ allocation block size (must be a power of two)", kSized},
    {"block size 256", [](FormatArgs& a) { a.block_size = 256; }, 0,
     "{dev}: bad HFS+ allocation block size (too small)", kSized},
    {"block size 262144", [](FormatArgs& a) { a.block_size = 262144; }, 0,
     "{dev}: bad HFS+ allocation block size (too large)", kSized},
    {"size 523264", [](FormatArgs& a) { a.size = 523264; }, 0, "{dev}: partition is too small (minimum is 512 KB)",
     523776},
    {"existing file of 524287 bytes", none, 524287, "{dev}: partition is too small (minimum is 512 KB)", 524287},
    {"catalog clump 3 blocks of 8192-byte nodes",
     [](FormatArgs& a) { a.catalog_clump = 3; a.catalog_node_size = 8192; },
     0, "c=3: clump size is not a multiple of node size\n", kSized},
    {"extents clump 3 blocks of 8192-byte nodes",
     [](FormatArgs& a) { a.extents_clump = 3; a.extents_node_size = 8192; },
     0, "e=3: clump size is not a multiple of node size\n", kSized},
    {"attributes clump 3 blocks of 8192-byte nodes",
     [](FormatArgs& a) { a.attributes_clump = 3; a.attributes_node_size = 8192; }, 0,
     "a=3: clump size is not a multiple of node size\n", kSized},
    {"bitmap clump of 1 block for 51200 blocks", [](FormatArgs& a) { a.allocation_clump = 1; }, 200 * kMiB,
     "b=1: bitmap clump size is too small\n", 200 * kMiB},
    {"resource clump overflow", [](FormatArgs& a) { a.rsrc_clump = 0x100000; }, 0,
     "=1048576: too many blocks for clump size!", kSized},
    {"data clump before catalog clump",
     [](FormatArgs& a) { a.data_clump = 0x100001; a.catalog_clump = 3; a.catalog_node_size = 8192; }, 0,
     "=1048577: too many blocks for clump size!", kSized},
    {"catalog clump overflow before its node multiple",
     [](FormatArgs& a) { a.catalog_clump = 0xFFFFFFFF; a.catalog_node_size = 8192; }, 0,
     "=4294967295: too many blocks for clump size!", kSized},
    {"bitmap clump overflow", [](FormatArgs& a) { a.allocation_clump = 0x100000; }, 0,
     "=1048576: too many blocks for clump size!", kSized},
    // A catalog file needs its header node and the root leaf.
    {"catalog clump of one node", [](FormatArgs& a) { a.catalog_clump = 1; }, 0,
     "c=1: clump size is too small for two nodes\n", kSized},
    // The special files and fixed blocks must fit: 4 blocks of 128 KiB hold
    // neither the 5 fixed and special blocks nor a journal of 8 MiB.
    {"special files do not fit", [](FormatArgs& a) { a.block_size = 131072; a.size = 523776; }, 0,
     "{dev}: partition is too small for its special files (5 blocks needed, 4 available)\n", 524288},
    {"journal does not fit", [](FormatArgs& a) { a.journal_size = 1; a.size = 4 * kMiB; }, 0,
     "{dev}: partition is too small for its special files (2068 blocks needed, 1024 available)\n", 4 * kMiB + 512},
    {"large volume not a multiple of 4 KiB", none, 512 * kGiB + 512,
     "{dev}: partition size not a multiple of 4K.", static_cast<int64_t>(512 * kGiB + 512)},
    {"512-byte blocks for 2^32 + 1 sectors", [](FormatArgs& a) { a.block_size = 512; }, 2048 * kGiB + 512,
     "{dev}: block size 512 is too small for 4294967297 sectors", static_cast<int64_t>(2048 * kGiB + 512)},
};

TEST(FormatParams, RefusalsWithExactMessages) {
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.label);
    TempDir dir;
    const std::string path = (dir.path() / r.subpath).string();
    if (r.sparse != 0 && !test::make_sparse_file(path, r.sparse)) {
      std::printf("skipped \"%s\": the host cannot hold a sparse file of %llu bytes\n", r.label,
                  static_cast<unsigned long long>(r.sparse));
      continue;
    }
    FormatArgs args;
    args.size = r.sparse != 0 ? 0 : 10 * kMiB;  // most refusals need a size to get that far
    r.tune(args);
    EXPECT_EQ(test::message_of(args.format(path)), with_device(r.message, path));
    if (r.fileAfter < 0) {
      EXPECT_FALSE(std::filesystem::exists(path));
    } else {
      EXPECT_EQ(test::file_size(path), static_cast<uint64_t>(r.fileAfter));
    }
  }
}

struct Warnings {
  const char* label;
  void (*tune)(FormatArgs&);
  const char* stderrText;
};

const std::string kLongName(300, 'x');

const Warnings kWarnings[] = {
    {"every warning, in order",
     [](FormatArgs& a) { a.block_size = 1024; a.journal_size = 4096; a.volume_name = kLongName.c_str(); },
     "{dev}: Warning: 1024 is a non-optimal block size (4096 would be a better choice)"
     "{dev}: Warning: journal size 4k too small.  Reset to 8192k.\n"
     "{dev}: Warning: volume name too long (truncated to 255 chars)\n"
     "{dev}: Warning: block size 1024 is less than catalog b-tree node size 4096"
     "{dev}: Warning: block size 1024 is less than extents b-tree node size 4096"},
    {"2048-byte blocks under 8192-byte catalog nodes",
     [](FormatArgs& a) { a.block_size = 2048; a.catalog_node_size = 8192; a.extents_node_size = 1024; },
     "{dev}: Warning: 2048 is a non-optimal block size (4096 would be a better choice)"
     "{dev}: Warning: block size 2048 is less than catalog b-tree node size 8192"},
    {"4096-byte blocks warn only for the extents tree",
     [](FormatArgs& a) { a.block_size = 4096; a.catalog_node_size = 8192; a.extents_node_size = 8192; },
     "{dev}: Warning: block size 4096 is less than extents b-tree node size 8192"},
    {"65536-byte blocks", [](FormatArgs& a) { a.block_size = 65536; }, ""},
    {"journal size 1", [](FormatArgs& a) { a.journal_size = 1; }, ""},
    {"journal size 8 MiB", [](FormatArgs& a) { a.journal_size = 8388608; }, ""},
    {"255-byte name", [](FormatArgs& a) { a.volume_name = kLongName.c_str() + 45; }, ""},
};

TEST(FormatParams, WarningsGoToTheReporterAndFormattingGoesOn) {
  for (const Warnings& w : kWarnings) {
    SCOPED_TRACE(w.label);
    TempDir dir;
    const std::string path = test::device_path(dir);
    FormatArgs args;
    args.size = 16 * kMiB;
    w.tune(args);
    EXPECT_EQ(test::message_of(args.format(path)), "");
    EXPECT_EQ(args.warnings.text, with_device(w.stderrText, path));
    for (const auto& line : args.warnings.lines) EXPECT_EQ(line.first, report_kind::warning);
    EXPECT_EQ(Volume(path).vh.signature, kHFSPlusSigWord);
  }
}

// What the parameters become on the volume.
struct Derived {
  const char* label;
  uint64_t fileBytes;  // formatted at this size (size argument 0)
  void (*tune)(FormatArgs&);
  uint32_t blockSize, rsrcClump, dataClump;
  uint32_t catalogNode, catalogClump, extentsNode, extentsClump, bitmapBytes;
  CatalogNodeID nextCatalogID;
};

const Derived kDerived[] = {
    // The driver's worked example: the file is the size argument plus 512.
    {"10 MiB", 10 * kMiB + 512, none, 4096, 65536, 65536, 4096, 81920, 4096, 81920, 4096, 16},
    {"smallest volume", 524288, none, 4096, 65536, 65536, 4096, 32768, 4096, 32768, 4096, 16},
    {"1 GiB exactly", kGiB, none, 4096, 65536, 65536, 8192, 4 * kMiB, 4096, 4 * kMiB, 32768, 16},
    {"1 GiB less a sector", kGiB - 512, none, 4096, 65536, 65536, 4096, 8 * kMiB - 4096, 4096, 8 * kMiB - 4096,
     32768, 16},
    {"1 GiB less a block", kGiB - 4096, none, 4096, 65536, 65536, 4096, 8 * kMiB - 4096, 4096, 8 * kMiB - 4096,
     32768, 16},
    {"2 GiB", 2 * kGiB, none, 4096, 65536, 65536, 8192, 6 * kMiB, 4096, 4 * kMiB, 65536, 16},
    {"8 GiB", 8 * kGiB, none, 4096, 65536, 65536, 8192, 11 * kMiB, 4096, 5 * kMiB, 262144, 16},
    {"64 GiB", 64 * kGiB, none, 4096, 65536, 65536, 8192, 25 * kMiB, 4096, 7 * kMiB, 2 * kMiB, 16},
    {"512-byte blocks", 10 * kMiB + 512, [](FormatArgs& a) { a.block_size = 512; }, 512, 8192, 8192, 4096, 81920, 4096,
     81920, 3072, 16},
    {"65536-byte blocks", 10 * kMiB + 512, [](FormatArgs& a) { a.block_size = 65536; }, 65536, 65536, 65536, 4096,
     65536,
     4096, 65536, 65536, 16},
    {"131072-byte blocks", 10 * kMiB + 512, [](FormatArgs& a) { a.block_size = 131072; }, 131072, 131072, 131072, 4096,
     131072, 4096, 131072, 131072, 16},
    {"fork clumps given", 10 * kMiB + 512, [](FormatArgs& a) { a.rsrc_clump = 3; a.data_clump = 5; }, 4096, 12288,
     20480, 4096, 81920, 4096, 81920, 4096, 16},
    {"tree sizes given", 10 * kMiB + 512,
     [](FormatArgs& a) {
       a.catalog_node_size = 16384;
       a.catalog_clump = 8;
       a.extents_node_size = 1024;
       a.extents_clump = 3;
     },
     4096,
     65536, 65536, 16384, 32768, 1024, 12288, 4096, 16},
    {"bitmap clump given", 10 * kMiB + 512, [](FormatArgs& a) { a.allocation_clump = 3; }, 4096, 65536, 65536, 4096,
     81920, 4096, 81920, 12288, 16},
    {"first CNID 16", 10 * kMiB + 512, [](FormatArgs& a) { a.first_cnid = 16; }, 4096, 65536, 65536, 4096, 81920, 4096,
     81920, 4096, 16},
    {"first CNID 1000", 10 * kMiB + 512, [](FormatArgs& a) { a.first_cnid = 1000; }, 4096, 65536, 65536, 4096, 81920,
     4096, 81920, 4096, 1000},
};

TEST(FormatParams, DefaultsAndDerivedValuesOnTheVolume) {
  for (const Derived& d : kDerived) {
    SCOPED_TRACE(d.label);
    TempDir dir;
    const std::string path = test::device_path(dir);
    if (!test::make_sparse_file(path, d.fileBytes)) {
      std::printf("skipped \"%s\": no sparse file of %llu bytes\n", d.label,
                  static_cast<unsigned long long>(d.fileBytes));
      continue;
    }
    FormatArgs args;
    d.tune(args);
    test::format_quietly(args, dir);
    ASSERT_EQ(test::file_size(path), d.fileBytes);  // size 0 keeps the file as it is
    Volume v(path);
    EXPECT_EQ(v.vh.blockSize, d.blockSize);
    EXPECT_EQ(v.vh.rsrcClumpSize, d.rsrcClump);
    EXPECT_EQ(v.vh.dataClumpSize, d.dataClump);
    EXPECT_EQ(v.tree_header(v.vh.catalogFile).nodeSize, d.catalogNode);
    EXPECT_EQ(v.vh.catalogFile.logicalSize, d.catalogClump);
    EXPECT_EQ(v.vh.catalogFile.clumpSize, d.catalogClump);
    EXPECT_EQ(v.tree_header(v.vh.extentsFile).nodeSize, d.extentsNode);
    EXPECT_EQ(v.vh.extentsFile.logicalSize, d.extentsClump);
    EXPECT_EQ(v.vh.extentsFile.clumpSize, d.extentsClump);
    EXPECT_EQ(v.vh.allocationFile.logicalSize, d.bitmapBytes);
    EXPECT_EQ(v.vh.allocationFile.clumpSize, d.bitmapBytes);
    EXPECT_EQ(v.vh.nextCatalogID, d.nextCatalogID);
  }
}

// The size argument sets the file to (floor(size / 512) + 1) * 512 bytes,
// growing or shrinking it.
TEST(FormatParams, SizeArgumentSetsTheFileLength) {
  const struct {
    uint64_t existing, size, after;
  } cases[] = {
      {0, 10 * kMiB, 10 * kMiB + 512},
      {0, 10 * kMiB + 1, 10 * kMiB + 512},
      {0, 10 * kMiB + 511, 10 * kMiB + 512},
      {0, 523776, 524288},
      {20 * kMiB, 10 * kMiB, 10 * kMiB + 512},
      {20 * kMiB, 0, 20 * kMiB},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    TempDir dir;
    const std::string path = test::device_path(dir);
    ASSERT_TRUE(c.existing == 0 || test::make_sparse_file(path, c.existing));
    FormatArgs args;
    args.size = c.size;
    ASSERT_EQ(test::message_of(args.format(path)), "");
    EXPECT_EQ(test::file_size(path), c.after);
    EXPECT_EQ(Volume(path).vh.totalBlocks, c.after / 4096);
  }
}

TEST(FormatParams, RootFolderOwnershipIsTakenTogether) {
  const struct {
    uint32_t owner;
    int32_t group;
    uint16_t mask;
    uint32_t ownerID, groupID;
    uint16_t mode;
  } cases[] = {
      {0, 0, 0xFFFF, 0, 0, 0x41ED},  // the driver's call
      {0xFFFFFFFF, -1, 0xFFFF, 0, 0, 0},  // nothing given: no permissions at all
      {501, -1, 0xFFFF, 501, 0, 0x41ED},
      {0xFFFFFFFF, 20, 0xFFFF, 0, 20, 0x41ED},
      {0xFFFFFFFF, -1, 0xF1FF, 0, 0, 0x41FF},  // only the low 9 bits of a given mask
      {0xFFFFFFFF, -1, 0x0E44, 0, 0, 0x4044},
      {0xFFFFFFFF, -1, 0, 0, 0, 0x4000},
      {7, 8, 0750, 7, 8, 0x41E8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    TempDir dir;
    FormatArgs args;
    args.size = 10 * kMiB;
    args.owner = c.owner;
    args.group = c.group;
    args.mask = c.mask;
    const std::vector<uint8_t> leaf = Volume(test::format_quietly(args, dir)).root_leaf();
    HFSPlusCatalogFolder root;
    decode(leaf.data() + test::catalog_data_at(leaf, 0), &root);
    EXPECT_EQ(root.permissions.ownerID, c.ownerID);
    EXPECT_EQ(root.permissions.groupID, c.groupID);
    EXPECT_EQ(root.permissions.fileMode, c.mode);  // the flags bytes are in the golden root leaf
  }
}

}  // namespace
}  // namespace volpack
