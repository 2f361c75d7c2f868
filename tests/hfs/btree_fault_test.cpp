// Fault injection: every read and every write of an insertion or removal
// fails in turn (once, and from then on). Each run must either fail with one
// of the engine's documented messages, or succeed with the key in (or out of)
// a sound tree: a failed read is never taken for success.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "hfs/btree.h"
#include "hfs/btree_cache.h"
#include "support/btree_check.h"
#include "support/btree_mem.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::FaultTreeFile;
using test::MemTree;

constexpr uint16_t kNode = 512;

// Every message the engine gives for a failed transfer.
const std::set<std::string> kDocumented = {
    "btree_read_BTNodeDescriptor_or_die():28: btree_read_BTNodeDescriptor error\n",
    "btree_get_record_offset_or_die():116: io_read error\n",
    "btree_get_free_space_or_die():136: io_read error\n",
    "getNodeNumberFromPointerRecord():149: io_read error\n",
    "btree_get_new_node_number():48: io_read error\n",
    "btree_get_new_node_number():547: writeBTHeaderRec error\n",
    "btree_get_new_node_number():548: io_write error\n",
    "btree_grow_or_die():449: writeBTHeaderRec error\n",
    "btree_grow_or_die():462: btree_write_BTNodeDescriptor error\n",
    "btree_grow_or_die():467: btree_write_BTNodeDescriptor error\n",
    "btree_grow_or_die():471: io_write error\n",
    "btree_grow_or_die():475: io_write error\n",
    "btree_grow_or_die():479: io_write error\n",
    "btree_grow_or_die():494: io_read error\n",
    "btree_grow_or_die():496: io_write error\n",
    "btree_grow_or_die():510: writeBTHeaderRec error\n",
    "removeNode():149: io_read error\n",
    "removeNode():622: btree_write_BTNodeDescriptor error\n",
    "removeNode():630: btree_write_BTNodeDescriptor error\n",
    "removeNode():635: io_write error\n",
    "removeNode():636: writeBTHeaderRec error\n",
    "splitNode():664: io_read error\n",
    "splitNode():669: io_read error\n",
    "splitNode():691: btree_write_BTNodeDescriptor error\n",
    "splitNode():697: btree_write_BTNodeDescriptor error\n",
    "splitNode():703: btree_write_BTNodeDescriptor error\n",
    "splitNode():705: io_write error\n",
    "splitNode():706: io_write error\n",
    "splitNode():717: writeBTHeaderRec error\n",
    "moveRecordsDown():739: io_read error\n",
    "moveRecordsDown():744: io_read error\n",
    "moveRecordsDown():753: io_write error\n",
    "moveRecordsDown():756: io_write error\n",
    "moveRecordsDown():758: io_write error\n",
    "moveRecordsDown():760: io_write error\n",
    "doAddRecord():805: btree_read_key error\n",
    "doAddRecord():832: btree_write_key error\n",
    "doAddRecord():833: io_write error\n",
    "doAddRecord():837: io_write error\n",
    "doAddRecord():843: btree_write_key error\n",
    "doAddRecord():844: io_write error\n",
    "doAddRecord():849: io_write error\n",
    "doAddRecord():857: btree_write_BTNodeDescriptor error\n",
    "doAddRecord():858: writeBTHeaderRec error\n",
    "btree_increase_height_or_die():879: btree_read_key error\n",
    "btree_increase_height_or_die():880: btree_read_key error\n",
    "btree_increase_height_or_die():895: btree_write_key error\n",
    "btree_increase_height_or_die():897: io_write error\n",
    "btree_increase_height_or_die():899: btree_write_key error\n",
    "btree_increase_height_or_die():902: io_write error\n",
    "btree_increase_height_or_die():905: io_write error\n",
    "btree_increase_height_or_die():908: io_write error\n",
    "btree_increase_height_or_die():911: io_write error\n",
    "btree_increase_height_or_die():913: btree_write_BTNodeDescriptor error\n",
    "btree_increase_height_or_die():914: writeBTHeaderRec error\n",
    "addRecord():966: btree_read_key error\n",
    "addRecord():1016: btree_read_key error\n",
    "addRecord():1044: btree_write_key error\n",
    "addRecord():1045: io_write error\n",
    "addRecord():1061: btree_read_key error\n",
    "btree_add_or_die():1117: btree_write_key error\n",
    "btree_add_or_die():1118: io_write error\n",
    "btree_add_or_die():1121: io_write error\n",
    "btree_add_or_die():1124: io_write error\n",
    "btree_add_or_die():1126: btree_write_BTNodeDescriptor error\n",
    "btree_add_or_die():1127: writeBTHeaderRec error\n",
    "btree_do_remove_or_die():1184: btree_read_key error\n",
    "btree_do_remove_or_die():1202: btree_write_BTNodeDescriptor error\n",
    "btree_do_remove_or_die():1203: writeBTHeaderRec error\n",
    "btree_do_remove_or_die():1256: btree_read_key error\n",
    "btree_do_remove_or_die():1268: btree_write_BTNodeDescriptor error\n",
    "btree_do_remove_or_die():1274: btree_read_key error\n",
    "btree_do_remove_or_die():1292: btree_write_key error\n",
    "btree_do_remove_or_die():1294: io_write error\n",
    "btree_do_remove_or_die():1316: btree_read_key error\n",
};

