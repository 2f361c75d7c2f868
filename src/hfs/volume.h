// An open HFS+ volume: its header, its two B-trees, block allocation and forks.
//
// `volume_open` reads the volume header of a raw volume (an `io_t` over the
// scratch file, owned by the caller) and opens, in this order, the extents
// overflow tree, the catalog tree and the allocation file; each special file
// is a fork (`hfsfile_t`) whose fork data live in the header held here, so
// growing a tree changes the header in place. Every change reaches the device
// at once: allocation writes the bitmap, the fork data, the overflow records,
// both copies of the volume header and the file's catalog record before it
// returns, so `volume_close` has nothing left to write.
//
// A fork is read and written at fork-relative byte offsets through its extent
// list (the first eight extents in the fork data, the rest in the extents
// overflow tree, keyed by file ID and the fork block they start at). Writing
// past the logical size grows the fork first; `hfsfile_allocate` grows or
// shrinks it to exactly the blocks a size needs, taking free blocks from the
// allocation bitmap one at a time and zero-filling them.
//
// Failures are values: a failed device transfer, an inconsistent extent map or
// a full volume gives a failed status carrying the one message users see
// ("hfsfile_allocate_or_die():119: ERROR: out of free blocks\n"; the names and
// numbers are fixed, see hfs/message_numbers.h). Nothing here prints or ends
// the process. A failed allocation may leave the fork and the bitmap half
// changed: the volume is then to be discarded.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "hfs/btree.h"
#include "hfs/hfs_format.h"
#include "hfs/message_numbers.h"
#include "io/io.h"

namespace volpack {

class reporter_t;
class time_source_t;
struct catalog_record_t;
class hfsfile_t;

struct volume_t {
  io_t* device = nullptr;                      // not owned
  HFSPlusVolumeHeader header;                  // host order; finderInfo as stored
  btree_t extents_tree;                        // file ID 3
  btree_t catalog_tree;                        // file ID 4
  std::unique_ptr<hfsfile_t> allocation_file;  // file ID 6
  CatalogNodeID private_folder_id = 0;         // hard-link folder, 0 when none
  // Where the alternate header was found at open beyond the one that
  // totalBlocks x blockSize - 1024 names (the device's second-to-last
  // sector), or 0; it is kept in step too.
  uint64_t device_alternate_offset = 0;
  reporter_t* reporter = nullptr;              // borrowed: warnings and notes; null drops them
  time_source_t* clock = nullptr;              // borrowed: the dates of new records; null: the host's clock
  // The first failed transfer of a fork read or written as a B-tree's file,
  // in the fork's own words, until volume_tree_status takes it.
  status fork_failure;
};

// Opens the volume on `device`. When the device is null or the header or a
// tree's header record cannot be read, the failure is "error: unable to open
// newly created HFS filesystem\n" (a failed transfer of a tree's fork is told
// in the fork's words); a fork whose extents cannot be walked or a failed
// lookup gives its own message. Warnings of the volume's operations go to
// `reporter` (both trees' too); null drops them.
result<std::unique_ptr<volume_t>> volume_open(io_t* device, reporter_t* reporter = nullptr);
// Writes the header at byte 1024 and at totalBlocks x blockSize - 1024 (and
// where the device's alternate copy was found). False when a write failed.
[[nodiscard]] bool volume_update(volume_t* volume);
// Closes the allocation file and both trees; writes nothing. The device stays open.
void volume_close(std::unique_ptr<volume_t> volume);

// ---------------------------------------------------------------- forks

// An open fork: the `io_t` over it, and the tree file of a B-tree.
class hfsfile_t final : public btree_file_t {
 public:
  hfsfile_t(volume_t* volume, CatalogNodeID file_id, HFSPlusForkData* fork, catalog_record_t* record)
      : volume(volume), file_id(file_id), record(record), fork(fork) {}

