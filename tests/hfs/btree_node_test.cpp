// Node access primitives (header round trip, descriptors, record offsets,
// free space, their failure messages), search over hand-built trees, and the
// structural checker the other B-tree tests rely on.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "hfs/btree.h"
#include "hfs/btree_internal.h"
#include "support/btree_check.h"
#include "support/btree_mem.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::FaultIo;
using test::MemTree;

constexpr uint16_t kNode = 512;

TEST(BTreeNode, OpenReadsHeaderAndWritesItBackByteForByte) {
  std::vector<uint8_t> bytes = test::make_tree_file(kNode, 4, 2 * kNode);
  // Header record at file offset 14: treeDepth 0..1, rootNode 2..5, leafRecords
  // 6..9, nodeSize 18..19, totalNodes 22..25, reserved1 30..31, btreeType 36,
  // keyCompareType 37, attributes 38..41, reserved3 42..105.
  uint8_t* h = bytes.data() + 14;
  h[0] = 0x00, h[1] = 0x02;                          // treeDepth 2
  h[2] = 0x00, h[3] = 0x00, h[4] = 0x01, h[5] = 0x02;  // rootNode 258
  h[6] = 0x01, h[7] = 0x02, h[8] = 0x03, h[9] = 0x04;  // leafRecords
  h[30] = 0xAB, h[31] = 0xCD;
  h[36] = 0x7E, h[37] = 0xCF;
  for (int i = 42; i < 106; ++i) h[i] = static_cast<uint8_t>(i);
  const std::vector<uint8_t> before = bytes;

  btree_t tree;
  ASSERT_TRUE(btree_open(&tree, std::make_unique<test::MemIo>(&bytes, false, kNode), &test::byte_key_codec()));
  EXPECT_EQ(tree.header.treeDepth, 2);
  EXPECT_EQ(tree.header.rootNode, 258u);
  EXPECT_EQ(tree.header.leafRecords, 0x01020304u);
  EXPECT_EQ(tree.header.nodeSize, kNode);
  EXPECT_EQ(tree.header.totalNodes, 4u);
  EXPECT_EQ(tree.header.keyCompareType, 0xCF);
  EXPECT_EQ(tree.callbacks, &test::byte_key_codec());
  std::memset(bytes.data() + 14, 0, 106);
  ASSERT_TRUE(writeBTHeaderRec(&tree));
  EXPECT_EQ(bytes, before);
  EXPECT_TRUE(btree_close(&tree));
  EXPECT_EQ(tree.io, nullptr);
}

TEST(BTreeNode, OpenFailsWhenTheHeaderCannotBeRead) {
  std::vector<uint8_t> bytes(20, 0);  // too short for the header record
  btree_t tree;
  EXPECT_FALSE(btree_open(&tree, std::make_unique<test::MemIo>(&bytes, false, kNode), &test::byte_key_codec()));
  EXPECT_EQ(tree.io, nullptr);
  EXPECT_EQ(tree.callbacks, nullptr);
}

TEST(BTreeNode, DescriptorRoundTripAndReadFailure) {
  MemTree t(kNode, 4, 1);
  BTNodeDescriptor d;
  d.fLink = 0x01020304;
  d.bLink = 3;
  d.kind = kBTLeafNode;
  d.height = 1;
  d.numRecords = 0x0102;
  ASSERT_TRUE(btree_write_BTNodeDescriptor(&t.tree, 2, d));
  const uint8_t golden[14] = {1, 2, 3, 4, 0, 0, 0, 3, 0xFF, 1, 1, 2, 0, 0};
  EXPECT_EQ(0, std::memcmp(t.bytes.data() + 2 * kNode, golden, 14));
  auto back = btree_read_BTNodeDescriptor(&t.tree, 2);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->fLink, d.fLink);
  EXPECT_EQ(back->kind, kBTLeafNode);
  EXPECT_EQ(back->numRecords, 0x0102);
  EXPECT_EQ(btree_read_BTNodeDescriptor(&t.tree, 9), nullptr);  // beyond the file
  t.fault->arm(FaultIo::Op::kWrite, 1);
  EXPECT_FALSE(btree_write_BTNodeDescriptor(&t.tree, 2, d));
  EXPECT_TRUE(writeBTHeaderRec(&t.tree));  // the fault fires once
  t.fault->arm(FaultIo::Op::kWrite, 1);
  EXPECT_FALSE(writeBTHeaderRec(&t.tree));
}

