// Removal edge cases: freeing the root, the last record of a leaf, index keys
// rewritten at other lengths, emptied leaves unlinked, absent keys.
#include <gtest/gtest.h>

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

MemTree::Records leaf(std::vector<std::string> keys) {
  MemTree::Records r;
  for (const auto& k : keys) r.push_back({k, test::byte_record(k + "!")});
  return r;
}

TEST(BTreeRemove, OnlyRecordOfARootLeafFreesTheRoot) {
  MemTree t(kNode, 4, 1);
  t.add("a", "A");
  t.remove("a");
  const BTHeaderRec& h = t.tree.header;
  EXPECT_EQ(h.rootNode, 0u);
  EXPECT_EQ(h.firstLeafNode, 0u);
  EXPECT_EQ(h.lastLeafNode, 0u);
  EXPECT_EQ(h.leafRecords, 0u);
  EXPECT_EQ(h.treeDepth, 0);
  EXPECT_EQ(h.freeNodes, 3u);
  EXPECT_EQ(t.bytes[248], 0x80);
  EXPECT_SOUND(t);
  EXPECT_EQ(t.search("a"), nullptr);
  const std::vector<uint8_t> empty = t.bytes;
  t.remove("a");  // an absent key in an empty tree changes nothing
  EXPECT_EQ(t.bytes, empty);
  t.add("b", "B");  // a new root leaf, in the node just freed
  EXPECT_EQ(h.rootNode, 1u);
  EXPECT_EQ(h.treeDepth, 1);
  EXPECT_SOUND(t);
}

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

// Root 1 over index nodes 2 and 3 over leaves 4, 5, 6.
class ThreeLevels : public ::testing::Test {
 protected:
  ThreeLevels() : t(kNode, 8, 1) {
    t.put_node(1, kBTIndexNode, 3, 0, 0, {{"c", test::child_pointer(2)}, {"m", test::child_pointer(3)}});
    t.put_node(2, kBTIndexNode, 2, 3, 0, {{"c", test::child_pointer(4)}, {"ffff", test::child_pointer(5)}});
    t.put_node(3, kBTIndexNode, 2, 0, 2, {{"m", test::child_pointer(6)}});
    t.put_node(4, kBTLeafNode, 1, 5, 0, leaf({"c", "cccccc"}));
    t.put_node(5, kBTLeafNode, 1, 6, 4, leaf({"ffff", "fg"}));
    t.put_node(6, kBTLeafNode, 1, 0, 5, leaf({"m", "n"}));
    t.set_shape(1, 3, 4, 6, 6);
  }
  MemTree t;
};

TEST_F(ThreeLevels, FirstKeyOfALeafIsRewrittenAboveAtItsNewLength) {
  ASSERT_EQ(test::btree_check_text(test::btree_check(&t.tree)), "");
  struct Case {
    const char* key;
    std::vector<std::string> root, left;
  } cases[] = {
      {"c", {"cccccc", "m"}, {"cccccc", "ffff"}},  // longer, in two index levels
      {"ffff", {"c", "m"}, {"c", "fg"}},           // shorter, in the lower level only
      {"cccccc", {"c", "m"}, {"c", "ffff"}},       // not a first key: no index change
  };
  const std::vector<uint8_t> start = t.bytes;
  const BTHeaderRec start_header = t.tree.header;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    t.bytes = start;
    t.tree.header = start_header;
    t.remove(c.key);
    EXPECT_EQ(t.keys_of(1), c.root);
    EXPECT_EQ(t.keys_of(2), c.left);
    EXPECT_EQ(t.tree.header.leafRecords, 5u);
    EXPECT_SOUND(t);
  }
}

TEST_F(ThreeLevels, AbsentKeysChangeNothing) {
  const std::vector<uint8_t> start = t.bytes;
  for (const char* k : {"a", "d", "fz", "z", "cccc"}) {
    t.remove(k);
    EXPECT_EQ(t.bytes, start) << k;
  }
}

TEST(BTreeRemove, OnlyRecordOfALeafFreesAndUnlinksIt) {
  struct Case {
    const char* key;
    NodeNumber freed, first, last;
    std::vector<std::string> root;
  } cases[] = {
      {"b", 2, 3, 4, {"m", "t"}},
      {"m", 3, 2, 4, {"b", "t"}},
      {"t", 4, 2, 3, {"b", "m"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    MemTree t(kNode, 8, 1);
    t.put_node(1, kBTIndexNode, 2, 0, 0,
               {{"b", test::child_pointer(2)}, {"m", test::child_pointer(3)}, {"t", test::child_pointer(4)}});
    t.put_node(2, kBTLeafNode, 1, 3, 0, leaf({"b"}));
    t.put_node(3, kBTLeafNode, 1, 4, 2, leaf({"m"}));
    t.put_node(4, kBTLeafNode, 1, 0, 3, leaf({"t"}));
    t.set_shape(1, 2, 2, 4, 3);
    uint32_t free_before = t.tree.header.freeNodes;
    t.remove(c.key);
    EXPECT_EQ(t.tree.header.firstLeafNode, c.first);
    EXPECT_EQ(t.tree.header.lastLeafNode, c.last);
    EXPECT_EQ(t.tree.header.leafRecords, 2u);
    EXPECT_EQ(t.tree.header.freeNodes, free_before + 1);
    EXPECT_EQ(t.bytes[248] & (0x80 >> c.freed), 0);
    EXPECT_EQ(t.keys_of(1), c.root);
    EXPECT_SOUND(t);  // sibling links repaired
  }
}

TEST(BTreeRemove, RemovingAndAddingTheSameKeyKeepsTheCount) {
  MemTree t(kNode, 4, 1);
  for (int i = 0; i < 40; ++i) t.add("key" + std::to_string(i), std::string(30, 'v'));
  for (const char* k : {"key0", "key17", "key9"}) {
    t.remove(k);
    t.add(k, "again");
    EXPECT_EQ(t.tree.header.leafRecords, 40u);
    EXPECT_EQ(t.search(k)->bytes, "again");
  }
  EXPECT_SOUND(t);
}

TEST(BTreeRemove, NodeOutsideTheMapFails) {
  MemTree t(kNode, 4, 1);  // the header's map covers 2048 nodes, no map node follows
  EXPECT_EQ(test::message_of(removeNode(&t.tree, 2048)),
            "removeNode(): Cannot remove node because I can't map it!\n");
}

TEST(BTreeRemove, EmptyNodeWarnsAndChangesNothing) {
  MemTree t(kNode, 4, 1);
  t.put_node(1, kBTLeafNode, 1, 0, 0, {});
  const std::vector<uint8_t> start = t.bytes;
  bool retry = false;
  test::CaptureReporter reporter;
  t.tree.reporter = &reporter;
  EXPECT_EQ(test::ok_value(btree_do_remove(&t.tree, 1, test::ByteKey("a"), &retry, nullptr)), 0u);
  EXPECT_EQ(reporter.text, "btree_do_remove_or_die(): WARNING: running into undefined behaviour!\n");
  EXPECT_EQ(t.bytes, start);
  EXPECT_FALSE(retry);
}

}  // namespace
}  // namespace volpack
