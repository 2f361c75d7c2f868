// Insertion and removal edge cases the model-based test does not pin: the
// first record's bytes, splits by record count and the new root, node
// allocation, tree growth and map nodes, the bytes left by removing a leaf's
// last record, and the refusals. (Sibling links, index keys, present and
// absent keys, emptied leaves and a freed root are judged after every
// operation of the model-based test by the structural checker.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hfs/btree.h"
#include "hfs/btree_internal.h"
#include "support/btree_check.h"
#include "support/btree_mem.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::MemTree;

constexpr uint16_t kNode = 512;

#define EXPECT_SOUND(t) EXPECT_EQ(test::btree_check_text(test::btree_check(&(t).tree)), "")

TEST(BTreeInsert, FirstRecordMakesALeafRoot) {
  MemTree t(kNode, 4, 1);
  t.add("a", "A");
  const BTHeaderRec& h = t.tree.header;
  EXPECT_EQ(h.rootNode, 1u);
  EXPECT_EQ(h.firstLeafNode, 1u);
  EXPECT_EQ(h.lastLeafNode, 1u);
  EXPECT_EQ(h.leafRecords, 1u);
  EXPECT_EQ(h.treeDepth, 1);
  EXPECT_EQ(h.freeNodes, 2u);
  // Node 1: leaf descriptor, key 00 01 'a', data 00 01 'A' unpadded, offsets 14 and 20.
  const uint8_t* n = t.bytes.data() + kNode;
  const uint8_t head[20] = {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 1, 0, 1, 0, 0, 0, 1, 'a', 0, 1, 'A'};
  EXPECT_EQ(0, std::memcmp(n, head, sizeof head));
  const uint8_t tail[4] = {0, 20, 0, 14};
  EXPECT_EQ(0, std::memcmp(n + kNode - 4, tail, 4));
  EXPECT_EQ(t.bytes[248], 0xC0);  // nodes 0 and 1 in use
  EXPECT_SOUND(t);
}

// Seven records of 64 bytes (key "kN", 58-byte value) fill a 512-byte leaf:
// 7 x 66 = 462 of 496 bytes, so an eighth record splits it.
void fill_seven(MemTree& t) {
  for (int i = 0; i < 7; ++i) t.add("k" + std::to_string(i), std::string(58, 'v'));
  ASSERT_EQ(t.desc(1).numRecords, 7);
}

TEST(BTreeInsert, SplitOfSevenKeepsThreeAndMovesFour) {
  struct Case {
    const char* key;
    std::vector<std::string> left, right;
  } cases[] = {
      {"k3a", {"k0", "k1", "k2"}, {"k3", "k3a", "k4", "k5", "k6"}},  // position 4: new node
      {"k2a", {"k0", "k1", "k2"}, {"k2a", "k3", "k4", "k5", "k6"}},  // position 3: new node
      {"k1a", {"k0", "k1", "k1a", "k2"}, {"k3", "k4", "k5", "k6"}},  // position 2: stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    MemTree t(kNode, 8, 1);
    fill_seven(t);
    t.add(c.key, std::string(58, 'v'));
    EXPECT_EQ(t.keys_of(1), c.left);
    EXPECT_EQ(t.keys_of(2), c.right);
    // The root leaf split: a new index root of height 2 over both halves.
    const BTHeaderRec& h = t.tree.header;
    EXPECT_EQ(h.rootNode, 3u);
    EXPECT_EQ(h.treeDepth, 2);
    EXPECT_EQ(h.firstLeafNode, 1u);
    EXPECT_EQ(h.lastLeafNode, 2u);
    BTNodeDescriptor root = t.desc(3);
    EXPECT_EQ(root.kind, kBTIndexNode);
    EXPECT_EQ(root.height, 2);
    EXPECT_EQ(root.numRecords, 2);
    EXPECT_EQ(t.keys_of(3), (std::vector<std::string>{"k0", c.right[0]}));
    // Index records are the key and the child number: 2 + 2 + 4 bytes and so on.
    uint64_t second = test::ok_value(btree_get_record_offset(&t.tree, 3, 1)) - 3u * kNode;
    EXPECT_EQ(second, 14u + 2 + 2 + 4);
    EXPECT_EQ(test::ok_value(getNodeNumberFromPointerRecord(3u * kNode + 14 + 4, t.tree.io.get())), 1u);
    EXPECT_SOUND(t);
  }
}

