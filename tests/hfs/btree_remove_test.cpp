// Removal edge cases the model-based test does not pin: the bytes left by
// removing a leaf's last record, and the refusals.
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

TEST(BTreeRemove, LastRecordOfALeafOnlyDecreasesItsCount) {
  MemTree t(kNode, 4, 1);
  for (const char* k : {"a", "b", "c"}) t.add(k, k);
  std::vector<uint8_t> before = t.bytes;
  t.remove("c");
  before[kNode + 11] = 2;  // numRecords
  before[14 + 9] = 2;      // leafRecords
  EXPECT_EQ(t.bytes, before);
  // Slot 2, the offset "c" had, is now the free-space slot.
  EXPECT_EQ(btree_get_record_offset_or_die(&t.tree, 1, 2), kNode + 14u + 2 * 6);
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