TEST(BTreeNode, RecordOffsetsAndFreeSpace) {
  MemTree t(kNode, 4, 1);
  uint8_t* node = t.bytes.data() + 2 * kNode;
  // An empty node: slot 0 (the free-space slot) holds 14.
  node[kNode - 2] = 0, node[kNode - 1] = 14;
  BTNodeDescriptor d;
  EXPECT_EQ(test::ok_value(btree_get_record_offset(&t.tree, 2, 0)), 2u * kNode + 14);
  EXPECT_EQ(test::ok_value(btree_get_free_space(&t.tree, 2, d)), kNode - 16u);
  // Two records at 14 and 100, free space at 200.
  node[kNode - 4] = 0, node[kNode - 3] = 100;
  node[kNode - 6] = 0, node[kNode - 5] = 200;
  d.numRecords = 2;
  EXPECT_EQ(test::ok_value(btree_get_record_offset(&t.tree, 2, 1)), 2u * kNode + 100);
  EXPECT_EQ(test::ok_value(btree_get_record_offset(&t.tree, 2, 2)), 2u * kNode + 200);
  EXPECT_EQ(test::ok_value(btree_get_free_space(&t.tree, 2, d)), kNode - 6u - 200u);
  // A node whose free space reaches its offset table has none.
  node[kNode - 6] = static_cast<uint8_t>((kNode - 6) >> 8), node[kNode - 5] = static_cast<uint8_t>(kNode - 6);
  EXPECT_EQ(test::ok_value(btree_get_free_space(&t.tree, 2, d)), 0u);
  // One past it (corrupt) also has none, not a wrapped huge number.
  node[kNode - 5] = static_cast<uint8_t>(kNode - 4);
  EXPECT_EQ(test::ok_value(btree_get_free_space(&t.tree, 2, d)), 0u);
}