TEST(BTreeInsert, AllocationTakesTheLowestFreeNodeAndGrowsWhenNoneIsLeft) {
  MemTree t(kNode, 16, 1);
  for (NodeNumber want : {1u, 2u, 3u}) EXPECT_EQ(test::ok_value(btree_get_new_node_number(&t.tree)), want);
  EXPECT_EQ(t.bytes[248], 0xF0);
  EXPECT_TRUE(removeNode(&t.tree, 2));
  EXPECT_EQ(t.bytes[248], 0xD0);
  EXPECT_EQ(t.tree.header.freeNodes, 13u);
  for (NodeNumber want : {2u, 4u}) EXPECT_EQ(test::ok_value(btree_get_new_node_number(&t.tree)), want);
  EXPECT_EQ(t.tree.header.freeNodes, 11u);

  MemTree g(kNode, 2, 3);  // header and one free node; clump of three nodes
  g.add("a", "A");
  EXPECT_EQ(test::ok_value(btree_get_new_node_number(&g.tree)), 2u);  // old totalNodes
  EXPECT_EQ(g.tree.header.totalNodes, 5u);
  EXPECT_EQ(g.tree.header.freeNodes, 2u);
  EXPECT_EQ(g.bytes.size(), 5u * kNode);
  EXPECT_EQ(g.file->growths, 1u);

  // Growth that only made a map node (2048) grows again.
  MemTree m(kNode, 2048, 1);
  std::fill(m.bytes.begin() + 248, m.bytes.begin() + 248 + 256, 0xFF);  // every node in use
  m.tree.header.freeNodes = 0;
  EXPECT_EQ(test::ok_value(btree_get_new_node_number(&m.tree)), 2049u);
  EXPECT_EQ(m.tree.header.totalNodes, 2050u);
  EXPECT_EQ(m.tree.header.freeNodes, 0u);
  EXPECT_EQ(m.desc(0).fLink, 2048u);
}

TEST(BTreeInsert, GrowthAddsMapNodesExactlyWhenTheMapRunsOut) {
  // The header's map covers 8 x (512 - 256) = 2048 nodes, a map node 8 x 492 = 3936 more.
  struct Case {
    uint32_t clump_nodes;
    std::vector<NodeNumber> map_nodes;
  } cases[] = {
      {8, {}},                    // 2048 nodes: the header's map still covers them all
      {9, {2040}},                // 2049: one map node, the first new node
      {2048 + 3936 - 2040, {2040}},  // 5984: one map node covers them all
      {2048 + 3936 + 3 - 2040, {2040, 2041}},  // 5987: the last three need a second map node
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clump_nodes);
    MemTree t(kNode, 2040, c.clump_nodes);
    EXPECT_TRUE(btree_grow(&t.tree));
    uint32_t total = 2040 + c.clump_nodes;
    EXPECT_EQ(t.tree.header.totalNodes, total);
    EXPECT_EQ(t.tree.header.freeNodes, total - 1 - c.map_nodes.size());
    NodeNumber m = t.desc(0).fLink;
    for (NodeNumber want : c.map_nodes) {
      EXPECT_EQ(m, want);
      BTNodeDescriptor d = t.desc(want);
      EXPECT_EQ(d.kind, kBTMapNode);
      EXPECT_EQ(d.numRecords, 1);
      m = d.fLink;
    }
    EXPECT_EQ(m, 0u);
    EXPECT_SOUND(t);
    // The map nodes' own bits are set and allocation skips them.
    if (!c.map_nodes.empty()) {
      t.add("a", "A");
      EXPECT_EQ(t.tree.header.rootNode, 1u);
    }
  }
}

TEST(BTreeInsert, AMapWithoutFreeNodeFails) {
  MemTree t(kNode, 16, 1);
  t.bytes[248] = 0xFF, t.bytes[249] = 0xFF;  // freeNodes says 15, the map none
  EXPECT_EQ(test::message_of(btree_get_new_node_number(&t.tree)),
            "btree_get_new_node_number(): ERROR: no free node in the node map\n");
}

TEST(BTreeInsert, RecordLargerThanHalfANodeIsRefused) {
  MemTree t(kNode, 4, 1);
  // 496 / 2 = 248 bytes per record and slot: key 2 + 100, data 2 + 142, slot 2.
  t.add(std::string(100, 'k'), std::string(142, 'v'));
  std::vector<uint8_t> data = test::byte_record(std::string(143, 'v'));
  std::vector<uint8_t> before = t.bytes;
  EXPECT_EQ(test::message_of(btree_add(&t.tree, test::ByteKey(std::string(100, 'j')),
                                       static_cast<uint16_t>(data.size()), data.data())),
            "btree_add_or_die():112: record of 247 bytes too large for node size 512\n");
  EXPECT_EQ(t.bytes, before);  // refused before anything changed
}

// ---- Removal

TEST(BTreeRemove, LastRecordOfALeafOnlyDecreasesItsCount) {
  MemTree t(kNode, 4, 1);
  for (const char* k : {"a", "b", "c"}) t.add(k, k);
  std::vector<uint8_t> before = t.bytes;
  t.remove("c");
  before[kNode + 11] = 2;  // numRecords
  before[14 + 9] = 2;      // leafRecords
  EXPECT_EQ(t.bytes, before);
  // Slot 2, the offset "c" had, is now the free-space slot.
  EXPECT_EQ(test::ok_value(btree_get_record_offset(&t.tree, 1, 2)), kNode + 14u + 2 * 6);
  EXPECT_SOUND(t);
}

TEST(BTreeRemove, NodeOutsideTheMapFails) {
  MemTree t(kNode, 4, 1);  // the header's map covers 2048 nodes, no map node follows
  EXPECT_EQ(test::message_of(removeNode(&t.tree, 2048)),
            "removeNode(): Cannot remove node because I can't map it!\n");
}

}  // namespace
}  // namespace volpack
