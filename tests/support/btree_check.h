// A structural checker for any open B-tree (catalog, extents, test trees).
//
// btree_check walks the whole tree through its file and its callbacks and
// returns one line per broken invariant (empty when the tree is sound):
// - the in-memory header equals the header record in the file, and the file
//   holds totalNodes nodes;
// - the header node and the map nodes have their fixed shapes;
// - from the root, heights fall by one per level to 1 at the leaves, the root's
//   height is treeDepth, index nodes are kind 0 and leaves kind -1, no node is
//   reached twice, and no node is empty;
// - every level is chained left to right by fLink/bLink (0 at both ends); the
//   leaf level runs from firstLeafNode to lastLeafNode;
// - record offsets start at 14, increase, and end (free-space offset) before
//   the offset table; every key lies inside its record; index records are the
//   key and a 4-byte child number, nothing more;
// - keys increase strictly along each level (so within each node and along the
//   leaf chain), and each index record's key is byte for byte its child's first key;
// - leafRecords is the number of leaf records;
// - the map marks exactly the header node, the map nodes and the reachable
//   nodes below totalNodes, nothing beyond, and freeNodes counts its clear bits.
// An empty tree has rootNode, firstLeafNode, lastLeafNode, leafRecords and
// treeDepth 0. The checker only reads, and never ends the process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hfs/btree.h"

namespace volpack {
namespace test {

// A leaf record in key order: where its key and its data lie in the tree file.
struct btree_leaf_record {
  uint64_t key_offset = 0;
  uint64_t data_offset = 0;
  uint32_t data_length = 0;
};

std::vector<std::string> btree_check(btree_t* tree, std::vector<btree_leaf_record>* leaves = nullptr);

// The problems as one text, for test messages.
std::string btree_check_text(const std::vector<std::string>& problems);

}  // namespace test
}  // namespace volpack
