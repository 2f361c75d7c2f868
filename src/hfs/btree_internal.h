// The B-tree engine's internal routines: node geometry, the allocation map,
// and the steps of insertion and removal. Only the engine's own files and its
// tests include this header; the catalog and the extents code use btree.h.
//
// Every routine here works straight on the tree file (`tree->io`) and
// returns the failure's message, as the public operations do.
// Node n of the file starts at byte n * nodeSize; record offsets and the
// free-space offset live in u16 slots stored backwards from the node's end.
#pragma once

#include <cstdint>
#include <memory>

#include "hfs/btree.h"
#include "hfs/hfs_status.h"
#include "hfs/message_numbers.h"

namespace volpack {

// Byte offset of node `node` in the tree file (64-bit).
inline uint64_t btree_node_offset(const btree_t* tree, NodeNumber node) {
  return static_cast<uint64_t>(node) * tree->header.nodeSize;
}
// Byte offset of the u16 offset slot `index` of `node` in the tree file.
inline uint64_t btree_slot_offset(const btree_t* tree, NodeNumber node, uint32_t index) {
  return btree_node_offset(tree, node) + tree->header.nodeSize - 2 * (static_cast<uint64_t>(index) + 1);
}
// Bytes a node offers to records and their slots: all but the descriptor and
// the free-space slot.
inline uint32_t btree_node_capacity(const btree_t* tree) { return tree->header.nodeSize - 16u; }
// Bytes of the header node's map record and of a map node's record.
inline uint32_t btree_header_map_bytes(const btree_t* tree) { return tree->header.nodeSize - 256u; }
inline uint32_t btree_map_node_bytes(const btree_t* tree) { return tree->header.nodeSize - 20u; }

// Writes a u16 or u32 big-endian at `offset`; the result is the write's.
[[nodiscard]] bool btree_write_u16(io_t* io, uint64_t offset, uint16_t value);
[[nodiscard]] bool btree_write_u32(io_t* io, uint64_t offset, uint32_t value);

// File offset of the map byte that holds node `node`'s bit, following the
// map-node chain; 0 when the chain ends before reaching it.
result<uint64_t> btree_map_byte_offset(btree_t* tree, NodeNumber node);

// Insertion (btree_insert.cpp). addRecord gives the number of a new right
// sibling of `node` to be linked into its parent, or 0.
result<NodeNumber> addRecord(btree_t* tree, NodeNumber node, const btree_key_t& key, uint16_t data_length,
                             const uint8_t* data);
status doAddRecord(btree_t* tree, NodeNumber node, const btree_key_t& key, uint16_t data_length,
                   const uint8_t* data);
// Moves the last numRecords - `keep` records of `node` to a new right sibling
// and gives its number; `desc` is updated. The first form keeps half the
// records (numRecords / 2).
result<NodeNumber> splitNode(btree_t* tree, NodeNumber node, BTNodeDescriptor* desc);
result<NodeNumber> splitNode(btree_t* tree, NodeNumber node, BTNodeDescriptor* desc, uint16_t keep);
// Moves records `from` .. numRecords - 1 of `node` by `delta` bytes and their
// slots (free-space slot included) by `shift` places (-1, 0 or +1).
status moveRecordsDown(btree_t* tree, const BTNodeDescriptor& desc, uint16_t from, NodeNumber node, int delta,
                       int shift);
// Puts a new index root above the current root and its new sibling.
status btree_increase_height(btree_t* tree, NodeNumber sibling);

// Where a full node splits when one more item (record plus slot, `item_bytes`)
// must go in at position `pos` (0 .. numRecords). `keep` records stay; the item
// goes into the new node when `into_new`. Half the records stay whenever the
// item then fits; otherwise the split point moves so that both halves fit.
struct btree_split_t {
  uint16_t keep;
  bool into_new;
};
result<btree_split_t> btree_choose_split(btree_t* tree, NodeNumber node, const BTNodeDescriptor& desc, uint32_t pos,
                                         bool into_new_by_half, uint32_t item_bytes);

// Node allocation (btree_map.cpp).
result<NodeNumber> btree_get_new_node_number(btree_t* tree);
status btree_grow(btree_t* tree);

// Removal (btree_remove.cpp).
result<NodeNumber> btree_do_remove(btree_t* tree, NodeNumber node, const btree_key_t& key, bool* retry,
                                   bool* emptied);
status removeNode(btree_t* tree, NodeNumber node);

}  // namespace volpack
