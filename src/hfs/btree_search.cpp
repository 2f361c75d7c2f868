// Search: descend from the root to the leaf where a key belongs.
#include "hfs/btree.h"
#include "hfs/btree_cache.h"
#include "hfs/btree_internal.h"

namespace volpack {

result<std::unique_ptr<btree_record_t>> btree_search(btree_t* tree, const btree_key_t& key, bool* exact,
                                                     NodeNumber* node_out, uint16_t* index_out) {
  if (tree->header.rootNode == 0) {
    // An empty tree: node 0 is the header node, which holds no keys.
    if (exact != nullptr) *exact = false;
    if (node_out != nullptr) *node_out = 0;
    if (index_out != nullptr) *index_out = 0;
    return std::unique_ptr<btree_record_t>();
  }
  return searchNode(tree, tree->header.rootNode, key, exact, node_out, index_out);
}

result<std::unique_ptr<btree_record_t>> searchNode(btree_t* tree, NodeNumber node, const btree_key_t& key,
                                                   bool* exact, NodeNumber* node_out, uint16_t* index_out) {
  // A tree is no deeper than it has nodes; a longer descent runs in a loop.
  for (uint32_t depth = 0; depth <= tree->header.totalNodes; ++depth) {
    BTNodeDescriptor desc;
    VOLPACK_ASSIGN_OR_RETURN(desc, btree_read_descriptor(tree, node));
    io_t* io = tree->io.get();
    const BTreeCallbacks* cb = tree->callbacks;
    auto set_outputs = [&](uint16_t index, bool found) {
      if (node_out != nullptr) *node_out = node;
      if (index_out != nullptr) *index_out = index;
      if (exact != nullptr) *exact = found;
    };

    // A node's keys are in order: halving finds the equal key or the first
    // one ordering after it; the last one found before it is the record to
    // descend through.
    bool have_last = false;
    bool equal = false;
    uint64_t last = 0;  // data position of the last record ordering before the key, or of the equal one
    uint16_t lo = 0, hi = desc.numRecords;
    while (lo < hi) {
      uint16_t mid = static_cast<uint16_t>(lo + (hi - lo) / 2);
      uint64_t offset;
      VOLPACK_ASSIGN_OR_RETURN(offset, btree_get_record_offset(tree, node, mid));
      std::unique_ptr<btree_key_t> hold;
      const btree_key_t* record_key;
      VOLPACK_ASSIGN_OR_RETURN(record_key, btree_peek_key(tree, offset, &hold, "searchNode", msgno::kSearchScan));
      uint64_t data = offset + record_key->key_length() + 2;
      int c = cb->btree_compare(*record_key, key);
      if (c > 0) {
        hi = mid;
        continue;
      }
      have_last = true;
      last = data;
      lo = mid;
      if (c == 0) {
        equal = true;
        break;
      }
      lo = static_cast<uint16_t>(mid + 1);
    }
    uint16_t i = lo;

    if (desc.kind != kBTLeafNode && desc.kind != kBTIndexNode) {
      set_outputs(i, false);
      return std::unique_ptr<btree_record_t>();
    }
    if (!have_last) return status_errorf("searchNode(): inconsistent BTree\n");
    if (desc.kind == kBTLeafNode) {
      set_outputs(i, equal);
      return btree_read_data(tree, last, io, "searchNode", msgno::kSearchData);
    }
    VOLPACK_ASSIGN_OR_RETURN(node, getNodeNumberFromPointerRecord(last, io));
  }
  return status_errorf("searchNode(): inconsistent BTree\n");
}

}  // namespace volpack
