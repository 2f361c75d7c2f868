// Forks: the extent map, reads and writes through it, and block allocation.
#include <algorithm>
#include <cstring>
#include <new>

#include "hfs/catalog.h"
#include "hfs/hfs_status.h"
#include "hfs/message_numbers.h"
#include "hfs/volume.h"

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

// What a walk of the recorded extents found wrong in the map.
enum class walk_error { kNone, kNoExtentsTree, kInconsistent };

// Walks the extents the fork data record, then their overflow records, for
// the fork's totalBlocks. `visit` sees each extent; `on_record` each overflow
// record's key once it has been read (it may remove the record, and gives a
// status). A map that cannot be walked sets *error; a failed search or
// `on_record` is the walk's failed status.
template <class Visit, class OnRecord>
status walk_recorded_extents(volume_t* volume, CatalogNodeID file_id, const HFSPlusForkData& fork, Visit visit,
                             OnRecord on_record, walk_error* error) {
  *error = walk_error::kNone;
  HFSPlusExtentRecord current = fork.extents;
  uint64_t blocks_left = fork.totalBlocks;
  uint32_t blocks_so_far = 0;
  size_t index = 0;
  while (blocks_left != 0) {
    if (index == kExtentsPerRecord) {
      if (!tree_is_open(volume->extents_tree)) {
        *error = walk_error::kNoExtentsTree;
        return status::ok();
      }
      extent_key_t key = overflow_key(file_id, blocks_so_far);
      bool exact = false;
      std::unique_ptr<btree_record_t> found;
      VOLPACK_ASSIGN_OR_RETURN(
          found, volume_tree_result(volume, btree_search(&volume->extents_tree, key, &exact, nullptr, nullptr)));
      if (found == nullptr || !exact) {
        *error = walk_error::kInconsistent;
        return status::ok();
      }
      current = static_cast<extent_record_t&>(*found).extents;
      VOLPACK_RETURN_IF_ERROR(on_record(key));
      index = 0;
    }
    const HFSPlusExtentDescriptor& d = current[index];
    // An empty descriptor, or one reaching past the fork's block count, would
    // make the walk loop or run wild.
    if (d.blockCount == 0 || d.blockCount > blocks_left) {
      *error = walk_error::kInconsistent;
      return status::ok();
    }
    visit(d);
    blocks_so_far += d.blockCount;
    blocks_left -= d.blockCount;
    ++index;
  }
  return status::ok();
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

// The range of a transfer that could not be mapped, in the caller's words.
status range_error(const char* func, int number, bool writing) {
  return status_errorf("%s():%d: %s error\n", func, number, writing ? "io_write" : "io_read");
}

// A transfer through the extent map: a failed device transfer is the fork's
// own failure, a range past the allocated blocks the caller's.
status transfer_status(transfer_result r, const char* func, int number, bool writing) {
  if (r == transfer_result::kDone) return status::ok();
  if (r == transfer_result::kDeviceError) {
    return writing ? status_errorf("hfsfile_write():%d: io_write error\n", msgno::kForkWrite)
                   : status_errorf("hfsfile_read():%d: io_read error\n", msgno::kForkRead);
  }
  return range_error(func, number, writing);
}

result<bool> block_in_use(volume_t* volume, uint64_t block) {
  uint8_t byte = 0;
  VOLPACK_RETURN_IF_ERROR(hfsfile_read(volume->allocation_file.get(), block / 8, 1, &byte, "hfsfile_allocate_or_die",
                                       msgno::kAllocReadBitmap));
  return (byte & (0x80 >> (block % 8))) != 0;
}

uint32_t allocation_hint(const HFSPlusVolumeHeader& h) {
  return h.nextAllocation < h.totalBlocks ? h.nextAllocation : 0;
}

status out_of_free_blocks(int number) {
  return status_errorf("hfsfile_allocate_or_die():%d: ERROR: out of free blocks\n", number);
}

// Takes `needed` free blocks for the fork, continuing its last extent where
// the block after it is free.
status grow(hfsfile_t* file, uint64_t needed) {
  volume_t* volume = file->volume;
  HFSPlusVolumeHeader& h = volume->header;
  if (needed > h.freeBlocks) return out_of_free_blocks(msgno::kAllocNoFreeBlocks);
  const uint64_t block_size = h.blockSize;
  // New blocks are cleared from a block of zeros made once; only blocks
  // larger than 64 KiB need a buffer of their own.
  static const uint8_t kZeroBlock[65536] = {};
  std::vector<uint8_t> own_zeros;
  if (block_size > sizeof kZeroBlock)
    VOLPACK_RETURN_IF_ERROR(
        hfs_buffer(&own_zeros, block_size, "hfsfile_allocate_or_die", msgno::kAllocZeroBlockBuffer));
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
    bool in_use;
    VOLPACK_ASSIGN_OR_RETURN(in_use, block_in_use(volume, candidate));
    if (in_use) {
      if (++misses > 2 * static_cast<uint64_t>(h.totalBlocks) + 2) return out_of_free_blocks(msgno::kAllocBitmapFull);
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
    if (!io_write(volume->device, candidate * block_size, block_size, zeros))
      return status_errorf("hfsfile_allocate_or_die():%d: io_write error\n", msgno::kAllocWriteZeroBlock);
    VOLPACK_RETURN_IF_ERROR(volume_mark_block_usage(volume, candidate, true));
    --h.freeBlocks;
    --needed;
    ++current.blockCount;
    ++candidate;
    if (candidate >= h.totalBlocks) {
      candidate = allocation_hint(h);
      begin_new_extent = true;
    }
  }
  return status::ok();
}

// Keeps the first `target` blocks of the fork and frees the rest.
status shrink(hfsfile_t* file, uint32_t target) {
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
      VOLPACK_RETURN_IF_ERROR(volume_mark_block_usage(volume, b, false));
      ++volume->header.freeBlocks;
    }
  }
  if (remaining != 0 && i < list.size()) list[i].blockCount = remaining;
  list.resize(std::min(keep, list.size()));
  return status::ok();
}