  // As a B-tree's file: false on failure, the fork's own message kept in the
  // volume's `fork_failure`.
  bool read(uint64_t offset, uint64_t count, void* buf) override;
  bool write(uint64_t offset, uint64_t count, const void* buf) override;
  bool close() override { return true; }
  uint64_t fork_logical_size() const override { return fork->logicalSize; }
  uint32_t fork_clump_size() const override { return fork->clumpSize; }
  status fork_allocate(uint64_t new_size) override;

  volume_t* volume;           // not owned
  CatalogNodeID file_id;      // 3, 4, 6 for the special files
  catalog_record_t* record;   // the file's record holding `fork`, or null (special files); not owned
  HFSPlusForkData* fork;      // host order, inside `record` or the volume header; not owned
  std::vector<HFSPlusExtentDescriptor> extents;  // the whole extent map, in fork order
};

// The outcome of a B-tree operation on one of the volume's trees: a failed
// transfer of a tree's fork (the volume's `fork_failure`, which is taken) wins
// over what the engine made of it, and fails an operation the engine let pass.
status volume_tree_status(volume_t* volume, status engine);
template <class T>
result<T> volume_tree_result(volume_t* volume, result<T> engine) {
  status fork = volume_tree_status(volume, engine.is_ok() ? status::ok() : engine.error());
  if (!fork) return fork;
  return engine;
}

// Opens a fork whose fork data are `fork` (inside `record`, or in the volume
// header for a special file). Reading more than eight extents needs the
// extents tree; a map that cannot be walked is a failed status.
result<std::unique_ptr<hfsfile_t>> volume_open_hfsfile(volume_t* volume, CatalogNodeID file_id, HFSPlusForkData* fork,
                                                       catalog_record_t* record);
// Read or write `count` bytes at a fork offset. A failed device transfer gives
// "hfsfile_read():250: io_read error\n" (or hfsfile_write's); a range past the
// fork's allocated blocks gives the caller's words, "<func>():<number>:
// io_read error\n" (io_write), by default the same as the device's. Writing
// past the logical size grows the fork first; writing never shrinks it.
status hfsfile_read(hfsfile_t* file, uint64_t offset, uint64_t count, void* buf, const char* func = "hfsfile_read",
                    int number = msgno::kForkRead);
status hfsfile_write(hfsfile_t* file, uint64_t offset, uint64_t count, const void* buf,
                     const char* func = "hfsfile_write", int number = msgno::kForkWrite);
// Frees the fork's extent list; writes nothing.
bool hfsfile_close(std::unique_ptr<hfsfile_t> file);
// Gives the fork exactly the blocks `new_size` needs, and that logical size.
status hfsfile_allocate(hfsfile_t* file, uint64_t new_size);
// Sets (in use) or clears block `block`'s bit in the allocation bitmap.
status volume_mark_block_usage(volume_t* volume, uint64_t block, bool in_use);

// ---------------------------------------------------------------- extents overflow tree

struct extent_key_t final : btree_key_t, HFSPlusExtentKey {
  uint16_t key_length() const override { return keyLength; }
};
struct extent_record_t final : btree_record_t {
  HFSPlusExtentRecord extents;
};

// Key order: forkType, fileID, startBlock, keyLength (all unsigned); -1, 0, 1.
// The readers give null when the read fails (or memory runs out).
int extent_compare(const extent_key_t& a, const extent_key_t& b);
std::unique_ptr<extent_key_t> extent_readkey(uint64_t offset, io_t* io);
[[nodiscard]] bool extent_writekey(uint64_t offset, io_t* io, const extent_key_t& key);
std::unique_ptr<extent_record_t> extent_readdata(uint64_t offset, io_t* io);
// Opens the extents overflow tree over its tree file; false when its header
// cannot be read.
[[nodiscard]] bool extents_tree_open(btree_t* tree, std::unique_ptr<btree_file_t> io);

}  // namespace volpack
