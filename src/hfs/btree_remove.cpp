// Removal: delete a record, free the nodes it empties, and keep every index
// record equal to its child's first key. Nodes are never merged and the tree
// never loses height. When a rewritten index key needs more room than its node
// has, the node is split and the whole removal runs again.
#include <cstdio>

#include "hfs/btree.h"
#include "hfs/btree_internal.h"
#include "io/bytes.h"
#include "io/die.h"

namespace volpack {

namespace {

// Deletes record `index` of `node`: the records after it move up over it and
// their slots one place towards the node's end.
void delete_record(btree_t* tree, NodeNumber node, const BTNodeDescriptor& desc, uint16_t index) {
  if (index + 1 >= desc.numRecords) return;  // the last record's slot becomes the free-space slot
  uint64_t at = btree_get_record_offset_or_die(tree, node, index);
  uint64_t next = btree_get_record_offset_or_die(tree, node, static_cast<uint16_t>(index + 1));
  moveRecordsDown(tree, desc, static_cast<uint16_t>(index + 1), node, -static_cast<int>(next - at), -1);
}

}  // namespace

void btree_remove_or_die(btree_t* tree, const btree_key_t& key) {
  bool retry;
  do {
    retry = false;
    if (tree->header.rootNode == 0) return;  // empty tree: node 0 is the header node
    NodeNumber sibling = btree_do_remove_or_die(tree, tree->header.rootNode, key, &retry, nullptr);
    if (sibling != 0) btree_increase_height_or_die(tree, sibling);
  } while (retry);
}

NodeNumber btree_do_remove_or_die(btree_t* tree, NodeNumber node, const btree_key_t& key, bool* retry,
                                  bool* emptied) {
  io_t* io = tree->io.get();
  BTNodeDescriptor desc = btree_read_BTNodeDescriptor_or_die(tree, node);
  uint64_t free_bytes = btree_get_free_space_or_die(tree, node, desc);
  if (emptied != nullptr) *emptied = false;
  if (desc.numRecords == 0) {
    std::fprintf(stderr, "btree_do_remove_or_die(): WARNING: running into undefined behaviour!\n");
    return 0;
  }

  const bool leaf = desc.kind == kBTLeafNode;
  bool exact = false;
  bool have_last = false;
  uint16_t i = 0;
  uint16_t j = 0;  // the record the descent goes through: the equal key, or the last one before
  for (; i < desc.numRecords; ++i) {
    uint64_t offset = btree_get_record_offset_or_die(tree, node, i);
    auto record_key = btree_read_key_or_die(tree, offset, io, "btree_do_remove_or_die", 1184);
    int c = tree->callbacks->btree_compare(*record_key, key);
    if (c == 0) {
      exact = true;
      j = i;
      break;
    }
    if (c > 0) {
      if (!have_last || leaf) return 0;  // the key is not in the tree
      j = static_cast<uint16_t>(i - 1);
      break;
    }
    have_last = true;
  }
  if (i == desc.numRecords) {
    if (leaf) return 0;
    i = j = static_cast<uint16_t>(desc.numRecords - 1);
  }

  if (leaf) {
    delete_record(tree, node, desc, i);
    --desc.numRecords;
    --tree->header.leafRecords;
    if (!btree_write_BTNodeDescriptor(tree, node, desc))
      die("btree_do_remove_or_die():%d: btree_write_BTNodeDescriptor error\n", 1202);
    if (!writeBTHeaderRec(tree)) die("btree_do_remove_or_die():%d: writeBTHeaderRec error\n", 1203);
    if (desc.numRecords == 0) {
      removeNode(tree, node);
      if (emptied != nullptr) *emptied = true;
    }
    return 0;
  }

  uint64_t j_offset = btree_get_record_offset_or_die(tree, node, j);
  auto j_key = btree_read_key_or_die(tree, j_offset, io, "btree_do_remove_or_die", 1256);
  NodeNumber child = getNodeNumberFromPointerRecord(j_offset + j_key->key_length() + 2, io);
  bool child_emptied = false;
  NodeNumber child_split = btree_do_remove_or_die(tree, child, key, retry, &child_emptied);

  if (child_emptied) {
    delete_record(tree, node, desc, j);
    --desc.numRecords;
    if (!btree_write_BTNodeDescriptor(tree, node, desc))
      die("btree_do_remove_or_die():%d: btree_write_BTNodeDescriptor error\n", 1268);
  } else if (exact) {
    // Record j carried the removed key; it takes the child's new first key.
    auto first = btree_read_key_or_die(tree, btree_get_record_offset_or_die(tree, child, 0), io,
                                       "btree_do_remove_or_die", 1274);
    int delta = static_cast<int>(first->key_length()) - static_cast<int>(j_key->key_length());
    free_bytes = btree_get_free_space_or_die(tree, node, desc);
    if (delta > 0 && static_cast<uint64_t>(delta) > free_bytes) {
      // A child that split has kept its first key, so nothing is pending
      // here but the longer key: split, and let the rerun rewrite it.
      *retry = true;
      return splitNode(tree, node, &desc);
    }
    if (delta != 0) moveRecordsDown(tree, desc, static_cast<uint16_t>(j + 1), node, delta, 0);
    if (!tree->callbacks->btree_write_key(j_offset, io, *first))
      die("btree_do_remove_or_die():%d: btree_write_key error\n", 1292);
    if (!btree_write_u32(io, j_offset + first->key_length() + 2, child))
      die("btree_do_remove_or_die():%d: io_write error\n", 1294);
  }

  if (child_split != 0) {
    auto split_key = btree_read_key_or_die(tree, btree_get_record_offset_or_die(tree, child_split, 0), io,
                                           "btree_do_remove_or_die", 1316);
    uint8_t pointer[4];
    put_be32(pointer, child_split);
    uint32_t item = split_key->key_length() + 8u;
    free_bytes = btree_get_free_space_or_die(tree, node, desc);
    if (free_bytes >= item) {
      doAddRecord(tree, node, *split_key, 4, pointer);
      return 0;
    }
    btree_split_t split =
        btree_choose_split(tree, node, desc, j + 1u, i >= desc.numRecords / 2, item);
    NodeNumber sibling = splitNode(tree, node, &desc, split.keep);
    doAddRecord(tree, split.into_new ? sibling : node, *split_key, 4, pointer);
    return sibling;
  }

  if (desc.numRecords == 0) {
    removeNode(tree, node);
    if (emptied != nullptr) *emptied = true;
  }
  return 0;
}

void removeNode(btree_t* tree, NodeNumber node) {
  io_t* io = tree->io.get();
  BTHeaderRec& h = tree->header;
  uint64_t at = btree_map_byte_offset(tree, node);
  if (at == 0) die("removeNode(): Cannot remove node because I can't map it!\n");
  uint8_t byte = 0;
  if (!io_read(io, at, 1, &byte)) die("removeNode():%d: io_read error\n", __LINE__);
  uint8_t mask = static_cast<uint8_t>(0x80u >> (node % 8));
  if (byte & mask) {  // a node already free is not counted twice
    byte = static_cast<uint8_t>(byte & ~mask);
    ++h.freeNodes;
  }

  BTNodeDescriptor d = btree_read_BTNodeDescriptor_or_die(tree, node);
  if (node == h.rootNode) {
    h.rootNode = 0;
    h.treeDepth = 0;
  }
  if (node == h.firstLeafNode) h.firstLeafNode = d.fLink;
  if (node == h.lastLeafNode) h.lastLeafNode = d.bLink;
  if (d.bLink != 0) {
    BTNodeDescriptor prev = btree_read_BTNodeDescriptor_or_die(tree, d.bLink);
    prev.fLink = d.fLink;
    if (!btree_write_BTNodeDescriptor(tree, d.bLink, prev))
      die("removeNode():%d: btree_write_BTNodeDescriptor error\n", 622);
  }
  if (d.fLink != 0) {
    BTNodeDescriptor next = btree_read_BTNodeDescriptor_or_die(tree, d.fLink);
    next.bLink = d.bLink;
    if (!btree_write_BTNodeDescriptor(tree, d.fLink, next))
      die("removeNode():%d: btree_write_BTNodeDescriptor error\n", 630);
  }
  if (!io_write(io, at, 1, &byte)) die("removeNode():%d: io_write error\n", 635);
  if (!writeBTHeaderRec(tree)) die("removeNode():%d: writeBTHeaderRec error\n", 636);
}

}  // namespace volpack
