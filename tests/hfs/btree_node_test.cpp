// Node access primitives: header round trip, descriptors, record offsets, free
// space, child pointers, and their fatal messages.
#include <gtest/gtest.h>

#include <cstring>

#include "hfs/btree.h"
#include "hfs/btree_internal.h"
#include "support/btree_mem.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::FaultTreeFile;
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
  ASSERT_TRUE(btree_open(&tree, std::make_unique<test::MemTreeFile>(&bytes, kNode), &test::byte_key_codec()));
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
  EXPECT_FALSE(btree_open(&tree, std::make_unique<test::MemTreeFile>(&bytes, kNode), &test::byte_key_codec()));
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
  t.fault->arm(FaultTreeFile::Op::kWrite, 1);
  EXPECT_FALSE(btree_write_BTNodeDescriptor(&t.tree, 2, d));
  EXPECT_TRUE(writeBTHeaderRec(&t.tree));  // the fault fires once
  t.fault->arm(FaultTreeFile::Op::kWrite, 1);
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

TEST(BTreeNode, ChildPointerIsBigEndian) {
  MemTree t(kNode, 4, 1);
  const uint8_t ptr[4] = {0x00, 0x00, 0x01, 0x02};
  std::memcpy(t.bytes.data() + 700, ptr, 4);
  EXPECT_EQ(test::ok_value(getNodeNumberFromPointerRecord(700, t.tree.io.get())), 258u);
  ASSERT_TRUE(btree_write_u32(t.tree.io.get(), 704, 258));
  EXPECT_EQ(0, std::memcmp(t.bytes.data() + 704, ptr, 4));
}

TEST(BTreeNode, ReadFailuresGiveTheirMessages) {
  MemTree t(kNode, 4, 1);
  BTNodeDescriptor d;
  io_t* io = t.tree.io.get();
  t.fault->arm(FaultTreeFile::Op::kRead, 1, true);
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

}  // namespace
}  // namespace volpack
