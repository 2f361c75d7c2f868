// Opening a tree and the node-access primitives: descriptors, the header
// record, record offsets, free space and child pointers.
#include <cstdio>

#include "hfs/btree.h"
#include "hfs/btree_internal.h"
#include "io/bytes.h"
#include "io/die.h"

namespace volpack {

bool btree_open(btree_t* tree, std::unique_ptr<btree_file_t> io, const BTreeCallbacks* callbacks) {
  uint8_t raw[kBTHeaderRecSize];
  if (!io_read(io.get(), kBTNodeDescriptorSize, kBTHeaderRecSize, raw)) return false;
  decode(raw, &tree->header);
  tree->io = std::move(io);
  tree->callbacks = callbacks;
  return true;
}

bool btree_close(btree_t* tree) {
  if (!tree->io) return true;
  return io_close(std::move(tree->io));
}

std::unique_ptr<BTNodeDescriptor> btree_read_BTNodeDescriptor(btree_t* tree, NodeNumber node) {
  auto desc = new_or_die<BTNodeDescriptor>("btree_read_BTNodeDescriptor", 17);
  uint8_t raw[kBTNodeDescriptorSize];
  if (!io_read(tree->io.get(), btree_node_offset(tree, node), kBTNodeDescriptorSize, raw)) return nullptr;
  decode(raw, desc.get());
  return desc;
}

BTNodeDescriptor btree_read_BTNodeDescriptor_or_die(btree_t* tree, NodeNumber node) {
  auto desc = btree_read_BTNodeDescriptor(tree, node);
  if (!desc) die("btree_read_BTNodeDescriptor_or_die():%d: btree_read_BTNodeDescriptor error\n", 28);
  return *desc;
}

bool btree_write_BTNodeDescriptor(btree_t* tree, NodeNumber node, const BTNodeDescriptor& d) {
  uint8_t raw[kBTNodeDescriptorSize];
  encode(d, raw);
  return io_write(tree->io.get(), btree_node_offset(tree, node), kBTNodeDescriptorSize, raw);
}

bool writeBTHeaderRec(btree_t* tree) {
  uint8_t raw[kBTHeaderRecSize];
  encode(tree->header, raw);
  return io_write(tree->io.get(), kBTNodeDescriptorSize, kBTHeaderRecSize, raw);
}

uint64_t btree_get_record_offset_or_die(btree_t* tree, NodeNumber node, uint16_t index) {
  uint8_t raw[2];
  if (!io_read(tree->io.get(), btree_slot_offset(tree, node, index), 2, raw))
    die("btree_get_record_offset_or_die():%d: io_read error\n", 116);
  return btree_node_offset(tree, node) + get_be16(raw);
}

uint64_t btree_get_free_space_or_die(btree_t* tree, NodeNumber node, const BTNodeDescriptor& d) {
  uint64_t slot = btree_slot_offset(tree, node, d.numRecords);
  uint8_t raw[2];
  if (!io_read(tree->io.get(), slot, 2, raw)) die("btree_get_free_space_or_die():%d: io_read error\n", 136);
  uint64_t free_start = btree_node_offset(tree, node) + get_be16(raw);
  // A free-space offset inside the slot table would make room that is not
  // there; such a node has none.
  return free_start > slot ? 0 : slot - free_start;
}

NodeNumber getNodeNumberFromPointerRecord(uint64_t offset, io_t* io) {
  uint8_t raw[4];
  if (!io_read(io, offset, 4, raw)) die("getNodeNumberFromPointerRecord():%d: io_read error\n", 149);
  return get_be32(raw);
}

std::unique_ptr<btree_key_t> btree_read_key_or_die(btree_t* tree, uint64_t offset, io_t* io, const char* func,
                                                   int line) {
  auto key = tree->callbacks->btree_read_key(offset, io);
  if (!key) die("%s():%d: btree_read_key error\n", func, line);
  return key;
}

std::unique_ptr<btree_record_t> btree_read_data_or_die(btree_t* tree, uint64_t offset, io_t* io,
                                                       const char* func, int line) {
  auto data = tree->callbacks->btree_read_data(offset, io);
  if (!data) die("%s():%d: btree_read_data error\n", func, line);
  return data;
}

bool btree_write_u16(io_t* io, uint64_t offset, uint16_t value) {
  uint8_t raw[2];
  put_be16(raw, value);
  return io_write(io, offset, 2, raw);
}

bool btree_write_u32(io_t* io, uint64_t offset, uint32_t value) {
  uint8_t raw[4];
  put_be32(raw, value);
  return io_write(io, offset, 4, raw);
}

}  // namespace volpack
