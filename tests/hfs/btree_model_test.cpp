// Model-based tests: random insertions and removals on 512-byte nodes with
// keys and records of very different lengths, checked against a std::map and
// against the tree's structural invariants (support/btree_check.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "hfs/btree.h"
#include "hfs/btree_cache.h"
#include "support/btree_check.h"
#include "support/btree_mem.h"

namespace volpack {
namespace {

using test::MemTree;
using Model = std::map<std::string, std::string>;

constexpr uint16_t kNode = 512;

// The whole tree against the model: invariants, every leaf record in order,
// and searches for present keys, absent keys and their neighbours. With a
// node cache, every node read through it is also what the file holds.
void expect_matches(MemTree& t, const Model& model, std::mt19937& rng, const std::string& where) {
  if (t.tree.cache != nullptr) {
    std::vector<uint8_t> node(kNode);
    for (NodeNumber n = 0; n < t.tree.header.totalNodes; ++n) {
      ASSERT_TRUE(io_read(t.tree.io.get(), uint64_t{n} * kNode, kNode, node.data())) << where;
      ASSERT_TRUE(std::equal(node.begin(), node.end(), t.bytes.begin() + n * kNode)) << where << " node " << n;
    }
  }
  std::vector<test::btree_leaf_record> leaves;
  std::vector<std::string> problems = test::btree_check(&t.tree, &leaves);
  ASSERT_TRUE(problems.empty()) << where << "\n" << test::btree_check_text(problems);
  ASSERT_EQ(leaves.size(), model.size()) << where;
  const BTreeCallbacks* cb = t.tree.callbacks;
  io_t* io = t.tree.io.get();
  size_t i = 0;
  for (const auto& [key, value] : model) {
    auto read = cb->btree_read_key(leaves[i].key_offset, io);
    std::unique_ptr<btree_key_t> k = read ? read.take() : nullptr;
    std::unique_ptr<btree_record_t> r = test::ok_value(cb->btree_read_data(leaves[i].data_offset, io, nullptr));
    ASSERT_TRUE(k && r) << where;
    ASSERT_EQ(static_cast<test::ByteKey&>(*k).bytes, key) << where << " record " << i;
    ASSERT_EQ(static_cast<test::ByteRecord&>(*r).bytes, value) << where << " record " << i;
    ASSERT_EQ(leaves[i].data_length, value.size() + 2) << where << " record " << i << " is padded";
    ++i;
  }
  if (model.empty()) {
    EXPECT_EQ(t.search("anything"), nullptr);
    return;
  }
  for (int probe = 0; probe < 4; ++probe) {
    auto it = model.begin();
    std::advance(it, static_cast<long>(rng() % model.size()));
    bool exact = false;
    auto r = t.search(it->first, &exact);
    ASSERT_TRUE(r && exact) << where << " search " << it->first;
    EXPECT_EQ(r->bytes, it->second);
    std::string absent = it->first + "\x01";
    if (model.count(absent)) continue;
    r = t.search(absent, &exact);
    ASSERT_TRUE(r && !exact) << where << " search " << absent;
    EXPECT_EQ(r->bytes, it->second);  // the greatest key before it
  }
}

std::string random_string(std::mt19937& rng, size_t min_len, size_t max_len, char lo = 'a', char hi = 'z') {
  size_t n = min_len + rng() % (max_len - min_len + 1);
  std::string s(n, ' ');
  for (char& c : s) c = static_cast<char>(lo + rng() % (hi - lo + 1));
  return s;
}

struct Mix {
  const char* name;
  uint32_t seed;
  int ops;
  int check_every;
  int insert_percent;  // the rest are removals, of present keys mostly
  size_t max_key, max_value;
  uint32_t initial_nodes, clump_nodes;
  size_t cache_nodes = 0;  // a node cache of this many nodes, or none
};

// One run: `ops` operations of the mix, then the whole tree removed.
void run_mix(const Mix& m, int* max_used = nullptr) {
  MemTree t(kNode, m.initial_nodes, m.clump_nodes);
  if (m.cache_nodes != 0) btree_cache_attach(&t.tree, m.cache_nodes);
  Model model;
  std::mt19937 rng(m.seed);
  std::vector<std::string> keys;  // keys ever inserted, to remove present ones
  auto check = [&](int op) {
    if (max_used) *max_used = std::max<int>(*max_used, static_cast<int>(t.tree.header.totalNodes - t.tree.header.freeNodes));
    if (op % m.check_every == 0) expect_matches(t, model, rng, std::string(m.name) + " op " + std::to_string(op));
  };
  for (int op = 1; op <= m.ops && !testing::Test::HasFatalFailure(); ++op) {
    if (static_cast<int>(rng() % 100) < m.insert_percent) {
      std::string key = random_string(rng, 1, m.max_key);
      if (!keys.empty() && rng() % 10 == 0) key = keys[rng() % keys.size()];  // often present already
      std::string value = random_string(rng, 0, m.max_value, '0', '9');
      t.add(key, value);
      model.emplace(key, value);  // a present key keeps its record
      keys.push_back(key);
    } else {
      std::string key = !keys.empty() && rng() % 8 != 0 ? keys[rng() % keys.size()] : random_string(rng, 1, m.max_key);
      t.remove(key);
      model.erase(key);
    }
    check(op);
  }
  // Empty it again, in random order, down to a tree without root.
  std::vector<std::string> rest;
  for (const auto& kv : model) rest.push_back(kv.first);
  std::shuffle(rest.begin(), rest.end(), rng);
  int op = 0;
  for (const std::string& key : rest) {
    if (testing::Test::HasFatalFailure()) return;
    t.remove(key);
    model.erase(key);
    check(++op);
  }
  expect_matches(t, model, rng, std::string(m.name) + " emptied");
  EXPECT_EQ(t.tree.header.rootNode, 0u);
  // An emptied tree takes records again.
  t.add("again", "1");
  model.emplace("again", "1");
  expect_matches(t, model, rng, std::string(m.name) + " refilled");
}

TEST(BTreeModel, EveryOperationChecked) {
  // Key and value lengths are such that two records of the largest size fill
  // half a node: leaves hold 2 to 20 records, index nodes 3 to 40.
  const Mix mixes[] = {
      {"grow", 1, 1500, 1, 85, 100, 100, 4, 2},
      {"churn", 2, 1500, 1, 55, 60, 120, 2, 1},
      {"short keys", 3, 1500, 1, 70, 8, 30, 8, 3},
      {"churn through a cache of 3 nodes", 4, 1500, 1, 55, 60, 120, 2, 1, 3},
      {"grow through a cache of 64 nodes", 5, 1500, 1, 85, 100, 100, 4, 2, 64},
  };
  for (const Mix& m : mixes) {
    SCOPED_TRACE(m.name);
    run_mix(m);
    if (HasFatalFailure()) return;
  }
}

TEST(BTreeModel, ThousandsOfOperationsPastTheHeaderMap) {
  // The header node of a 512-byte tree maps 2048 nodes; records of ~200 bytes
  // take a node per two or three, so map nodes join the chain.
  int max_used = 0;
  run_mix({"map nodes", 7, 7000, 250, 90, 100, 120, 16, 16}, &max_used);
  EXPECT_GT(max_used, 2048);
}

TEST(BTreeModel, DescendingKeysOfGrowingAndShrinkingLength) {
  // Every key is the new smallest: insertion rewrites the first key of each
  // index node on the leftmost path, longer or shorter than before.
  MemTree t(kNode, 2, 1);
  Model model;
  std::mt19937 rng(11);
  for (int i = 0; i < 1500 && !HasFatalFailure(); ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%06d", 999999 - i);
    std::string key = number + random_string(rng, 0, 110);
    std::string value = random_string(rng, 0, 20, '0', '9');
    t.add(key, value);
    model.emplace(key, value);
    expect_matches(t, model, rng, "descending " + std::to_string(i));
  }
}

TEST(BTreeModel, RemovalThatLengthensIndexKeysSplitsAndRetries) {
  // Each short key "k00042" is followed by a long one "k00042xxx...". Removing
  // the short keys hands their places as first keys of leaves to the long ones,
  // so index records grow until their nodes must split during removal.
  MemTree t(kNode, 2, 1);
  Model model;
  std::mt19937 rng(5);
  std::vector<std::string> shorts;
  for (int i = 0; i < 400; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "k%05d", i);
    std::string s = number, l = s + std::string(110 + rng() % 60, 'x');
    t.add(s, "s");
    t.add(l, "l");
    model.emplace(s, "s");
    model.emplace(l, "l");
    shorts.push_back(s);
  }
  expect_matches(t, model, rng, "filled");
  std::shuffle(shorts.begin(), shorts.end(), rng);
  int grew = 0;
  for (size_t i = 0; i < shorts.size() && !HasFatalFailure(); ++i) {
    uint32_t used = t.tree.header.totalNodes - t.tree.header.freeNodes;
    t.remove(shorts[i]);
    model.erase(shorts[i]);
    // Removal adds nodes only when a rewritten key split its node.
    if (t.tree.header.totalNodes - t.tree.header.freeNodes > used) ++grew;
    expect_matches(t, model, rng, "removed " + shorts[i]);
  }
  EXPECT_GT(grew, 0);
}

}  // namespace
}  // namespace volpack