struct Scenario {
  const char* name;
  uint32_t nodes, clump_nodes;
  std::function<void(MemTree&)> setup;
  bool add;  // insert `key`, else remove it
  std::string key;
};

const std::string kV58(58, 'v');

void fill_seven(MemTree& t) {
  for (int i = 0; i < 7; ++i) t.add("k" + std::to_string(i), kV58);
}
// Leaves 1 (k0 k1 k2) and 2 (k3 .. k7) under root 3.
void two_leaves(MemTree& t) {
  fill_seven(t);
  t.add("k7", kV58);
}
void all_nodes_used(MemTree& t) {
  std::fill(t.bytes.begin() + 248, t.bytes.begin() + 248 + 256, 0xFF);
  t.tree.header.freeNodes = 0;
}
void three_single_leaves(MemTree& t) {
  t.put_node(1, kBTIndexNode, 2, 0, 0,
             {{"b", test::child_pointer(2)}, {"m", test::child_pointer(3)}, {"t", test::child_pointer(4)}});
  t.put_node(2, kBTLeafNode, 1, 3, 0, {{"b", test::byte_record("B")}});
  t.put_node(3, kBTLeafNode, 1, 4, 2, {{"m", test::byte_record("M")}});
  t.put_node(4, kBTLeafNode, 1, 0, 3, {{"t", test::byte_record("T")}});
  t.set_shape(1, 2, 2, 4, 3);
}
void first_key_grows(MemTree& t) {
  t.put_node(1, kBTIndexNode, 2, 0, 0, {{"b", test::child_pointer(2)}, {"m", test::child_pointer(3)}});
  t.put_node(2, kBTLeafNode, 1, 3, 0, {{"b", test::byte_record("B")}, {"bbbb", test::byte_record("B")}});
  t.put_node(3, kBTLeafNode, 1, 0, 2, {{"m", test::byte_record("M")}});
  t.set_shape(1, 2, 2, 3, 3);
}
// A root index node with 133 bytes free whose first key "b" becomes a
// 151-byte key when "b" is removed: the root must split, and the removal rerun.
void root_too_full_for_the_new_key(MemTree& t) {
  MemTree::Records root{{"b", test::child_pointer(2)}};
  for (int c = 0; c < 3; ++c)
    root.push_back({std::string(1, static_cast<char>('c' + c)) + std::string(109, '0'), test::child_pointer(3 + c)});
  t.put_node(1, kBTIndexNode, 2, 0, 0, root);
  t.put_node(2, kBTLeafNode, 1, 3, 0,
             {{"b", test::byte_record("v")}, {"b" + std::string(150, 'x'), test::byte_record("v")}});
  for (int c = 0; c < 3; ++c)
    t.put_node(3 + c, kBTLeafNode, 1, c < 2 ? 4 + c : 0, 2 + c, {{root[1 + c].first, test::byte_record("v")}});
  t.set_shape(1, 2, 2, 5, 5);
}

const Scenario kScenarios[] = {
    {"first record", 4, 1, [](MemTree&) {}, true, "a"},
    {"append", 4, 1, [](MemTree& t) { t.add("a", "A"); }, true, "b"},
    {"insert", 4, 1, [](MemTree& t) { t.add("a", "A"), t.add("c", "C"); }, true, "b"},
    {"root split", 8, 1, fill_seven, true, "k7"},
    {"inner split", 8, 1,
     [](MemTree& t) {
       two_leaves(t);
       for (const char* k : {"k0a", "k0b", "k0c", "k0d"}) t.add(k, kV58);
     },
     true, "k0e"},
    {"new smallest key", 8, 1, two_leaves, true, "a"},
    {"growth", 1, 2, [](MemTree&) {}, true, "a"},
    {"growth with a map node", 2048, 2, all_nodes_used, true, "a"},
    {"remove inside a leaf", 4, 1, [](MemTree& t) { t.add("a", "A"), t.add("b", "B"), t.add("c", "C"); }, false, "b"},
    {"remove the root's only record", 4, 1, [](MemTree& t) { t.add("a", "A"); }, false, "a"},
    {"remove an inner leaf", 8, 1, three_single_leaves, false, "m"},
    {"remove a first key", 8, 1, first_key_grows, false, "b"},
    {"remove, split and retry", 8, 1, root_too_full_for_the_new_key, false, "b"},
};