TEST(BTreeNode, ReadFailuresGiveTheirMessages) {
  MemTree t(kNode, 4, 1);
  BTNodeDescriptor d;
  io_t* io = t.tree.io.get();
  t.fault->arm(FaultIo::Op::kRead, 1, true);
  const std::pair<std::string, std::string> cases[] = {
      {test::message_of(btree_read_descriptor(&t.tree, 1)),
       "btree_read_BTNodeDescriptor_or_die():28: btree_read_BTNodeDescriptor error\n"},
      {test::message_of(btree_get_record_offset(&t.tree, 1, 0)), "btree_get_record_offset_or_die():116: io_read error\n"},
      {test::message_of(btree_get_free_space(&t.tree, 1, d)), "btree_get_free_space_or_die():136: io_read error\n"},
      {test::message_of(getNodeNumberFromPointerRecord(600, io)), "getNodeNumberFromPointerRecord():149: io_read error\n"},
      {test::message_of(btree_read_key(&t.tree, 600, io, "catalog_lookup", 42)), "catalog_lookup():42: btree_read_key error\n"},
      {test::message_of(btree_read_data(&t.tree, 600, io, "catalog_lookup", 43)),
       "catalog_lookup():43: btree_read_data error\n"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

// ---- Search

// Root index node 1 over leaves 2 ("b" "d" "f") and 3 ("m" "p").
class SearchTest : public ::testing::Test {
 protected:
  SearchTest() : t(kNode, 8, 1) {
    t.put_node(1, kBTIndexNode, 2, 0, 0, {{"b", test::child_pointer(2)}, {"m", test::child_pointer(3)}});
    t.put_node(2, kBTLeafNode, 1, 3, 0,
             {{"b", test::byte_record("B")}, {"d", test::byte_record("D")}, {"f", test::byte_record("F")}});
    t.put_node(3, kBTLeafNode, 1, 0, 2, {{"m", test::byte_record("M")}, {"p", test::byte_record("P")}});
    t.set_shape(1, 2, 2, 3, 5);
  }
  MemTree t;
};

TEST_F(SearchTest, Outcomes) {
  struct Case {
    const char* key;
    const char* record;
    bool exact;
    NodeNumber node;
    uint16_t index;
  } cases[] = {
      {"d", "D", true, 2, 1},   // present
      {"b", "B", true, 2, 0},   // equal to an index key: descends into its child
      {"m", "M", true, 3, 0},   // same, second child
      {"e", "D", false, 2, 2},  // absent: the neighbour before, the place it would take
      {"g", "F", false, 2, 3},  // after a leaf's last key, before the next leaf's first
      {"z", "P", false, 3, 2},  // after every key: last leaf, index numRecords
  };
  for (const Case& c : cases) {
    bool exact = !c.exact;
    NodeNumber node = 99;
    uint16_t index = 99;
    auto r = t.search(c.key, &exact, &node, &index);
    SCOPED_TRACE(c.key);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->bytes, c.record);
    EXPECT_EQ(exact, c.exact);
    EXPECT_EQ(node, c.node);
    EXPECT_EQ(index, c.index);
  }
  // Out-parameters may be omitted.
  EXPECT_EQ(t.search("p")->bytes, "P");
}


TEST_F(SearchTest, FailuresAreReturnedAndLeaveOutputsAlone) {
  struct Case {
    const char* key;
    uint64_t failing_read;  // 0: none
    const char* message;
  } cases[] = {
      {"a", 0, "searchNode(): inconsistent BTree\n"},  // before every key
      {"d", 1, "btree_read_BTNodeDescriptor_or_die():28: btree_read_BTNodeDescriptor error\n"},
      {"d", 3, "searchNode():42: btree_read_key error\n"},  // descriptor, offset 0, key 0's length
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    if (c.failing_read != 0) t.fault->arm(FaultIo::Op::kRead, c.failing_read);
    bool exact = true;
    NodeNumber node = 77;
    uint16_t index = 66;
    auto r = btree_search(&t.tree, test::ByteKey(c.key), &exact, &node, &index);
    EXPECT_EQ(test::message_of(r), c.message);
    EXPECT_TRUE(exact);
    EXPECT_EQ(node, 77u);
    EXPECT_EQ(index, 66);
    t.fault->arm(FaultIo::Op::kNone, 0);
  }
}

TEST_F(SearchTest, NodeOfAnotherKindGivesNoRecord) {
  t.put_node(3, kBTMapNode, 0, 0, 0, {{"m", test::byte_record("M")}});
  bool exact = true;
  NodeNumber node = 0;
  uint16_t index = 9;
  EXPECT_EQ(t.search("n", &exact, &node, &index), nullptr);
  EXPECT_FALSE(exact);
  EXPECT_EQ(node, 3u);
  EXPECT_EQ(index, 1);
}

// ---- The checker: each kind of damage it promises to find

// Leaves 1 (k0 k1 k2) and 2 (k3 .. k7) under index root 3.
void build_two_leaves(MemTree& t) {
  for (int i = 0; i < 8; ++i) t.add("k" + std::to_string(i), std::string(58, 'v'));
}

void write_header(MemTree& t) { ASSERT_TRUE(writeBTHeaderRec(&t.tree)); }

TEST(BTreeCheck, FindsEachKindOfDamage) {
  struct Case {
    const char* damage;
    std::function<void(MemTree&)> apply;
    const char* finding;
  } cases[] = {
      {"keys out of order", [](MemTree& t) { t.bytes[kNode + 78 + 3] = '2', t.bytes[kNode + 142 + 3] = '1'; },
       "does not order after"},
      {"index key not the child's first key", [](MemTree& t) { t.bytes[3 * kNode + 14 + 8 + 3] = '2'; },
       "index key for node 2 differs"},
      {"broken back link", [](MemTree& t) { t.bytes[2 * kNode + 7] = 0; }, "node 2 links 0<-.->0, expected 1<-.->0"},
      {"leafRecords off", [](MemTree& t) { ++t.tree.header.leafRecords, write_header(t); }, "leafRecords 9"},
      {"used node clear in the map",
       [](MemTree& t) { t.bytes[248] = 0xD0, ++t.tree.header.freeNodes, write_header(t); },
       "map marks node 2 free but it is used"},
      {"freeNodes off", [](MemTree& t) { --t.tree.header.freeNodes, write_header(t); }, "freeNodes"},
      {"stale header in the file", [](MemTree& t) { t.bytes[14 + 9] ^= 1; }, "differs from the tree's header"},
      {"treeDepth off", [](MemTree& t) { ++t.tree.header.treeDepth, write_header(t); }, "expected kind 0 height 3"},
      {"lastLeafNode off", [](MemTree& t) { t.tree.header.lastLeafNode = 1, write_header(t); }, "header says 1..1"},
      {"free space in the offsets",
       [](MemTree& t) { t.bytes[kNode + kNode - 8] = 0x02, t.bytes[kNode + kNode - 7] = 0x00; },
       "runs into its offsets"},
      {"padded index record",
       [](MemTree& t) { t.bytes[3 * kNode + kNode - 4] = 0, t.bytes[3 * kNode + kNode - 3] = 14 + 9; },
       "index node 3 record 0 is 9 bytes"},
      {"file shorter than totalNodes", [](MemTree& t) { t.bytes.resize(t.bytes.size() - kNode); }, "file holds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.damage);
    MemTree t(kNode, 8, 1);
    build_two_leaves(t);
    ASSERT_EQ(test::btree_check_text(test::btree_check(&t.tree)), "");
    c.apply(t);
    std::string found = test::btree_check_text(test::btree_check(&t.tree));
    EXPECT_NE(found.find(c.finding), std::string::npos) << found;
  }
}

}  // namespace
}  // namespace volpack
