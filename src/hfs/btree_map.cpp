// The node allocation map: handing out free nodes and growing the tree file.
//
// The map is one bit sequence: the header node's map record (record 2 of node
// 0, nodeSize - 256 bytes), then the record of each map node (offset 14,
// nodeSize - 20 bytes) along the chain from the header node's fLink. Node n is
// bit n, most significant bit first; a set bit marks a node in use. freeNodes
// counts the clear bits below totalNodes.
#include <vector>

#include "hfs/btree.h"
#include "hfs/btree_internal.h"

namespace volpack {

result<uint64_t> btree_map_byte_offset(btree_t* tree, NodeNumber node) {
  uint64_t bit = node;
  uint64_t header_bits = 8ull * btree_header_map_bytes(tree);
  if (bit < header_bits) {
    uint64_t record;
    VOLPACK_ASSIGN_OR_RETURN(record, btree_get_record_offset(tree, 0, 2));
    return record + bit / 8;
  }
  bit -= header_bits;
  uint64_t node_bits = 8ull * btree_map_node_bytes(tree);
  BTNodeDescriptor d;
  VOLPACK_ASSIGN_OR_RETURN(d, btree_read_descriptor(tree, 0));
  NodeNumber map = d.fLink;
  // A chain can be no longer than the tree has nodes; a longer one loops.
  for (uint32_t hops = 0; map != 0 && hops <= tree->header.totalNodes; ++hops) {
    if (bit < node_bits) return btree_node_offset(tree, map) + kBTNodeDescriptorSize + bit / 8;
    bit -= node_bits;
    VOLPACK_ASSIGN_OR_RETURN(d, btree_read_descriptor(tree, map));
    map = d.fLink;
  }
  return uint64_t{0};
}

result<NodeNumber> btree_get_new_node_number(btree_t* tree) {
  // A growth can spend every node it adds on new map nodes; grow again then.
  while (tree->header.freeNodes == 0) {
    uint32_t before = tree->header.totalNodes;
    VOLPACK_RETURN_IF_ERROR(btree_grow(tree));
    if (tree->header.totalNodes == before) break;
  }

  io_t* io = tree->io.get();
  uint64_t record;
  VOLPACK_ASSIGN_OR_RETURN(record, btree_get_record_offset(tree, 0, 2));
  uint32_t record_bytes = btree_header_map_bytes(tree);
  NodeNumber map_node = 0;  // node holding `record`
  uint64_t first_bit = 0;   // node number of the record's first bit
  std::vector<uint8_t> bits;
  for (uint32_t hops = 0; first_bit < tree->header.totalNodes && hops <= tree->header.totalNodes; ++hops) {
    VOLPACK_RETURN_IF_ERROR(hfs_buffer(&bits, record_bytes, "btree_get_new_node_number", msgno::kNewNodeBuffer));
    if (!io_read(io, record, record_bytes, bits.data()))
      return status_errorf("btree_get_new_node_number():%d: io_read error\n", msgno::kNewNodeReadMap);
    for (uint32_t b = 0; b < record_bytes; ++b) {
      if (bits[b] == 0xFF) continue;
      for (int bit = 7; bit >= 0; --bit) {
        uint64_t node = first_bit + 8ull * b + static_cast<uint64_t>(7 - bit);
        if (node >= tree->header.totalNodes) break;
        uint8_t mask = static_cast<uint8_t>(1u << bit);
        if (bits[b] & mask) continue;
        uint8_t byte = static_cast<uint8_t>(bits[b] | mask);
        --tree->header.freeNodes;
        if (!writeBTHeaderRec(tree))
          return status_errorf("btree_get_new_node_number():%d: writeBTHeaderRec error\n", msgno::kNewNodeWriteHeader);
        if (!io_write(io, record + b, 1, &byte))
          return status_errorf("btree_get_new_node_number():%d: io_write error\n", msgno::kNewNodeWriteMapByte);
        return static_cast<NodeNumber>(node);
      }
    }
    first_bit += 8ull * record_bytes;
    BTNodeDescriptor d;
    VOLPACK_ASSIGN_OR_RETURN(d, btree_read_descriptor(tree, map_node));
    map_node = d.fLink;
    if (map_node == 0) break;
    record = btree_node_offset(tree, map_node) + kBTNodeDescriptorSize;
    record_bytes = btree_map_node_bytes(tree);
  }
  // Handing out node 0 would overwrite the header node.
  return status_errorf("btree_get_new_node_number(): ERROR: no free node in the node map\n");
}

status btree_grow(btree_t* tree) {
  btree_file_t* file = tree->io.get();
  VOLPACK_RETURN_IF_ERROR(file->fork_allocate(file->fork_logical_size() + file->fork_clump_size()));

  BTHeaderRec& h = tree->header;
  uint32_t old = h.totalNodes;
  uint64_t nodes = file->fork_logical_size() / h.nodeSize;
  uint32_t added = nodes > old ? static_cast<uint32_t>(nodes - old) : 0;
  h.freeNodes += added;
  h.totalNodes += added;

  // Map bytes every node needs, the last partial byte included.
  uint64_t need = (static_cast<uint64_t>(h.totalNodes) + 7) / 8;
  if (need <= btree_header_map_bytes(tree)) {
    if (!writeBTHeaderRec(tree))
      return status_errorf("btree_grow_or_die():%d: writeBTHeaderRec error\n", msgno::kGrowWriteHeader);
    return status::ok();
  }
  need -= btree_header_map_bytes(tree);

  io_t* io = tree->io.get();
  const uint32_t map_bytes = btree_map_node_bytes(tree);
  NodeNumber x = 0;
  uint32_t created = 0;
  for (;;) {
    BTNodeDescriptor xd;
    VOLPACK_ASSIGN_OR_RETURN(xd, btree_read_descriptor(tree, x));
    if (xd.fLink == 0) {
      NodeNumber m = old + created++;
      xd.fLink = m;
      if (!btree_write_BTNodeDescriptor(tree, x, xd))
        return status_errorf("btree_grow_or_die():%d: btree_write_BTNodeDescriptor error\n", msgno::kGrowLinkMapNode);
      BTNodeDescriptor md;
      md.kind = kBTMapNode;
      md.numRecords = 1;
      if (!btree_write_BTNodeDescriptor(tree, m, md))
        return status_errorf("btree_grow_or_die():%d: btree_write_BTNodeDescriptor error\n", msgno::kGrowWriteMapNode);
      std::vector<uint8_t> zeros;
      VOLPACK_RETURN_IF_ERROR(hfs_buffer(&zeros, map_bytes, "btree_grow_or_die", msgno::kGrowBuffer));
      if (!io_write(io, btree_node_offset(tree, m) + kBTNodeDescriptorSize, map_bytes, zeros.data()))
        return status_errorf("btree_grow_or_die():%d: io_write error\n", msgno::kGrowWriteMapRecord);
      if (!btree_write_u16(io, btree_slot_offset(tree, m, 0), kBTNodeDescriptorSize))
        return status_errorf("btree_grow_or_die():%d: io_write error\n", msgno::kGrowWriteSlot0);
      if (!btree_write_u16(io, btree_slot_offset(tree, m, 1), static_cast<uint16_t>(h.nodeSize - 6)))
        return status_errorf("btree_grow_or_die():%d: io_write error\n", msgno::kGrowWriteSlot1);
      uint64_t at;
      VOLPACK_ASSIGN_OR_RETURN(at, btree_map_byte_offset(tree, m));
      uint8_t byte = 0;
      if (at == 0 || !io_read(io, at, 1, &byte))
        return status_errorf("btree_grow_or_die():%d: io_read error\n", msgno::kGrowReadMapByte);
      byte = static_cast<uint8_t>(byte | (0x80u >> (m % 8)));
      if (!io_write(io, at, 1, &byte))
        return status_errorf("btree_grow_or_die():%d: io_write error\n", msgno::kGrowWriteMapByte);
      --h.freeNodes;
    }
    x = xd.fLink;
    if (need <= map_bytes) break;
    need -= map_bytes;
  }
  if (!writeBTHeaderRec(tree))
    return status_errorf("btree_grow_or_die():%d: writeBTHeaderRec error\n", msgno::kGrowWriteHeaderAfter);
  return status::ok();
}

}  // namespace volpack
