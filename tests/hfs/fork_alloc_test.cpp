// Forks: allocation from the bitmap, the extent map with its overflow records,
// reads and writes through it; a randomized run against a model of the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "hfs/btree_cache.h"
#include "hfs/volume.h"
#include "volume_fixture.h"

namespace volpack {
namespace test {
namespace {

// Grows `f` by one block at a time, letting `spacer` take the block after
// each, so that every block of `f` becomes an extent of its own.
void fragment(hfsfile_t* f, hfsfile_t* spacer, uint32_t extents) {
  const uint64_t bs = f->volume->header.blockSize;
  for (uint32_t i = 0; i < extents; ++i) {
    ASSERT_TRUE(hfsfile_allocate(f, (f->fork->totalBlocks + 1) * bs));
    ASSERT_TRUE(hfsfile_allocate(spacer, (spacer->fork->totalBlocks + 1) * bs));
  }
}

// Every overflow record of the volume, in key order: (file ID, start block).
std::vector<std::pair<CatalogNodeID, uint32_t>> overflow_keys(volume_t* v) {
  std::vector<std::pair<CatalogNodeID, uint32_t>> keys;
  btree_t* tree = &v->extents_tree;
  for (NodeNumber n = tree->header.firstLeafNode; n != 0;) {
    BTNodeDescriptor d = ok_value(btree_read_descriptor(tree, n));
    for (uint16_t i = 0; i < d.numRecords; ++i) {
      uint64_t offset = ok_value(btree_get_record_offset(tree, n, i));
      std::unique_ptr<btree_key_t> k = ok_value(btree_read_key(tree, offset, tree->io.get(), "test", 0));
      const extent_key_t& e = static_cast<const extent_key_t&>(*k);
      keys.emplace_back(e.fileID, e.startBlock);
    }
    n = d.fLink;
  }
  return keys;
}

std::vector<uint32_t> record_starts(volume_t* v, CatalogNodeID id) {
  std::vector<uint32_t> starts;
  for (const auto& k : overflow_keys(v)) {
    if (k.first == id) starts.push_back(k.second);
  }
  return starts;
}

std::unique_ptr<extent_record_t> overflow_record(volume_t* v, CatalogNodeID id, uint32_t start) {
  extent_key_t key;
  key.fileID = id;
  key.startBlock = start;
  bool exact = false;
  std::unique_ptr<btree_record_t> r = test::ok_value(btree_search(&v->extents_tree, key, &exact, nullptr, nullptr));
  EXPECT_TRUE(exact);
  return std::unique_ptr<extent_record_t>(static_cast<extent_record_t*>(r.release()));
}

TEST(ForkAllocation, ScanStartsAtTheHintAndAdvancesItOnlyPastBlocksInUse) {
  volume_geometry g;  // blocks 0-9 in use: header, bitmap, 4 + 4 tree blocks
  g.next_allocation = 4;
  TestVolume t(g);
  test_file f = create_file(t.v(), "/f");
  ASSERT_TRUE(hfsfile_allocate(f.fork.get(), 2 * 4096));
  EXPECT_EQ(extents_of(*f.fork), (std::vector<HFSPlusExtentDescriptor>{{10, 2}}));
  EXPECT_EQ(t.v()->header.nextAllocation, 11u);
}

TEST(ForkAllocation, GrowthContinuesTheLastExtentOrBeginsANewOne) {
  TestVolume t;  // first free block 10, hint 10
  test_file a = create_file(t.v(), "/a");
  test_file b = create_file(t.v(), "/b");
  ASSERT_TRUE(hfsfile_allocate(a.fork.get(), 4096));
  ASSERT_TRUE(hfsfile_allocate(a.fork.get(), 2 * 4096));  // block 11 is free: the extent grows
  EXPECT_EQ(extents_of(*a.fork), (std::vector<HFSPlusExtentDescriptor>{{10, 2}}));
  ASSERT_TRUE(hfsfile_allocate(b.fork.get(), 4096));
  EXPECT_EQ(extents_of(*b.fork), (std::vector<HFSPlusExtentDescriptor>{{12, 1}}));
  ASSERT_TRUE(hfsfile_allocate(a.fork.get(), 3 * 4096));  // block 12 is b's: a new extent
  EXPECT_EQ(extents_of(*a.fork), (std::vector<HFSPlusExtentDescriptor>{{10, 2}, {13, 1}}));
  EXPECT_EQ(a.record->file.dataFork.extents[1].startBlock, 13u);
}

TEST(ForkAllocation, ShrinkingKeepsWholeExtentsAndFreesTheRest) {
  TestVolume t;
  test_file a = create_file(t.v(), "/a");
  test_file spacer = create_file(t.v(), "/spacer");
  const uint64_t bs = 4096;
  ASSERT_TRUE(hfsfile_allocate(a.fork.get(), 3 * bs));
  ASSERT_TRUE(hfsfile_allocate(spacer.fork.get(), bs));
  ASSERT_TRUE(hfsfile_allocate(a.fork.get(), 5 * bs));
  ASSERT_TRUE(hfsfile_allocate(spacer.fork.get(), 2 * bs));
  ASSERT_TRUE(hfsfile_allocate(a.fork.get(), 9 * bs));
  ASSERT_EQ(extent_sizes(*a.fork), (std::vector<uint32_t>{3, 2, 4}));
  const HFSPlusExtentDescriptor third = a.fork->extents[2];
  const uint32_t free_before = t.v()->header.freeBlocks;
  const uint32_t hint_before = t.v()->header.nextAllocation;

  ASSERT_TRUE(hfsfile_allocate(a.fork.get(), 5 * bs));
  EXPECT_EQ(extent_sizes(*a.fork), (std::vector<uint32_t>{3, 2}));
  EXPECT_EQ(t.v()->header.freeBlocks, free_before + 4);
  EXPECT_EQ(t.v()->header.nextAllocation, hint_before);
  for (uint32_t b = third.startBlock; b < third.startBlock + 4; ++b) EXPECT_FALSE(block_used(t.v(), b)) << b;
  EXPECT_EQ(a.record->file.dataFork.extents[2].blockCount, 0u);

  // Cutting inside an extent keeps its head.
  ASSERT_TRUE(hfsfile_allocate(a.fork.get(), 2 * bs + 1));
  EXPECT_EQ(extent_sizes(*a.fork), (std::vector<uint32_t>{3}));
  ASSERT_TRUE(hfsfile_allocate(a.fork.get(), 1));
  EXPECT_EQ(extent_sizes(*a.fork), (std::vector<uint32_t>{1}));
  EXPECT_EQ(t.v()->header.freeBlocks, free_before + 8);
  EXPECT_EQ(used_blocks(t.v()), t.v()->header.totalBlocks - t.v()->header.freeBlocks);
}

TEST(ForkAllocation, ExtentsBeyondEightGoToOverflowRecords) {
  TestVolume t;
  test_file a = create_file(t.v(), "/a");
  test_file spacer = create_file(t.v(), "/spacer");
  fragment(a.fork.get(), spacer.fork.get(), 10);
  ASSERT_EQ(a.fork->extents.size(), 10u);
  for (const auto& e : a.record->file.dataFork.extents) EXPECT_EQ(e.blockCount, 1u);

  // One record, keyed by the blocks of the first eight extents; the rest of
  // its descriptors zero.
  ASSERT_EQ(record_starts(t.v(), a.id), (std::vector<uint32_t>{8}));
  std::unique_ptr<extent_record_t> r = overflow_record(t.v(), a.id, 8);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->extents[0], a.fork->extents[8]);
  EXPECT_EQ(r->extents[1], a.fork->extents[9]);
  for (size_t i = 2; i < 8; ++i) EXPECT_EQ(r->extents[i].blockCount, 0u);