// Runs the scenario's operation with `op`'s k-th call failing, through a node
// cache of `cache_nodes` nodes (0: none); gives its status.
status run(const Scenario& s, size_t cache_nodes, FaultTreeFile::Op op, uint64_t k, bool persistent,
           uint64_t* reads = nullptr, uint64_t* writes = nullptr) {
  MemTree t(kNode, s.nodes, s.clump_nodes);
  s.setup(t);
  if (cache_nodes != 0) btree_cache_attach(&t.tree, cache_nodes);
  t.fault->arm(op, k, persistent);
  std::vector<uint8_t> data = test::byte_record("value");
  status result = s.add ? btree_add(&t.tree, test::ByteKey(s.key), static_cast<uint16_t>(data.size()), data.data())
                        : btree_remove(&t.tree, test::ByteKey(s.key));
  if (reads != nullptr) *reads = t.fault->reads();
  if (writes != nullptr) *writes = t.fault->writes();
  t.fault->arm(FaultTreeFile::Op::kNone, 0);
  // Failed or not, what the cache gives is what the file holds.
  std::vector<uint8_t> node(kNode);
  for (size_t n = 0; cache_nodes != 0 && n < t.bytes.size() / kNode; ++n) {
    EXPECT_TRUE(io_read(t.tree.io.get(), n * kNode, kNode, node.data()));
    EXPECT_TRUE(std::equal(node.begin(), node.end(), t.bytes.begin() + n * kNode)) << "node " << n;
  }
  if (!result) {
    EXPECT_EQ(kDocumented.count(result.message()), 1u) << "undocumented: " << result.message();
    return result;
  }
  // Success: the change is made and the tree is sound.
  std::vector<test::btree_leaf_record> leaves;
  if (std::string(s.name) != "growth with a map node") {  // (that setup marks unreachable nodes used)
    EXPECT_EQ(test::btree_check_text(test::btree_check(&t.tree, &leaves)), "");
  } else {
    (void)test::btree_check(&t.tree, &leaves);
  }
  bool present = false;
  for (const test::btree_leaf_record& leaf : leaves) {
    auto key = t.tree.callbacks->btree_read_key(leaf.key_offset, t.tree.io.get());
    if (key && key.value() && static_cast<test::ByteKey&>(*key.value()).bytes == s.key) present = true;
  }
  EXPECT_EQ(present, s.add) << "reported success, but the key is " << (s.add ? "missing" : "still there");
  return result;
}

// Every scenario without a cache, and through caches of 2 and 16 nodes.
std::vector<std::pair<Scenario, size_t>> scenarios_with_caches() {
  std::vector<std::pair<Scenario, size_t>> all;
  for (size_t cache_nodes : {0, 2, 16})
    for (const Scenario& s : kScenarios) all.emplace_back(s, cache_nodes);
  return all;
}

TEST(BTreeFault, EveryFailedTransferFailsTheOperationOrLeavesItDone) {
  for (const auto& [s, cache_nodes] : scenarios_with_caches()) {
    SCOPED_TRACE(std::string(s.name) + (cache_nodes != 0 ? ", cached" : ""));
    uint64_t reads = 0, writes = 0;
    ASSERT_TRUE(run(s, cache_nodes, FaultTreeFile::Op::kNone, 0, false, &reads, &writes));
    size_t failed_writes = 0;
    for (FaultTreeFile::Op op : {FaultTreeFile::Op::kRead, FaultTreeFile::Op::kWrite}) {
      const uint64_t n = op == FaultTreeFile::Op::kRead ? reads : writes;
      for (uint64_t k = 1; k <= n; ++k) {
        for (bool persistent : {false, true}) {
          SCOPED_TRACE((op == FaultTreeFile::Op::kRead ? "read " : "write ") + std::to_string(k) +
                       (persistent ? " and later" : ""));
          status r = run(s, cache_nodes, op, k, persistent);
          if (op == FaultTreeFile::Op::kWrite && !r) ++failed_writes;
        }
      }
    }
    // Every write is needed: none can fail unnoticed.
    EXPECT_EQ(failed_writes, 2 * writes);
  }
}

}  // namespace
}  // namespace volpack
