// Opening a tree and the node-access primitives: descriptors, the header
// record, record offsets, free space and child pointers.
#include <new>

#include "hfs/btree.h"
#include "hfs/btree_internal.h"
#include "io/bytes.h"

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
  tree->cache = nullptr;
  if (!tree->io) return true;
  return io_close(std::move(tree->io));
}

std::unique_ptr<BTNodeDescriptor> btree_read_BTNodeDescriptor(btree_t* tree, NodeNumber node) {
  uint8_t raw[kBTNodeDescriptorSize];
  if (!io_read(tree->io.get(), btree_node_offset(tree, node), kBTNodeDescriptorSize, raw)) return nullptr;
  std::unique_ptr<BTNodeDescriptor> desc(new (std::nothrow) BTNodeDescriptor);
  if (desc != nullptr) decode(raw, desc.get());
  return desc;
}

result<BTNodeDescriptor> btree_read_descriptor(btree_t* tree, NodeNumber node) {
  uint8_t raw[kBTNodeDescriptorSize];
  if (!io_read(tree->io.get(), btree_node_offset(tree, node), kBTNodeDescriptorSize, raw))
    return status_errorf("btree_read_BTNodeDescriptor_or_die():%d: btree_read_BTNodeDescriptor error\n",
                         msgno::kReadDescriptor);
  BTNodeDescriptor d;
  decode(raw, &d);
  return d;
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

result<uint64_t> btree_get_record_offset(btree_t* tree, NodeNumber node, uint16_t index) {
  uint8_t raw[2];
  if (!io_read(tree->io.get(), btree_slot_offset(tree, node, index), 2, raw))
    return status_errorf("btree_get_record_offset_or_die():%d: io_read error\n", msgno::kGetRecordOffset);
  return btree_node_offset(tree, node) + get_be16(raw);
}

result<uint64_t> btree_get_free_space(btree_t* tree, NodeNumber node, const BTNodeDescriptor& d) {
  uint64_t slot = btree_slot_offset(tree, node, d.numRecords);
  uint8_t raw[2];
  if (!io_read(tree->io.get(), slot, 2, raw))
    return status_errorf("btree_get_free_space_or_die():%d: io_read error\n", msgno::kGetFreeSpace);
  uint64_t free_start = btree_node_offset(tree, node) + get_be16(raw);
  // A free-space offset inside the slot table would make room that is not
  // there; such a node has none.
  return free_start > slot ? uint64_t{0} : slot - free_start;
}

result<NodeNumber> getNodeNumberFromPointerRecord(uint64_t offset, io_t* io) {
  uint8_t raw[4];
  if (!io_read(io, offset, 4, raw))
    return status_errorf("getNodeNumberFromPointerRecord():%d: io_read error\n", msgno::kPointerRecord);
  return NodeNumber{get_be32(raw)};
}

result<std::unique_ptr<btree_key_t>> btree_read_key(btree_t* tree, uint64_t offset, io_t* io, const char* func,
                                                    int number) {
  result<std::unique_ptr<btree_key_t>> key = tree->callbacks->btree_read_key(offset, io);
  if (key && key.value() == nullptr) return status_errorf("%s():%d: btree_read_key error\n", func, number);
  return key;
}

result<std::unique_ptr<btree_record_t>> btree_read_data(btree_t* tree, uint64_t offset, io_t* io, const char* func,
                                                        int number) {
  result<std::unique_ptr<btree_record_t>> data = tree->callbacks->btree_read_data(offset, io, tree->reporter);
  if (data && data.value() == nullptr) return status_errorf("%s():%d: btree_read_data error\n", func, number);
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
