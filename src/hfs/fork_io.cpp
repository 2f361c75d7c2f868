// Forks: the extent map, reads and writes through it, and block allocation.
#include <algorithm>
#include <cstring>

#include "hfs/catalog.h"
#include "hfs/volume.h"
#include "io/die.h"

namespace volpack {

namespace {

constexpr uint8_t kDataFork = 0x00;
constexpr size_t kExtentsPerRecord = 8;

extent_key_t overflow_key(CatalogNodeID file_id, uint32_t start_block) {
  extent_key_t key;
  key.keyLength = kHFSPlusExtentKeyMaxLength;
  key.forkType = kDataFork;
  key.pad = 0;
  key.fileID = file_id;
  key.startBlock = start_block;
  return key;
}

bool tree_is_open(const btree_t& tree) { return tree.io != nullptr; }

// What a failed walk of the recorded extents reports.
enum class walk_error { kNone, kNoExtentsTree, kInconsistent };

// Walks the extents the fork data record, then their overflow records, for
// the fork's totalBlocks. `visit` sees each extent; `on_record` each overflow
// record's key once it has been read (it may remove the record).
template <class Visit, class OnRecord>
walk_error walk_recorded_extents(volume_t* volume, CatalogNodeID file_id, const HFSPlusForkData& fork,
                                 Visit visit, OnRecord on_record) {
  HFSPlusExtentRecord current = fork.extents;
  uint64_t blocks_left = fork.totalBlocks;
  uint32_t blocks_so_far = 0;
  size_t index = 0;
  while (blocks_left != 0) {
    if (index == kExtentsPerRecord) {
      if (!tree_is_open(volume->extents_tree)) return walk_error::kNoExtentsTree;
      extent_key_t key = overflow_key(file_id, blocks_so_far);
      bool exact = false;
      result<std::unique_ptr<btree_record_t>> searched =
          btree_search(&volume->extents_tree, key, &exact, nullptr, nullptr);
      if (!searched) die("%s", searched.error().message().c_str());
      std::unique_ptr<btree_record_t> found = searched.take();
      if (found == nullptr || !exact) return walk_error::kInconsistent;
      current = static_cast<extent_record_t&>(*found).extents;
      on_record(key);
      index = 0;
    }
    const HFSPlusExtentDescriptor& d = current[index];
    // An empty descriptor, or one reaching past the fork's block count, would
    // make the walk loop or run wild.
    if (d.blockCount == 0 || d.blockCount > blocks_left) return walk_error::kInconsistent;
    visit(d);
    blocks_so_far += d.blockCount;
    blocks_left -= d.blockCount;
    ++index;
  }
  return walk_error::kNone;
}

enum class transfer_result { kDone, kOutOfRange, kDeviceError };

// Moves `count` bytes at a fork offset, split at extent boundaries: into
// `in` when reading, from `out` when writing.
transfer_result transfer(hfsfile_t* file, uint64_t offset, uint64_t count, uint8_t* in, const uint8_t* out) {
  if (count == 0) return transfer_result::kDone;
  const uint64_t block_size = file->volume->header.blockSize;
  size_t i = 0;
  uint64_t before = 0;
  for (; i < file->extents.size(); ++i) {
    uint64_t bytes = static_cast<uint64_t>(file->extents[i].blockCount) * block_size;
    if (before + bytes > offset) break;
    before += bytes;
  }
  uint64_t within = offset - before;
  while (count != 0) {
    if (i >= file->extents.size()) return transfer_result::kOutOfRange;
    const HFSPlusExtentDescriptor& e = file->extents[i];
    uint64_t n = std::min(static_cast<uint64_t>(e.blockCount) * block_size - within, count);
    uint64_t device_offset = static_cast<uint64_t>(e.startBlock) * block_size + within;
    bool ok = out != nullptr ? io_write(file->volume->device, device_offset, n, out)
                             : io_read(file->volume->device, device_offset, n, in);
    if (!ok) return transfer_result::kDeviceError;
    if (out != nullptr) {
      out += n;
    } else {
      in += n;
    }
    count -= n;
    ++i;
    within = 0;
  }
  return transfer_result::kDone;
}

bool block_in_use_or_die(volume_t* volume, uint64_t block) {
  uint8_t byte = 0;
  if (!hfsfile_read(volume->allocation_file.get(), block / 8, 1, &byte)) {
    die("hfsfile_allocate_or_die():%d: io_read error\n", __LINE__);
  }
  return (byte & (0x80 >> (block % 8))) != 0;
}

uint32_t allocation_hint(const HFSPlusVolumeHeader& h) {
  return h.nextAllocation < h.totalBlocks ? h.nextAllocation : 0;
}

// Takes `needed` free blocks for the fork, continuing its last extent where
// the block after it is free.
void grow_or_die(hfsfile_t* file, uint64_t needed) {
  volume_t* volume = file->volume;
  HFSPlusVolumeHeader& h = volume->header;
  if (needed > h.freeBlocks) die("hfsfile_allocate_or_die():%d: ERROR: out of free blocks\n", __LINE__);
  const uint64_t block_size = h.blockSize;
  // New blocks are cleared from a block of zeros made once; only blocks
  // larger than 64 KiB need a buffer of their own.
  static const uint8_t kZeroBlock[65536] = {};
  std::vector<uint8_t> own_zeros;
  if (block_size > sizeof kZeroBlock) own_zeros = malloc_or_die(block_size, "hfsfile_allocate_or_die", __LINE__);
  const uint8_t* zeros = own_zeros.empty() ? kZeroBlock : own_zeros.data();
  std::vector<HFSPlusExtentDescriptor>& list = file->extents;

  uint64_t candidate;
  if (!list.empty()) {
    candidate = static_cast<uint64_t>(list.back().startBlock) + list.back().blockCount;
  } else {
    list.push_back(HFSPlusExtentDescriptor());
    candidate = allocation_hint(h);
  }
  bool begin_new_extent = false;
  if (candidate >= h.totalBlocks) {
    candidate = allocation_hint(h);
    begin_new_extent = true;
  }
  // The scan restarts at the hint after each block in use, and the hint walks
  // the whole volume; more misses than blocks mean the bitmap is full even
  // though freeBlocks says otherwise.
  uint64_t misses = 0;
  while (needed != 0) {
    if (block_in_use_or_die(volume, candidate)) {
      if (++misses > 2 * static_cast<uint64_t>(h.totalBlocks) + 2) {
        die("hfsfile_allocate_or_die():%d: ERROR: out of free blocks\n", __LINE__);
      }
      if (list.back().blockCount != 0) list.push_back(HFSPlusExtentDescriptor());
      begin_new_extent = false;
      candidate = allocation_hint(h);
      h.nextAllocation = candidate + 1 >= h.totalBlocks ? 0 : static_cast<uint32_t>(candidate + 1);
      continue;
    }
    misses = 0;
    if (begin_new_extent && list.back().blockCount != 0) list.push_back(HFSPlusExtentDescriptor());
    begin_new_extent = false;
    HFSPlusExtentDescriptor& current = list.back();
    if (current.blockCount == 0) current.startBlock = static_cast<BlockNumber>(candidate);
    if (!io_write(volume->device, candidate * block_size, block_size, zeros)) {
      die("hfsfile_allocate_or_die():%d: io_write error\n", __LINE__);
    }
    volume_mark_block_usage_or_die(volume, candidate, true);
    --h.freeBlocks;
    --needed;
    ++current.blockCount;
    ++candidate;
    if (candidate >= h.totalBlocks) {
      candidate = allocation_hint(h);
      begin_new_extent = true;
    }
  }
}

// Keeps the first `target` blocks of the fork and frees the rest.
void shrink_or_die(hfsfile_t* file, uint32_t target) {
  volume_t* volume = file->volume;
  std::vector<HFSPlusExtentDescriptor>& list = file->extents;
  uint32_t remaining = target;
  size_t i = 0;
  while (i < list.size() && remaining != 0 && remaining > list[i].blockCount) {
    remaining -= list[i].blockCount;
    ++i;
  }
  size_t keep = remaining != 0 ? i + 1 : i;
  for (size_t j = i; j < list.size(); ++j) {
    uint32_t from = j == i ? remaining : 0;
    for (uint64_t b = static_cast<uint64_t>(list[j].startBlock) + from;
         b < static_cast<uint64_t>(list[j].startBlock) + list[j].blockCount; ++b) {
      volume_mark_block_usage_or_die(volume, b, false);
      ++volume->header.freeBlocks;
    }
  }
  if (remaining != 0 && i < list.size()) list[i].blockCount = remaining;
  list.resize(std::min(keep, list.size()));
}

// Writes the extent list into the fork data and the overflow tree.
void record_extents_or_die(hfsfile_t* file) {
  volume_t* volume = file->volume;
  btree_t* tree = &volume->extents_tree;
  walk_error e = walk_recorded_extents(
      volume, file->file_id, *file->fork, [](const HFSPlusExtentDescriptor&) {},
      [tree](const extent_key_t& key) { btree_remove_or_die(tree, key); });
  if (e == walk_error::kNoExtentsTree) die("hfsfile_allocate_or_die(): ERROR: no extents overflow file loaded yet!\n");
  if (e == walk_error::kInconsistent) die("hfsfile_allocate_or_die(): ERROR: inconsistent extents information!\n");

  const std::vector<HFSPlusExtentDescriptor>& list = file->extents;
  file->fork->extents = HFSPlusExtentRecord();
  std::copy(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(std::min(list.size(), kExtentsPerRecord)),
            file->fork->extents.begin());
  if (list.size() <= kExtentsPerRecord) return;
  // The overflow tree cannot record its own file's extents: finding them
  // would need the tree they describe.
  if (file->file_id == kHFSExtentsFileID) {
    die("hfsfile_allocate_or_die():%d: ERROR: the extents overflow file cannot take more than eight extents\n",
        __LINE__);
  }
  if (!tree_is_open(*tree)) die("hfsfile_allocate_or_die(): ERROR: no extents overflow file loaded yet!\n");
  uint32_t blocks_before = 0;
  for (size_t i = 0; i < kExtentsPerRecord; ++i) blocks_before += list[i].blockCount;
  for (size_t first = kExtentsPerRecord; first < list.size(); first += kExtentsPerRecord) {
    HFSPlusExtentRecord record{};
    size_t n = std::min(kExtentsPerRecord, list.size() - first);
    std::copy(list.begin() + static_cast<std::ptrdiff_t>(first),
              list.begin() + static_cast<std::ptrdiff_t>(first + n), record.begin());
    uint8_t data[kHFSPlusExtentRecordSize];
    encode(record, data);
    btree_add_or_die(tree, overflow_key(file->file_id, blocks_before), sizeof data, data);
    for (size_t k = 0; k < n; ++k) blocks_before += record[k].blockCount;
  }
}

}  // namespace

std::unique_ptr<hfsfile_t> volume_open_hfsfile(volume_t* volume, CatalogNodeID file_id, HFSPlusForkData* fork,
                                               catalog_record_t* record) {
  std::unique_ptr<hfsfile_t> file = new_or_die<hfsfile_t>("volume_open_hfsfile", __LINE__, volume, file_id, fork,
                                                          record);
  walk_error e = walk_recorded_extents(
      volume, file_id, *fork, [&file](const HFSPlusExtentDescriptor& d) { file->extents.push_back(d); },
      [](const extent_key_t&) {});
  if (e == walk_error::kNoExtentsTree) {
    die("volume_open_hfsfile():%d: ERROR: no extents overflow file loaded yet!\n", __LINE__);
  }
  if (e == walk_error::kInconsistent) {
    die("volume_open_hfsfile():%d: ERROR: inconsistent extents information!\n", __LINE__);
  }
  return file;
}

bool hfsfile_read(hfsfile_t* file, uint64_t offset, uint64_t count, void* buf) {
  transfer_result r = transfer(file, offset, count, static_cast<uint8_t*>(buf), nullptr);
  if (r == transfer_result::kDeviceError) die("hfsfile_read():%d: io_read error\n", __LINE__);
  return r == transfer_result::kDone;
}

bool hfsfile_write(hfsfile_t* file, uint64_t offset, uint64_t count, const void* buf) {
  if (count == 0) return true;
  if (file->fork->logicalSize < offset + count) hfsfile_allocate_or_die(file, offset + count);
  transfer_result r = transfer(file, offset, count, nullptr, static_cast<const uint8_t*>(buf));
  if (r == transfer_result::kDeviceError) die("hfsfile_write():%d: io_write error\n", __LINE__);
  return r == transfer_result::kDone;
}

bool hfsfile_close(std::unique_ptr<hfsfile_t> file) {
  return file == nullptr || file->close();
}

void volume_mark_block_usage_or_die(volume_t* volume, uint64_t block, bool in_use) {
  uint8_t byte = 0;
  if (!hfsfile_read(volume->allocation_file.get(), block / 8, 1, &byte)) {
    die("volume_mark_block_usage_or_die():%d: io_read error\n", __LINE__);
  }
  uint8_t mask = static_cast<uint8_t>(0x80 >> (block % 8));
  byte = in_use ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
  if (!hfsfile_write(volume->allocation_file.get(), block / 8, 1, &byte)) {
    die("volume_mark_block_usage_or_die():%d: io_write error\n", __LINE__);
  }
}

void hfsfile_allocate_or_die(hfsfile_t* file, uint64_t new_size) {
  volume_t* volume = file->volume;
  const uint64_t block_size = volume->header.blockSize;
  uint64_t target = new_size / block_size + (new_size % block_size != 0 ? 1 : 0);
  if (target > volume->header.totalBlocks) die("hfsfile_allocate_or_die():%d: ERROR: out of free blocks\n", __LINE__);
  // Bytes past the logical size in the last block may be left from a larger
  // size; the grown part must read as zeros like newly allocated blocks.
  const uint64_t allocated = static_cast<uint64_t>(file->fork->totalBlocks) * block_size;
  if (new_size > file->fork->logicalSize && file->fork->logicalSize < allocated) {
    uint64_t count = std::min(new_size, allocated) - file->fork->logicalSize;
    std::vector<uint8_t> zeros = malloc_or_die(count, "hfsfile_allocate_or_die", __LINE__);
    if (transfer(file, file->fork->logicalSize, count, nullptr, zeros.data()) != transfer_result::kDone) {
      die("hfsfile_allocate_or_die():%d: io_write error\n", __LINE__);
    }
  }
  if (target > file->fork->totalBlocks) {
    grow_or_die(file, target - file->fork->totalBlocks);
  } else if (target < file->fork->totalBlocks) {
    shrink_or_die(file, static_cast<uint32_t>(target));
  }
  record_extents_or_die(file);
  file->fork->logicalSize = new_size;
  file->fork->totalBlocks = static_cast<uint32_t>(target);
  if (!volume_update(volume)) die("hfsfile_allocate_or_die(): ERROR: volume_update failed\n");
  if (file->record != nullptr) volume_update_catalog(volume, *file->record);
}

bool hfsfile_t::read(uint64_t offset, uint64_t count, void* buf) { return hfsfile_read(this, offset, count, buf); }

bool hfsfile_t::write(uint64_t offset, uint64_t count, const void* buf) {
  return hfsfile_write(this, offset, count, buf);
}

status hfsfile_t::fork_allocate(uint64_t new_size) {
  hfsfile_allocate_or_die(this, new_size);
  return status::ok();
}

}  // namespace volpack
