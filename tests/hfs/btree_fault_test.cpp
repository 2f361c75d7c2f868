// Fault injection: every read and every write of an insertion or removal
// fails in turn (once, and from then on). Each run must either fail naming
// the failed transfer, or succeed with the key in (or out of)
// a sound tree: a failed read is never taken for success.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>

#include "hfs/btree.h"
#include "hfs/btree_cache.h"
#include "support/btree_check.h"
#include "support/btree_mem.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::FaultIo;
using test::MemTree;

constexpr uint16_t kNode = 512;

// What the engine says of a failed transfer: the routine, its message number
// and the step that failed. Anything else (a corrupt-tree message, say) means
// a failed read was taken for data.
const std::regex kTransferFailure(
    "[A-Za-z_]+\\(\\):[0-9]+: (io_read|io_write|btree_read_key|btree_write_key|btree_read_BTNodeDescriptor|"
    "btree_write_BTNodeDescriptor|writeBTHeaderRec) error\n");

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
status run(const Scenario& s, size_t cache_nodes, FaultIo::Op op, uint64_t k, bool persistent,
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
  t.fault->arm(FaultIo::Op::kNone, 0);
  // Failed or not, what the cache gives is what the file holds.
  std::vector<uint8_t> node(kNode);
  for (size_t n = 0; cache_nodes != 0 && n < t.bytes.size() / kNode; ++n) {
    EXPECT_TRUE(io_read(t.tree.io.get(), n * kNode, kNode, node.data()));
    EXPECT_TRUE(std::equal(node.begin(), node.end(), t.bytes.begin() + n * kNode)) << "node " << n;
  }
  if (!result) {
    EXPECT_TRUE(std::regex_match(result.message(), kTransferFailure)) << "not a transfer failure: " << result.message();
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
    ASSERT_TRUE(run(s, cache_nodes, FaultIo::Op::kNone, 0, false, &reads, &writes));
    size_t failed_writes = 0;
    for (FaultIo::Op op : {FaultIo::Op::kRead, FaultIo::Op::kWrite}) {
      const uint64_t n = op == FaultIo::Op::kRead ? reads : writes;
      for (uint64_t k = 1; k <= n; ++k) {
        for (bool persistent : {false, true}) {
          SCOPED_TRACE((op == FaultIo::Op::kRead ? "read " : "write ") + std::to_string(k) +
                       (persistent ? " and later" : ""));
          status r = run(s, cache_nodes, op, k, persistent);
          if (op == FaultIo::Op::kWrite && !r) ++failed_writes;
        }
      }
    }
    // Every write is needed: none can fail unnoticed.
    EXPECT_EQ(failed_writes, 2 * writes);
  }
}

}  // namespace
}  // namespace volpack
