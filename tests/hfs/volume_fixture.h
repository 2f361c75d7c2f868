// A small HFS+ volume built in memory for the catalog, volume and fork tests:
// the geometry is chosen by the test (block size, node size, where the used
// run of blocks ends, the allocation hint), so that allocation scenarios and
// node splits can be set up exactly. The trees start empty; `open()` adds the
// root folder and its thread through the B-tree engine.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "hfs/catalog.h"
#include "hfs/hfs_format.h"
#include "hfs/volume.h"
#include "io/bytes.h"
#include "support/btree_check.h"
#include "support/support.h"

namespace volpack {

inline bool operator==(const HFSPlusExtentDescriptor& a, const HFSPlusExtentDescriptor& b) {
  return a.startBlock == b.startBlock && a.blockCount == b.blockCount;
}
inline std::ostream& operator<<(std::ostream& os, const HFSPlusExtentDescriptor& e) {
  return os << "(" << e.startBlock << "," << e.blockCount << ")";
}

namespace test {

struct volume_geometry {
  uint32_t block_size = 4096;
  uint32_t total_blocks = 256;
  uint16_t extents_node_size = 4096;
  uint16_t catalog_node_size = 4096;  // a catalog record with its key needs more than 512
  uint32_t extents_blocks = 4;  // the extents file's first clump
  uint32_t catalog_blocks = 4;  // the catalog file's first clump
  uint32_t next_allocation = 0;  // 0: the block after the catalog file
  uint8_t key_compare_type = kHFSCaseFolding;
  uint32_t extra_device_bytes = 0;  // device bytes past the last block
};

// 512-byte blocks and extents nodes: many nodes and extents from little data.
inline volume_geometry small_blocks(uint32_t total_blocks) {
  volume_geometry g;
  g.block_size = 512;
  g.total_blocks = total_blocks;
  g.extents_node_size = 512;
  g.catalog_blocks = 16;
  return g;
}

inline void set_bit(std::vector<uint8_t>* image, uint64_t bitmap_offset, uint64_t n) {
  (*image)[bitmap_offset + n / 8] |= static_cast<uint8_t>(0x80 >> (n % 8));
}

inline void write_empty_tree(std::vector<uint8_t>* image, uint64_t start, uint32_t bytes, uint16_t node_size,
                             uint16_t max_key_length, uint32_t attributes, uint8_t compare_type) {
  uint8_t* node = image->data() + start;
  BTNodeDescriptor d;
  d.kind = kBTHeaderNode;
  d.numRecords = 3;
  encode(d, node);
  BTHeaderRec h;
  h.nodeSize = node_size;
  h.maxKeyLength = max_key_length;
  h.totalNodes = bytes / node_size;
  h.freeNodes = h.totalNodes - 1;
  h.clumpSize = bytes;
  h.keyCompareType = compare_type;
  h.attributes = attributes;
  encode(h, node + 14);
  node[248] = 0x80;  // node 0 in use
  put_be16(node + node_size - 2, 14);
  put_be16(node + node_size - 4, 120);
  put_be16(node + node_size - 6, 248);
  put_be16(node + node_size - 8, static_cast<uint16_t>(node_size - 8));
}

// The raw bytes of an empty volume (no root folder yet).
inline std::vector<uint8_t> make_volume_image(const volume_geometry& g) {
  std::vector<uint8_t> image(static_cast<size_t>(g.total_blocks) * g.block_size + g.extra_device_bytes);
  const uint32_t bitmap_start = g.block_size >= 2048 ? 1 : (g.block_size == 1024 ? 2 : 3);
  const uint32_t bitmap_bytes = (g.total_blocks + 7) / 8;
  const uint32_t bitmap_blocks = (bitmap_bytes + g.block_size - 1) / g.block_size;
  const uint32_t extents_start = bitmap_start + bitmap_blocks;
  const uint32_t catalog_start = extents_start + g.extents_blocks;
  const uint32_t used_end = catalog_start + g.catalog_blocks;

  HFSPlusVolumeHeader h;
  h.signature = kHFSPlusSigWord;
  h.version = kHFSPlusVersion;
  h.attributes = kHFSVolumeUnmountedMask;
  h.lastMountedVersion = fourcc("10.0");
  h.blockSize = g.block_size;
  h.totalBlocks = g.total_blocks;
  h.nextAllocation = g.next_allocation != 0 ? g.next_allocation : used_end;
  h.rsrcClumpSize = h.dataClumpSize = g.block_size;
  h.nextCatalogID = kHFSFirstUserCatalogNodeID;
  h.encodingsBitmap = 1;
  for (size_t i = 0; i < h.finderInfo.size(); ++i) h.finderInfo[i] = static_cast<uint8_t>(0xA0 + i);
  auto fork = [&](HFSPlusForkData* f, uint32_t start, uint32_t blocks, uint64_t size) {
    f->logicalSize = size;
    f->clumpSize = blocks * g.block_size;
    f->totalBlocks = blocks;
    f->extents[0] = {start, blocks};
  };
  fork(&h.allocationFile, bitmap_start, bitmap_blocks, static_cast<uint64_t>(bitmap_blocks) * g.block_size);
  fork(&h.extentsFile, extents_start, g.extents_blocks, static_cast<uint64_t>(g.extents_blocks) * g.block_size);
  fork(&h.catalogFile, catalog_start, g.catalog_blocks, static_cast<uint64_t>(g.catalog_blocks) * g.block_size);

  const uint64_t bitmap_offset = static_cast<uint64_t>(bitmap_start) * g.block_size;
  uint32_t used = 0;
  for (uint32_t b = 0; b < used_end; ++b, ++used) set_bit(&image, bitmap_offset, b);
  set_bit(&image, bitmap_offset, g.total_blocks - 1);
  ++used;
  h.freeBlocks = g.total_blocks - used;

  write_empty_tree(&image, static_cast<uint64_t>(extents_start) * g.block_size, g.extents_blocks * g.block_size,
                   g.extents_node_size, kHFSPlusExtentKeyMaxLength, kBTBigKeysMask, 0);
  write_empty_tree(&image, static_cast<uint64_t>(catalog_start) * g.block_size, g.catalog_blocks * g.block_size,
                   g.catalog_node_size, kHFSPlusCatalogKeyMaxLength, kBTBigKeysMask | kBTVariableIndexKeysMask,
                   g.key_compare_type);

  encode(h, image.data() + kVolumeHeaderOffset);
  encode(h, image.data() + static_cast<uint64_t>(g.total_blocks) * g.block_size - 1024);
  return image;
}

// Inserts a record and its thread straight into the catalog tree, for the
// root folder and for names no host path can carry.
inline void add_raw(volume_t* v, CatalogNodeID parent, const HFSUniStr255& name, const catalog_record_t& record) {
  catalog_key_t key;
  catalog_make_key(&key, parent, name);
  std::vector<uint8_t> bytes = ok_value(catalog_encode_record(record));
  EXPECT_EQ(message_of(btree_add(&v->catalog_tree, key, static_cast<uint16_t>(bytes.size()), bytes.data())), "");
  catalog_record_t thread;
  thread.recordType = thread.thread.recordType =
      record.is_folder() ? kHFSPlusFolderThreadRecord : kHFSPlusFileThreadRecord;
  thread.thread.parentID = parent;
  thread.thread.nodeName = name;
  catalog_make_key(&key, record.id(), HFSUniStr255());
  bytes = ok_value(catalog_encode_record(thread));
  EXPECT_EQ(message_of(btree_add(&v->catalog_tree, key, static_cast<uint16_t>(bytes.size()), bytes.data())), "");
}

// Adds the root folder (ID 2, named `name`) and its thread to an open volume.
inline void add_root_folder(volume_t* v, const char* name) {
  HFSUniStr255 n;
  ASSERT_TRUE(unistr_printf(&n, "%s", name));
  catalog_record_t root;
  root.recordType = kHFSPlusFolderRecord;
  root.folder.flags = kHFSHasFolderCountMask;
  root.folder.folderID = kHFSRootFolderID;
  root.folder.permissions.fileMode = 040755;
  add_raw(v, kHFSRootParentID, n, root);
}

// An image, the device over it and the open volume.
class TestVolume {
 public:
  explicit TestVolume(const volume_geometry& g = volume_geometry(), bool with_root = true)
      : image(make_volume_image(g)), device(&image, false) {
    volume = ok_value(volume_open(&device));
    if (volume != nullptr && with_root) add_root_folder(volume.get(), "Test");
  }
  ~TestVolume() { close(); }
  void close() {
    if (volume != nullptr) volume_close(std::move(volume));
  }
  void reopen() {
    close();
    volume = ok_value(volume_open(&device));
  }
  volume_t* v() { return volume.get(); }

