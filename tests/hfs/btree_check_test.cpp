// The structural checker must notice each kind of damage it promises to find.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "hfs/btree.h"
#include "support/btree_check.h"
#include "support/btree_mem.h"

namespace volpack {
namespace {

using test::MemTree;

constexpr uint16_t kNode = 512;

// Leaves 1 (k0 k1 k2) and 2 (k3 .. k7) under index root 3.
void build(MemTree& t) {
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
      {"free space in the offsets", [](MemTree& t) { t.bytes[kNode + kNode - 8] = 0x02, t.bytes[kNode + kNode - 7] = 0x00; },
       "runs into its offsets"},
      {"padded index record",
       [](MemTree& t) { t.bytes[3 * kNode + kNode - 4] = 0, t.bytes[3 * kNode + kNode - 3] = 14 + 9; },
       "index node 3 record 0 is 9 bytes"},
      {"file shorter than totalNodes", [](MemTree& t) { t.bytes.resize(t.bytes.size() - kNode); }, "file holds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.damage);
    MemTree t(kNode, 8, 1);
    build(t);
    ASSERT_EQ(test::btree_check_text(test::btree_check(&t.tree)), "");
    c.apply(t);
    std::string found = test::btree_check_text(test::btree_check(&t.tree));
    EXPECT_NE(found.find(c.finding), std::string::npos) << found;
  }
}

}  // namespace
}  // namespace volpack
