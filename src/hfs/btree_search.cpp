// Search: descend from the root to the leaf where a key belongs.
#include <cstdio>

#include "hfs/btree.h"
#include "hfs/btree_internal.h"
#include "io/die.h"

namespace volpack {

std::unique_ptr<btree_record_t> btree_search(btree_t* tree, const btree_key_t& key, bool* exact,
                                             NodeNumber* node_out, uint16_t* index_out) {
  if (tree->header.rootNode == 0) {
    // An empty tree: node 0 is the header node, which holds no keys.
    if (exact != nullptr) *exact = false;
    if (node_out != nullptr) *node_out = 0;
    if (index_out != nullptr) *index_out = 0;
    return nullptr;
  }
  return searchNode(tree, tree->header.rootNode, key, exact, node_out, index_out);
}

std::unique_ptr<btree_record_t> searchNode(btree_t* tree, NodeNumber node, const btree_key_t& key, bool* exact,
                                           NodeNumber* node_out, uint16_t* index_out) {
  auto desc = btree_read_BTNodeDescriptor(tree, node);
  if (!desc) {
    std::fprintf(stderr, "searchNode(): WARNING: btree_read_BTNodeDescriptor returned NULL\n");
    return nullptr;
  }
  io_t* io = tree->io.get();
  const BTreeCallbacks* cb = tree->callbacks;
  auto set_outputs = [&](uint16_t index, bool found) {
    if (node_out != nullptr) *node_out = node;
    if (index_out != nullptr) *index_out = index;
    if (exact != nullptr) *exact = found;
  };

  // A node's keys are in order: halving finds the first record that does
  // not order before the key; the last one found before it is the record
  // to descend through.
  bool have_last = false;
  uint64_t last = 0;  // data position of the last record ordering before the key
  uint16_t lo = 0, hi = desc->numRecords;
  while (lo < hi) {
    uint16_t mid = static_cast<uint16_t>(lo + (hi - lo) / 2);
    uint64_t offset = btree_get_record_offset_or_die(tree, node, mid);
    auto record_key = btree_read_key_or_die(tree, offset, io, "searchNode", __LINE__);
    uint64_t data = offset + record_key->key_length() + 2;
    int c = cb->btree_compare(*record_key, key);
    if (c == 0) {
      if (desc->kind == kBTLeafNode) {
        set_outputs(mid, true);
        return cb->btree_read_data(data, io);
      }
      if (desc->kind == kBTIndexNode) {
        NodeNumber child = getNodeNumberFromPointerRecord(data, io);
        return searchNode(tree, child, key, exact, node_out, index_out);
      }
      lo = mid;
      break;  // neither leaf nor index: no child to follow
    }
    if (c < 0) {
      have_last = true;
      last = data;
      lo = static_cast<uint16_t>(mid + 1);
    } else {
      hi = mid;
    }
  }
  uint16_t i = lo;

  if (desc->kind != kBTLeafNode && desc->kind != kBTIndexNode) {
    set_outputs(i, false);
    return nullptr;
  }
  if (!have_last) die("searchNode(): inconsistent BTree\n");
  if (desc->kind == kBTLeafNode) {
    set_outputs(i, false);
    return cb->btree_read_data(last, io);
  }
  NodeNumber child = getNodeNumberFromPointerRecord(last, io);
  return searchNode(tree, child, key, exact, node_out, index_out);
}

}  // namespace volpack