status no_extents_tree() {
  return status_errorf("hfsfile_allocate_or_die(): ERROR: no extents overflow file loaded yet!\n");
}

// Writes the extent list into the fork data and the overflow tree.
status record_extents(hfsfile_t* file) {
  volume_t* volume = file->volume;
  btree_t* tree = &volume->extents_tree;
  walk_error e;
  VOLPACK_RETURN_IF_ERROR(walk_recorded_extents(
      volume, file->file_id, *file->fork, [](const HFSPlusExtentDescriptor&) {},
      [volume, tree](const extent_key_t& key) { return volume_tree_status(volume, btree_remove(tree, key)); }, &e));
  if (e == walk_error::kNoExtentsTree) return no_extents_tree();
  if (e == walk_error::kInconsistent)
    return status_errorf("hfsfile_allocate_or_die(): ERROR: inconsistent extents information!\n");

  const std::vector<HFSPlusExtentDescriptor>& list = file->extents;
  file->fork->extents = HFSPlusExtentRecord();
  std::copy(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(std::min(list.size(), kExtentsPerRecord)),
            file->fork->extents.begin());
  if (list.size() <= kExtentsPerRecord) return status::ok();
  // The overflow tree cannot record its own file's extents: finding them
  // would need the tree they describe.
  if (file->file_id == kHFSExtentsFileID) {
    return status_errorf(
        "hfsfile_allocate_or_die():%d: ERROR: the extents overflow file cannot take more than eight extents\n",
        msgno::kAllocOverflowOfOverflow);
  }
  if (!tree_is_open(*tree)) return no_extents_tree();
  uint32_t blocks_before = 0;
  for (size_t i = 0; i < kExtentsPerRecord; ++i) blocks_before += list[i].blockCount;
  for (size_t first = kExtentsPerRecord; first < list.size(); first += kExtentsPerRecord) {
    HFSPlusExtentRecord record{};
    size_t n = std::min(kExtentsPerRecord, list.size() - first);
    std::copy(list.begin() + static_cast<std::ptrdiff_t>(first),
              list.begin() + static_cast<std::ptrdiff_t>(first + n), record.begin());
    uint8_t data[kHFSPlusExtentRecordSize];
    encode(record, data);
    VOLPACK_RETURN_IF_ERROR(
        volume_tree_status(volume, btree_add(tree, overflow_key(file->file_id, blocks_before), sizeof data, data)));
    for (size_t k = 0; k < n; ++k) blocks_before += record[k].blockCount;
  }
  return status::ok();
}

}  // namespace

status volume_tree_status(volume_t* volume, status engine) {
  if (volume->fork_failure.is_ok()) return engine;
  status fork = std::move(volume->fork_failure);
  volume->fork_failure = status::ok();
  return fork;
}

result<std::unique_ptr<hfsfile_t>> volume_open_hfsfile(volume_t* volume, CatalogNodeID file_id, HFSPlusForkData* fork,
                                                       catalog_record_t* record) {
  std::unique_ptr<hfsfile_t> file(new (std::nothrow) hfsfile_t(volume, file_id, fork, record));
  if (file == nullptr)
    return status_errorf("volume_open_hfsfile():%d: malloc error (out of memory)\n", msgno::kOpenForkAlloc);
  walk_error e;
  VOLPACK_RETURN_IF_ERROR(walk_recorded_extents(
      volume, file_id, *fork, [&file](const HFSPlusExtentDescriptor& d) { file->extents.push_back(d); },
      [](const extent_key_t&) { return status::ok(); }, &e));
  if (e == walk_error::kNoExtentsTree) {
    return status_errorf("volume_open_hfsfile():%d: ERROR: no extents overflow file loaded yet!\n",
                         msgno::kOpenForkNoExtentsTree);
  }
  if (e == walk_error::kInconsistent) {
    return status_errorf("volume_open_hfsfile():%d: ERROR: inconsistent extents information!\n",
                         msgno::kOpenForkInconsistent);
  }
  return file;
}