  // A fresh open of the fork finds the same map.
  std::unique_ptr<hfsfile_t> again =
      ok_value(volume_open_hfsfile(t.v(), a.id, &a.record->file.dataFork, a.record.get()));
  EXPECT_EQ(again->extents, a.fork->extents);
  hfsfile_close(std::move(again));

  // 17 extents: a second record keyed 16.
  fragment(a.fork.get(), spacer.fork.get(), 7);
  ASSERT_EQ(a.fork->extents.size(), 17u);
  EXPECT_EQ(record_starts(t.v(), a.id), (std::vector<uint32_t>{8, 16}));

  // Back to eight extents: the records go; the spacer's stay.
  std::vector<uint32_t> spacer_records = record_starts(t.v(), spacer.id);
  EXPECT_FALSE(spacer_records.empty());
  ASSERT_TRUE(hfsfile_allocate(a.fork.get(), 8 * 4096));
  EXPECT_EQ(a.fork->extents.size(), 8u);
  EXPECT_TRUE(record_starts(t.v(), a.id).empty());
  EXPECT_EQ(record_starts(t.v(), spacer.id), spacer_records);
}

// The catalog file grows a node clump at a time between blocks of file data,
// so it spills into overflow records, which the next open reads back.
TEST(ForkAllocation, CatalogFileBeyondEightExtents) {
  volume_geometry g;
  g.catalog_blocks = 2;  // two nodes per growth
  TestVolume t(g);
  std::vector<CatalogNodeID> ids;
  hfsfile_t* catalog_file = static_cast<hfsfile_t*>(btree_tree_file(&t.v()->catalog_tree));
  for (int i = 0; catalog_file->extents.size() <= 9; ++i) {
    ASSERT_LT(i, 2000);
    test_file f = create_file(t.v(), "/file with a long name to fill nodes " + std::to_string(i));
    ASSERT_TRUE(hfsfile_write(f.fork.get(), 0, 4, "data"));
    ids.push_back(f.id);
  }
  EXPECT_FALSE(record_starts(t.v(), kHFSCatalogFileID).empty());
  t.reopen();
  ASSERT_NE(t.v(), nullptr);
  EXPECT_GT(static_cast<hfsfile_t*>(btree_tree_file(&t.v()->catalog_tree))->extents.size(), 8u);
  for (size_t i = 0; i < ids.size(); ++i) {
    std::string path = "/file with a long name to fill nodes " + std::to_string(i);
    std::unique_ptr<catalog_record_t> r = ok_value(volume_get_record_from_path(t.v(), path.c_str(), nullptr, nullptr));
    ASSERT_NE(r, nullptr) << path;
    EXPECT_EQ(r->id(), ids[i]);
    EXPECT_EQ(r->file.dataFork.logicalSize, 4u);
  }
  expect_sound_trees(t.v());
}

// Running out of blocks, a map that claims more blocks than its extents hold,
// and a device that lost the file's block all fail with their fixed message.
TEST(ForkAllocation, FailuresCarryTheirMessages) {
  TestVolume t;
  test_file f = create_file(t.v(), "/f");
  uint64_t too_many = (static_cast<uint64_t>(t.v()->header.freeBlocks) + 1) * 4096;
  EXPECT_EQ(message_of(hfsfile_allocate(f.fork.get(), too_many)),
            "hfsfile_allocate_or_die():119: ERROR: out of free blocks\n");
  EXPECT_EQ(message_of(hfsfile_allocate(f.fork.get(), uint64_t{t.v()->header.totalBlocks + 1} * 4096)),
            "hfsfile_allocate_or_die():282: ERROR: out of free blocks\n");
  HFSPlusForkData lying = f.record->file.dataFork;
  lying.totalBlocks = 9;  // nine blocks claimed, none recorded
  const std::string inconsistent = "volume_open_hfsfile():243: ERROR: inconsistent extents information!\n";
  EXPECT_EQ(message_of(volume_open_hfsfile(t.v(), f.id, &lying, nullptr)), inconsistent);
  for (auto& e : lying.extents) e = {20, 1};  // eight extents, the ninth block in no record
  EXPECT_EQ(message_of(volume_open_hfsfile(t.v(), f.id, &lying, nullptr)), inconsistent);

  ASSERT_TRUE(hfsfile_write(f.fork.get(), 0, 3, "abc"));
  uint8_t buf[3];
  EXPECT_EQ(message_of(hfsfile_read(f.fork.get(), 4096, 3, buf, "caller", 7)), "caller():7: io_read error\n");
  t.image.resize(10 * 4096);  // the file's block is gone from the device
  EXPECT_EQ(message_of(hfsfile_read(f.fork.get(), 0, 3, buf, "caller", 7)), "hfsfile_read():250: io_read error\n");
  EXPECT_EQ(message_of(hfsfile_write(f.fork.get(), 0, 3, buf)), "hfsfile_write():258: io_write error\n");
}

// Random resizes and writes of several files, checked after every step
// against a model of their contents, the bitmap and the records on disk.
TEST(ForkAllocation, RandomResizesAgreeWithAModel) {
  volume_geometry g = small_blocks(2048);
  g.extents_blocks = 16;
  TestVolume t(g);
  std::mt19937 rng(20240611);
  constexpr int kFiles = 6;
  std::vector<test_file> files;
  std::vector<std::vector<uint8_t>> model(kFiles);
  for (int i = 0; i < kFiles; ++i) files.push_back(create_file(t.v(), "/file" + std::to_string(i)));

  auto check = [&](int step) {
    SCOPED_TRACE(step);
    std::set<uint32_t> owned;
    auto own = [&](const std::vector<HFSPlusExtentDescriptor>& list) {
      for (const auto& e : list) {
        for (uint32_t b = e.startBlock; b < e.startBlock + e.blockCount; ++b) {
          ASSERT_TRUE(owned.insert(b).second) << "block " << b << " owned twice";
          ASSERT_TRUE(block_used(t.v(), b)) << b;
        }
      }
    };
    for (int i = 0; i < kFiles; ++i) {
      hfsfile_t* f = files[i].fork.get();
      ASSERT_EQ(f->fork->logicalSize, model[i].size());
      ASSERT_EQ(f->fork->totalBlocks, (model[i].size() + 511) / 512);  // whole blocks, no more
      std::vector<uint8_t> back(model[i].size() + 1);
      ASSERT_TRUE(hfsfile_read(f, 0, model[i].size(), back.data()));
      back.pop_back();
      ASSERT_EQ(back, model[i]) << "file " << i;  // grown parts and reused blocks read as zeros
      ASSERT_FALSE(hfsfile_read(f, uint64_t{f->fork->totalBlocks} * 512, 1, back.data()));  // nothing past them
      own(f->extents);
      uint64_t listed = 0;
      for (const auto& e : f->extents) listed += e.blockCount;
      ASSERT_EQ(listed, f->fork->totalBlocks);
      std::unique_ptr<catalog_record_t> stored = ok_value(volume_get_record_by_id(t.v(), files[i].id));
      ASSERT_EQ(stored->file.dataFork.totalBlocks, f->fork->totalBlocks);
      ASSERT_EQ(stored->file.dataFork.logicalSize, f->fork->logicalSize);
    }
    own(t.v()->extents_tree.io ? static_cast<hfsfile_t&>(*btree_tree_file(&t.v()->extents_tree)).extents
                               : std::vector<HFSPlusExtentDescriptor>());
    own(static_cast<hfsfile_t&>(*btree_tree_file(&t.v()->catalog_tree)).extents);
    ASSERT_EQ(used_blocks(t.v()), t.v()->header.totalBlocks - t.v()->header.freeBlocks);
  };

  for (int step = 0; step < 300; ++step) {
    int i = static_cast<int>(rng() % kFiles);
    hfsfile_t* f = files[i].fork.get();
    uint64_t size = rng() % (24 * 512);
    if (rng() % 3 == 0) {
      ASSERT_TRUE(hfsfile_allocate(f, size));
      model[i].resize(size, 0);
    } else {
      uint64_t offset = rng() % (size + 1);
      uint64_t count = size - offset;
      std::vector<uint8_t> data(count);
      for (auto& b : data) b = static_cast<uint8_t>(rng());
      ASSERT_TRUE(hfsfile_write(f, offset, count, data.data()));
      if (model[i].size() < offset + count) model[i].resize(offset + count, 0);
      std::copy(data.begin(), data.end(), model[i].begin() + static_cast<std::ptrdiff_t>(offset));
    }
    check(step);
    if (HasFatalFailure()) return;
  }

  // Everything is on disk: a reopened volume reads the same files.
  files.clear();
  t.reopen();
  ASSERT_NE(t.v(), nullptr);
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(read_file(t.v(), "/file" + std::to_string(i)), model[i]) << i;
}

}  // namespace
}  // namespace test
}  // namespace volpack
