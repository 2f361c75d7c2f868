// A read-only checker of HFS+ volumes, robust to damaged and hostile ones.
//
// `hfs_check` reads a volume through an io_t of `size` bytes (the volume's
// partition) and checks what a Mac's own checker would: the volume header
// and its alternate copy, the attribute bits and the journal (reported, never
// replayed), the structure of the catalog, extents-overflow and attributes
// B-trees (header node, node kinds and heights, record offsets, key order
// under the volume's comparison, index keys against their child's first key,
// sibling chains, the node map and the free node count), every fork's extents
// (overflow records included) against the allocation file and `freeBlocks`,
// and the catalog itself: threads, unique IDs below `nextCatalogID`, parents,
// valences and folder counts, the header's file and folder counts, names in
// canonical decomposition, modes against record types, symbolic and hard
// links. Every offset, count and length read from the volume is checked
// before it is used; nothing here prints, ends the process, or reads outside
// its buffers. Problems become findings; only a volume without an HFS+ header
// fails the call.
//
// The result is also a model of the tree (every file and folder with its
// record and all its extents) from which `list`, `extract` and the comparison
// with a host folder read; `hfs_read_fork` reads a fork's bytes through it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "hfs/hfs_format.h"
#include "io/findings.h"
#include "io/io.h"
#include "io/status.h"

namespace volpack {

struct hfs_fork_t {
  HFSPlusForkData data;                          // as in the record
  std::vector<HFSPlusExtentDescriptor> extents;  // all of them, overflow records included
  bool complete = false;                         // the extents cover totalBlocks
};

struct hfs_item_t {
  CatalogNodeID id = 0;
  CatalogNodeID parent = 0;
  HFSUniStr255 name;  // as stored on disk
  bool is_folder = false;
  HFSPlusCatalogFolder folder;
  HFSPlusCatalogFile file;
  hfs_fork_t data_fork, resource_fork;  // files only
  uint64_t record_offset = 0;           // where the record's key lies in the volume (0 when not known)

  uint16_t mode() const { return is_folder ? folder.permissions.fileMode : file.permissions.fileMode; }
  bool is_symlink() const { return !is_folder && (mode() & S_IFMT_HFS) == S_IFLNK_HFS; }
};

struct hfs_volume_model {
  HFSPlusVolumeHeader header;
  std::map<CatalogNodeID, hfs_item_t> items;
  // The IDs inside each folder, in catalog order.
  std::map<CatalogNodeID, std::vector<CatalogNodeID>> children;
  CatalogNodeID private_data_folder = 0;  // "\0\0\0\0HFS+ Private Data", 0 when absent
  CatalogNodeID private_dir_folder = 0;   // ".HFS+ Private Directory Data\r", 0 when absent

  // The item's name for people: UTF-8, with the ':' that stands for a '/' on disk.
  static std::string display_name(const HFSUniStr255& name);
  // "/a/b" from the root; "?" components where the chain breaks.
  std::string path_of(CatalogNodeID id) const;
  // True for the folders that hold hard links' nodes (hidden on a Mac).
  bool is_private(CatalogNodeID id) const { return id != 0 && (id == private_data_folder || id == private_dir_folder); }
};

result<hfs_volume_model> hfs_check(io_t* volume, uint64_t size, findings_t* findings);

// Reads `count` bytes at `offset` of a fork through its extents.
status hfs_read_fork(io_t* volume, const hfs_volume_model& model, const hfs_fork_t& fork, uint64_t offset,
                     uint64_t count, void* buf);

// A symbolic link's target (its data fork, at most 1024 bytes).
result<std::string> hfs_link_target(io_t* volume, const hfs_volume_model& model, const hfs_item_t& item);

}  // namespace volpack