status hfsfile_read(hfsfile_t* file, uint64_t offset, uint64_t count, void* buf, const char* func, int number) {
  return transfer_status(transfer(file, offset, count, static_cast<uint8_t*>(buf), nullptr), func, number, false);
}

status hfsfile_write(hfsfile_t* file, uint64_t offset, uint64_t count, const void* buf, const char* func, int number) {
  if (count == 0) return status::ok();
  if (file->fork->logicalSize < offset + count) VOLPACK_RETURN_IF_ERROR(hfsfile_allocate(file, offset + count));
  return transfer_status(transfer(file, offset, count, nullptr, static_cast<const uint8_t*>(buf)), func, number, true);
}

bool hfsfile_close(std::unique_ptr<hfsfile_t> file) {
  return file == nullptr || file->close();
}

status volume_mark_block_usage(volume_t* volume, uint64_t block, bool in_use) {
  const char* const func = "volume_mark_block_usage_or_die";
  uint8_t byte = 0;
  VOLPACK_RETURN_IF_ERROR(
      hfsfile_read(volume->allocation_file.get(), block / 8, 1, &byte, func, msgno::kMarkBlockRead));
  uint8_t mask = static_cast<uint8_t>(0x80 >> (block % 8));
  byte = in_use ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
  return hfsfile_write(volume->allocation_file.get(), block / 8, 1, &byte, func, msgno::kMarkBlockWrite);
}

status hfsfile_allocate(hfsfile_t* file, uint64_t new_size) {
  volume_t* volume = file->volume;
  const uint64_t block_size = volume->header.blockSize;
  uint64_t target = new_size / block_size + (new_size % block_size != 0 ? 1 : 0);
  if (target > volume->header.totalBlocks) return out_of_free_blocks(msgno::kAllocTooLarge);
  // Bytes past the logical size in the last block may be left from a larger
  // size; the grown part must read as zeros like newly allocated blocks.
  const uint64_t allocated = static_cast<uint64_t>(file->fork->totalBlocks) * block_size;
  if (new_size > file->fork->logicalSize && file->fork->logicalSize < allocated) {
    uint64_t count = std::min(new_size, allocated) - file->fork->logicalSize;
    std::vector<uint8_t> zeros;
    VOLPACK_RETURN_IF_ERROR(hfs_buffer(&zeros, count, "hfsfile_allocate_or_die", msgno::kAllocTailBuffer));
    if (transfer(file, file->fork->logicalSize, count, nullptr, zeros.data()) != transfer_result::kDone)
      return status_errorf("hfsfile_allocate_or_die():%d: io_write error\n", msgno::kAllocWriteTail);
  }
  if (target > file->fork->totalBlocks) {
    VOLPACK_RETURN_IF_ERROR(grow(file, target - file->fork->totalBlocks));
  } else if (target < file->fork->totalBlocks) {
    VOLPACK_RETURN_IF_ERROR(shrink(file, static_cast<uint32_t>(target)));
  }
  VOLPACK_RETURN_IF_ERROR(record_extents(file));
  file->fork->logicalSize = new_size;
  file->fork->totalBlocks = static_cast<uint32_t>(target);
  if (!volume_update(volume)) return status_errorf("hfsfile_allocate_or_die(): ERROR: volume_update failed\n");
  if (file->record != nullptr) return volume_update_catalog(volume, *file->record);
  return status::ok();
}

// As the tree file of a B-tree: the engine sees a failed transfer as false and
// words it itself; the fork keeps the first failure in its own words for the
// volume's callers (volume_tree_status). A range the fork does not cover is
// the engine's to report.
bool hfsfile_t::read(uint64_t offset, uint64_t count, void* buf) {
  transfer_result r = transfer(this, offset, count, static_cast<uint8_t*>(buf), nullptr);
  if (r == transfer_result::kDeviceError && volume->fork_failure.is_ok())
    volume->fork_failure = transfer_status(r, "", 0, false);
  return r == transfer_result::kDone;
}

bool hfsfile_t::write(uint64_t offset, uint64_t count, const void* buf) {
  if (count == 0) return true;
  status s = fork->logicalSize < offset + count ? hfsfile_allocate(this, offset + count) : status::ok();
  transfer_result r = transfer_result::kDeviceError;
  if (s) {
    r = transfer(this, offset, count, nullptr, static_cast<const uint8_t*>(buf));
    if (r == transfer_result::kDeviceError) s = transfer_status(r, "", 0, true);
  }
  if (!s && volume->fork_failure.is_ok()) volume->fork_failure = std::move(s);
  return r == transfer_result::kDone;
}

status hfsfile_t::fork_allocate(uint64_t new_size) { return hfsfile_allocate(this, new_size); }

}  // namespace volpack
