// Removal: delete a record, free the nodes it empties, and keep every index
// record equal to its child's first key. Nodes are never merged and the tree
// never loses height. When a rewritten index key needs more room than its node
// has, the node is split and the whole removal runs again.
#include "hfs/btree.h"
#include "hfs/btree_internal.h"
#include "io/bytes.h"
#include "io/run_context.h"

namespace volpack {

namespace {

// Deletes record `index` of `node`: the records after it move up over it and
// their slots one place towards the node's end.
status delete_record(btree_t* tree, NodeNumber node, const BTNodeDescriptor& desc, uint16_t index) {
  if (index + 1 >= desc.numRecords) return status::ok();  // the last record's slot becomes the free-space slot
  uint64_t at, next;
  VOLPACK_ASSIGN_OR_RETURN(at, btree_get_record_offset(tree, node, index));
  VOLPACK_ASSIGN_OR_RETURN(next, btree_get_record_offset(tree, node, static_cast<uint16_t>(index + 1)));
  return moveRecordsDown(tree, desc, static_cast<uint16_t>(index + 1), node, -static_cast<int>(next - at), -1);
}

constexpr const char* kRemove = "btree_do_remove_or_die";

}  // namespace

status btree_remove(btree_t* tree, const btree_key_t& key) {
  bool retry;
  do {
    retry = false;
    if (tree->header.rootNode == 0) return status::ok();  // empty tree: node 0 is the header node
    NodeNumber sibling;
    VOLPACK_ASSIGN_OR_RETURN(sibling, btree_do_remove(tree, tree->header.rootNode, key, &retry, nullptr));
    if (sibling != 0) VOLPACK_RETURN_IF_ERROR(btree_increase_height(tree, sibling));
  } while (retry);
  return status::ok();
}

result<NodeNumber> btree_do_remove(btree_t* tree, NodeNumber node, const btree_key_t& key, bool* retry,
                                   bool* emptied) {
  io_t* io = tree->io.get();
  BTNodeDescriptor desc;
  VOLPACK_ASSIGN_OR_RETURN(desc, btree_read_descriptor(tree, node));
  uint64_t free_bytes;
  VOLPACK_ASSIGN_OR_RETURN(free_bytes, btree_get_free_space(tree, node, desc));
  if (emptied != nullptr) *emptied = false;
  if (desc.numRecords == 0) {
    if (tree->reporter != nullptr)
      tree->reporter->warnf("btree_do_remove_or_die(): WARNING: running into undefined behaviour!\n");
    return NodeNumber{0};
  }

  const bool leaf = desc.kind == kBTLeafNode;
  bool exact = false;
  bool have_last = false;
  uint16_t i = 0;
  uint16_t j = 0;  // the record the descent goes through: the equal key, or the last one before
  for (; i < desc.numRecords; ++i) {
    uint64_t offset;
    VOLPACK_ASSIGN_OR_RETURN(offset, btree_get_record_offset(tree, node, i));
    std::unique_ptr<btree_key_t> record_key;
    VOLPACK_ASSIGN_OR_RETURN(record_key, btree_read_key(tree, offset, io, kRemove, msgno::kRemoveScan));
    int c = tree->callbacks->btree_compare(*record_key, key);
    if (c == 0) {
      exact = true;
      j = i;
      break;
    }
    if (c > 0) {
      if (!have_last || leaf) return NodeNumber{0};  // the key is not in the tree
      j = static_cast<uint16_t>(i - 1);
      break;
    }
    have_last = true;
  }
  if (i == desc.numRecords) {
    if (leaf) return NodeNumber{0};
    i = j = static_cast<uint16_t>(desc.numRecords - 1);
  }

  if (leaf) {
    VOLPACK_RETURN_IF_ERROR(delete_record(tree, node, desc, i));
    --desc.numRecords;
    --tree->header.leafRecords;
    if (!btree_write_BTNodeDescriptor(tree, node, desc))
      return status_errorf("%s():%d: btree_write_BTNodeDescriptor error\n", kRemove, msgno::kRemoveWriteLeaf);
    if (!writeBTHeaderRec(tree))
      return status_errorf("%s():%d: writeBTHeaderRec error\n", kRemove, msgno::kRemoveWriteHeader);
    if (desc.numRecords == 0) {
      VOLPACK_RETURN_IF_ERROR(removeNode(tree, node));
      if (emptied != nullptr) *emptied = true;
    }
    return NodeNumber{0};
  }

  uint64_t j_offset;
  VOLPACK_ASSIGN_OR_RETURN(j_offset, btree_get_record_offset(tree, node, j));
  std::unique_ptr<btree_key_t> j_key;
  VOLPACK_ASSIGN_OR_RETURN(j_key, btree_read_key(tree, j_offset, io, kRemove, msgno::kRemoveChildKey));
  NodeNumber child;
  VOLPACK_ASSIGN_OR_RETURN(child, getNodeNumberFromPointerRecord(j_offset + j_key->key_length() + 2, io));
  bool child_emptied = false;
  NodeNumber child_split;
  VOLPACK_ASSIGN_OR_RETURN(child_split, btree_do_remove(tree, child, key, retry, &child_emptied));

  if (child_emptied) {
    VOLPACK_RETURN_IF_ERROR(delete_record(tree, node, desc, j));
    --desc.numRecords;
    if (!btree_write_BTNodeDescriptor(tree, node, desc))
      return status_errorf("%s():%d: btree_write_BTNodeDescriptor error\n", kRemove, msgno::kRemoveWriteIndex);
  } else if (exact) {
    // Record j carried the removed key; it takes the child's new first key.
    uint64_t child_first;
    VOLPACK_ASSIGN_OR_RETURN(child_first, btree_get_record_offset(tree, child, 0));
    std::unique_ptr<btree_key_t> first;
    VOLPACK_ASSIGN_OR_RETURN(first, btree_read_key(tree, child_first, io, kRemove, msgno::kRemoveFirstKey));
    int delta = static_cast<int>(first->key_length()) - static_cast<int>(j_key->key_length());
    VOLPACK_ASSIGN_OR_RETURN(free_bytes, btree_get_free_space(tree, node, desc));
    if (delta > 0 && static_cast<uint64_t>(delta) > free_bytes) {
      // A child that split has kept its first key, so nothing is pending
      // here but the longer key: split, and let the rerun rewrite it.
      *retry = true;
      return splitNode(tree, node, &desc);
    }
    if (delta != 0) VOLPACK_RETURN_IF_ERROR(moveRecordsDown(tree, desc, static_cast<uint16_t>(j + 1), node, delta, 0));
    if (!tree->callbacks->btree_write_key(j_offset, io, *first))
      return status_errorf("%s():%d: btree_write_key error\n", kRemove, msgno::kRemoveRewriteKey);
    if (!btree_write_u32(io, j_offset + first->key_length() + 2, child))
      return status_errorf("%s():%d: io_write error\n", kRemove, msgno::kRemoveRewritePointer);
  }

  if (child_split != 0) {
    uint64_t split_first;
    VOLPACK_ASSIGN_OR_RETURN(split_first, btree_get_record_offset(tree, child_split, 0));
    std::unique_ptr<btree_key_t> split_key;
    VOLPACK_ASSIGN_OR_RETURN(split_key, btree_read_key(tree, split_first, io, kRemove, msgno::kRemoveSplitKey));
    uint8_t pointer[4];
    put_be32(pointer, child_split);
    uint32_t item = split_key->key_length() + 8u;
    VOLPACK_ASSIGN_OR_RETURN(free_bytes, btree_get_free_space(tree, node, desc));
    if (free_bytes >= item) {
      VOLPACK_RETURN_IF_ERROR(doAddRecord(tree, node, *split_key, 4, pointer));
      return NodeNumber{0};
    }
    btree_split_t split;
    VOLPACK_ASSIGN_OR_RETURN(split, btree_choose_split(tree, node, desc, j + 1u, i >= desc.numRecords / 2, item));
    NodeNumber sibling;
    VOLPACK_ASSIGN_OR_RETURN(sibling, splitNode(tree, node, &desc, split.keep));
    VOLPACK_RETURN_IF_ERROR(doAddRecord(tree, split.into_new ? sibling : node, *split_key, 4, pointer));
    return sibling;
  }

  if (desc.numRecords == 0) {
    VOLPACK_RETURN_IF_ERROR(removeNode(tree, node));
    if (emptied != nullptr) *emptied = true;
  }
  return NodeNumber{0};
}

status removeNode(btree_t* tree, NodeNumber node) {
  io_t* io = tree->io.get();
  BTHeaderRec& h = tree->header;
  uint64_t at;
  VOLPACK_ASSIGN_OR_RETURN(at, btree_map_byte_offset(tree, node));
  if (at == 0) return status_errorf("removeNode(): Cannot remove node because I can't map it!\n");
  uint8_t byte = 0;
  if (!io_read(io, at, 1, &byte)) return status_errorf("removeNode():%d: io_read error\n", msgno::kRemoveNodeReadMap);
  uint8_t mask = static_cast<uint8_t>(0x80u >> (node % 8));
  if (byte & mask) {  // a node already free is not counted twice
    byte = static_cast<uint8_t>(byte & ~mask);
    ++h.freeNodes;
  }

  BTNodeDescriptor d;
  VOLPACK_ASSIGN_OR_RETURN(d, btree_read_descriptor(tree, node));
  if (node == h.rootNode) {
    h.rootNode = 0;
    h.treeDepth = 0;
  }
  if (node == h.firstLeafNode) h.firstLeafNode = d.fLink;
  if (node == h.lastLeafNode) h.lastLeafNode = d.bLink;
  if (d.bLink != 0) {
    BTNodeDescriptor prev;
    VOLPACK_ASSIGN_OR_RETURN(prev, btree_read_descriptor(tree, d.bLink));
    prev.fLink = d.fLink;
    if (!btree_write_BTNodeDescriptor(tree, d.bLink, prev))
      return status_errorf("removeNode():%d: btree_write_BTNodeDescriptor error\n", msgno::kRemoveNodeLinkPrev);
  }
  if (d.fLink != 0) {
    BTNodeDescriptor next;
    VOLPACK_ASSIGN_OR_RETURN(next, btree_read_descriptor(tree, d.fLink));
    next.bLink = d.bLink;
    if (!btree_write_BTNodeDescriptor(tree, d.fLink, next))
      return status_errorf("removeNode():%d: btree_write_BTNodeDescriptor error\n", msgno::kRemoveNodeLinkNext);
  }
  if (!io_write(io, at, 1, &byte)) return status_errorf("removeNode():%d: io_write error\n", msgno::kRemoveNodeWriteMap);
  if (!writeBTHeaderRec(tree))
    return status_errorf("removeNode():%d: writeBTHeaderRec error\n", msgno::kRemoveNodeWriteHeader);
  return status::ok();
}

}  // namespace volpack
