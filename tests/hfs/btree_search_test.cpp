// Search over hand-built trees: the four outcomes and the failures.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "hfs/btree.h"
#include "support/btree_mem.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::FaultIo;
using test::MemTree;

constexpr uint16_t kNode = 512;

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

}  // namespace
}  // namespace volpack