  std::vector<uint8_t> image;
  MemIo device;
  std::unique_ptr<volume_t> volume;
};

inline bool block_used(volume_t* v, uint64_t b) {
  uint8_t byte = 0;
  EXPECT_TRUE(hfsfile_read(v->allocation_file.get(), b / 8, 1, &byte));
  return (byte & (0x80 >> (b % 8))) != 0;
}

// Bits set in the allocation file.
inline uint64_t used_blocks(volume_t* v) {
  uint64_t n = 0;
  for (uint64_t b = 0; b < v->header.totalBlocks; ++b) n += block_used(v, b);
  return n;
}

// Both trees pass the structural check.
inline void expect_sound_trees(volume_t* v) {
  for (btree_t* tree : {&v->catalog_tree, &v->extents_tree}) {
    std::vector<std::string> problems = btree_check(tree);
    EXPECT_TRUE(problems.empty()) << btree_check_text(problems);
  }
}

inline std::vector<uint8_t> random_bytes(uint32_t seed, size_t size) {
  std::vector<uint8_t> d(size);
  std::mt19937 rng(seed);
  for (auto& b : d) b = static_cast<uint8_t>(rng());
  return d;
}

// The data fork of the file or link at `path` (links not followed), read
// through a fresh open of the fork.
inline std::vector<uint8_t> read_file(volume_t* v, const std::string& path) {
  std::unique_ptr<catalog_record_t> r = ok_value(
      volume_get_record_from_path_with_options(v, path.c_str(), true, false, kHFSRootFolderID, nullptr, nullptr));
  EXPECT_NE(r, nullptr) << path;
  if (r == nullptr) return {};
  std::unique_ptr<hfsfile_t> f = ok_value(volume_open_hfsfile(v, r->file.fileID, &r->file.dataFork, r.get()));
  std::vector<uint8_t> back(r->file.dataFork.logicalSize);
  EXPECT_TRUE(hfsfile_read(f.get(), 0, back.size(), back.data())) << path;
  return back;
}

// A new file and its open data fork.
struct test_file {
  CatalogNodeID id = 0;
  std::unique_ptr<catalog_record_t> record;
  std::unique_ptr<hfsfile_t> fork;
};
inline test_file create_file(volume_t* v, const std::string& path) {
  test_file f;
  f.id = ok_value(volume_create_file(v, path.c_str()));
  EXPECT_NE(f.id, 0u) << path;
  f.record = ok_value(volume_get_record_by_id(v, f.id));
  EXPECT_NE(f.record, nullptr) << path;
  if (f.record != nullptr) f.fork = ok_value(volume_open_hfsfile(v, f.id, &f.record->file.dataFork, f.record.get()));
  return f;
}

inline std::vector<HFSPlusExtentDescriptor> extents_of(const hfsfile_t& f) { return f.extents; }

inline std::vector<uint32_t> extent_sizes(const hfsfile_t& f) {
  std::vector<uint32_t> sizes;
  for (const HFSPlusExtentDescriptor& e : f.extents) sizes.push_back(e.blockCount);
  return sizes;
}

}  // namespace test
}  // namespace volpack
