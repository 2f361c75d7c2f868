// Insertion edge cases: the first record, duplicates, splits by record count,
// a new root, sibling links, node allocation, tree growth and map nodes.
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

TEST(BTreeInsert, PresentKeyChangesNothing) {
  MemTree t(kNode, 4, 1);
  t.add("b", "B");
  t.add("d", "D");
  const std::vector<uint8_t> before = t.bytes;
  uint64_t writes = t.file->writes;
  for (const char* k : {"b", "d"}) t.add(k, "other");
  EXPECT_EQ(t.bytes, before);
  EXPECT_EQ(t.file->writes, writes);
  EXPECT_EQ(t.tree.header.leafRecords, 2u);
  EXPECT_EQ(t.search("b")->bytes, "B");
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

TEST(BTreeInsert, SplitOfOneRecordKeepsNoneAndMovesIt) {
  MemTree t(kNode, 4, 1);
  t.add("only", "x");
  BTNodeDescriptor d = t.desc(1);
  NodeNumber s = test::ok_value(splitNode(&t.tree, 1, &d));
  EXPECT_EQ(s, 2u);
  EXPECT_EQ(d.numRecords, 0);
  EXPECT_EQ(d.fLink, 2u);
  EXPECT_EQ(t.desc(1).numRecords, 0);
  EXPECT_EQ(t.keys_of(2), std::vector<std::string>{"only"});
  EXPECT_EQ(test::ok_value(btree_get_record_offset(&t.tree, 1, 0)), kNode + 14u);  // node 1's free space starts at 14
  EXPECT_EQ(test::ok_value(btree_get_record_offset(&t.tree, 2, 1)), 2u * kNode + 14 + 6 + 3);
  EXPECT_EQ(t.desc(2).bLink, 1u);
  EXPECT_EQ(t.tree.header.lastLeafNode, 2u);
}

TEST(BTreeInsert, SplittingAnInnerLeafRepairsTheNextLeafsBackLink) {
  MemTree t(kNode, 8, 1);
  fill_seven(t);
  t.add("k7", std::string(58, 'v'));  // leaves 1 (k0..k2) and 2 (k3..k7), root 3
  for (const char* k : {"k0a", "k0b", "k0c", "k0d"}) t.add(k, std::string(58, 'v'));  // leaf 1 full
  ASSERT_EQ(t.desc(1).numRecords, 7);
  t.add("k0e", std::string(58, 'v'));  // splits leaf 1 into 1 and 4
  EXPECT_EQ(t.desc(1).fLink, 4u);
  EXPECT_EQ(t.desc(4).bLink, 1u);
  EXPECT_EQ(t.desc(4).fLink, 2u);
  EXPECT_EQ(t.desc(2).bLink, 4u);
  EXPECT_EQ(t.tree.header.lastLeafNode, 2u);  // not the last leaf: stays
  EXPECT_EQ(t.keys_of(3).size(), 3u);
  EXPECT_SOUND(t);
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

// An index root nearly full of 110-byte keys, and a new smallest key 41 bytes
// longer than its first: the root cannot take the longer key in place.
TEST(BTreeInsert, LongerSmallestKeyInAFullIndexNodeSplitsIt) {
  for (bool child_full : {false, true}) {
    SCOPED_TRACE(child_full);
    MemTree t(kNode, 16, 1);
    MemTree::Records root;
    uint32_t leaf_records = 0;
    for (int c = 0; c < 4; ++c) {
      std::string key = std::string(1, static_cast<char>('b' + c)) + std::string(109, '0');
      root.push_back({key, test::child_pointer(2 + c)});
      MemTree::Records leaf{{key, test::byte_record("v")}};
      if (child_full && c == 0)
        for (char s : {'1', '2'}) leaf.push_back({key.substr(0, 109) + s, test::byte_record(std::string(60, 'v'))});
      leaf_records += static_cast<uint32_t>(leaf.size());
      t.put_node(2 + c, kBTLeafNode, 1, c < 3 ? 3 + c : 0, c > 0 ? 1 + c : 0, leaf);
    }
    t.put_node(1, kBTIndexNode, 2, 0, 0, root);  // 4 x 118 bytes: 24 free
    t.set_shape(1, 2, 2, 5, leaf_records);
    ASSERT_EQ(test::ok_value(btree_get_free_space(&t.tree, 1, t.desc(1))), 24u);
    ASSERT_EQ(test::btree_check_text(test::btree_check(&t.tree)), "");

    std::string smallest = "a" + std::string(150, 'x');
    t.add(smallest, "new");
    EXPECT_SOUND(t);
    EXPECT_EQ(t.tree.header.treeDepth, 3);
    bool exact = false;
    auto r = t.search(smallest, &exact);
    ASSERT_TRUE(r && exact);
    EXPECT_EQ(r->bytes, "new");
    EXPECT_EQ(t.tree.header.leafRecords, leaf_records + 1);
  }
}

}  // namespace
}  // namespace volpack
