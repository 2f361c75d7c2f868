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
#include "io/die.h"

namespace volpack {

uint64_t btree_map_byte_offset(btree_t* tree, NodeNumber node) {
  uint64_t bit = node;
  uint64_t header_bits = 8ull * btree_header_map_bytes(tree);
  if (bit < header_bits) return btree_get_record_offset_or_die(tree, 0, 2) + bit / 8;
  bit -= header_bits;
  uint64_t node_bits = 8ull * btree_map_node_bytes(tree);
  NodeNumber map = btree_read_BTNodeDescriptor_or_die(tree, 0).fLink;
  // A chain can be no longer than the tree has nodes; a longer one loops.
  for (uint32_t hops = 0; map != 0 && hops <= tree->header.totalNodes; ++hops) {
    if (bit < node_bits) return btree_node_offset(tree, map) + kBTNodeDescriptorSize + bit / 8;
    bit -= node_bits;
    map = btree_read_BTNodeDescriptor_or_die(tree, map).fLink;
  }
  return 0;
}

NodeNumber btree_get_new_node_number(btree_t* tree) {
  // A growth can spend every node it adds on new map nodes; grow again then.
  while (tree->header.freeNodes == 0) {
    uint32_t before = tree->header.totalNodes;
    btree_grow_or_die(tree);
    if (tree->header.totalNodes == before) break;
  }

  io_t* io = tree->io.get();
  uint64_t record = btree_get_record_offset_or_die(tree, 0, 2);
  uint32_t record_bytes = btree_header_map_bytes(tree);
  NodeNumber map_node = 0;  // node holding `record`
  uint64_t first_bit = 0;   // node number of the record's first bit
  for (uint32_t hops = 0; first_bit < tree->header.totalNodes && hops <= tree->header.totalNodes; ++hops) {
    std::vector<uint8_t> bits = malloc_or_die(record_bytes, "btree_get_new_node_number", __LINE__);
    if (!io_read(io, record, record_bytes, bits.data()))
      die("btree_get_new_node_number():%d: io_read error\n", __LINE__);
    for (uint32_t b = 0; b < record_bytes; ++b) {
      if (bits[b] == 0xFF) continue;
      for (int bit = 7; bit >= 0; --bit) {
        uint64_t node = first_bit + 8ull * b + static_cast<uint64_t>(7 - bit);
        if (node >= tree->header.totalNodes) break;
        uint8_t mask = static_cast<uint8_t>(1u << bit);
        if (bits[b] & mask) continue;
        uint8_t byte = static_cast<uint8_t>(bits[b] | mask);
        --tree->header.freeNodes;
        if (!writeBTHeaderRec(tree)) die("btree_get_new_node_number():%d: writeBTHeaderRec error\n", 547);
        if (!io_write(io, record + b, 1, &byte)) die("btree_get_new_node_number():%d: io_write error\n", 548);
        return static_cast<NodeNumber>(node);
      }
    }
    first_bit += 8ull * record_bytes;
    map_node = btree_read_BTNodeDescriptor_or_die(tree, map_node).fLink;
    if (map_node == 0) break;
    record = btree_node_offset(tree, map_node) + kBTNodeDescriptorSize;
    record_bytes = btree_map_node_bytes(tree);
  }
  // Handing out node 0 would overwrite the header node.
  die("btree_get_new_node_number(): ERROR: no free node in the node map\n");
}

void btree_grow_or_die(btree_t* tree) {
  btree_file_t* file = tree->io.get();
  file->allocate_or_die(file->fork_logical_size() + file->fork_clump_size());

  BTHeaderRec& h = tree->header;
  uint32_t old = h.totalNodes;
  uint64_t nodes = file->fork_logical_size() / h.nodeSize;
  uint32_t added = nodes > old ? static_cast<uint32_t>(nodes - old) : 0;
  h.freeNodes += added;
  h.totalNodes += added;

  // Map bytes every node needs, the last partial byte included.
  uint64_t need = (static_cast<uint64_t>(h.totalNodes) + 7) / 8;
  if (need <= btree_header_map_bytes(tree)) {
    if (!writeBTHeaderRec(tree)) die("btree_grow_or_die():%d: writeBTHeaderRec error\n", 449);
    return;
  }
  need -= btree_header_map_bytes(tree);

  io_t* io = tree->io.get();
  const uint32_t map_bytes = btree_map_node_bytes(tree);
  NodeNumber x = 0;
  uint32_t created = 0;
  for (;;) {
    BTNodeDescriptor xd = btree_read_BTNodeDescriptor_or_die(tree, x);
    if (xd.fLink == 0) {
      NodeNumber m = old + created++;
      xd.fLink = m;
      if (!btree_write_BTNodeDescriptor(tree, x, xd))
        die("btree_grow_or_die():%d: btree_write_BTNodeDescriptor error\n", 462);
      BTNodeDescriptor md;
      md.kind = kBTMapNode;
      md.numRecords = 1;
      if (!btree_write_BTNodeDescriptor(tree, m, md))
        die("btree_grow_or_die():%d: btree_write_BTNodeDescriptor error\n", 467);
      std::vector<uint8_t> zeros = malloc_or_die(map_bytes, "btree_grow_or_die", 443);
      if (!io_write(io, btree_node_offset(tree, m) + kBTNodeDescriptorSize, map_bytes, zeros.data()))
        die("btree_grow_or_die():%d: io_write error\n", 471);
      if (!btree_write_u16(io, btree_slot_offset(tree, m, 0), kBTNodeDescriptorSize))
        die("btree_grow_or_die():%d: io_write error\n", 475);
      if (!btree_write_u16(io, btree_slot_offset(tree, m, 1), static_cast<uint16_t>(h.nodeSize - 6)))
        die("btree_grow_or_die():%d: io_write error\n", 479);
      uint64_t at = btree_map_byte_offset(tree, m);
      uint8_t byte = 0;
      if (at == 0 || !io_read(io, at, 1, &byte)) die("btree_grow_or_die():%d: io_read error\n", 494);
      byte = static_cast<uint8_t>(byte | (0x80u >> (m % 8)));
      if (!io_write(io, at, 1, &byte)) die("btree_grow_or_die():%d: io_write error\n", 496);
      --h.freeNodes;
    }
    x = xd.fLink;
    if (need <= map_bytes) break;
    need -= map_bytes;
  }
  if (!writeBTHeaderRec(tree)) die("btree_grow_or_die():%d: writeBTHeaderRec error\n", 510);
}

}  // namespace volpack
