// Fault injection: every write of an operation fails in turn, and each must
// end the process with the message and number of that write, in the order
// the operations write; every read fails in turn, and the messages seen must
// be exactly the documented ones (warnings let the process go on).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "hfs/btree.h"
#include "support/btree_check.h"
#include "support/btree_mem.h"

namespace volpack {
namespace {

using test::FaultTreeFile;
using test::MemTree;

constexpr uint16_t kNode = 512;

using Msgs = std::vector<std::string>;
Msgs operator+(Msgs a, const Msgs& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Write sequences several operations share, as the messages their failures print.
const Msgs kNewNode = {"btree_get_new_node_number():547: writeBTHeaderRec error",
                       "btree_get_new_node_number():548: io_write error"};
const Msgs kFirstRecord = {
    "btree_add_or_die():1117: btree_write_key error", "btree_add_or_die():1118: io_write error",
    "btree_add_or_die():1121: io_write error", "btree_add_or_die():1124: io_write error",
    "btree_add_or_die():1126: btree_write_BTNodeDescriptor error", "btree_add_or_die():1127: writeBTHeaderRec error"};
const Msgs kAddDone = {"doAddRecord():857: btree_write_BTNodeDescriptor error",
                       "doAddRecord():858: writeBTHeaderRec error"};
const Msgs kAppend = Msgs{"doAddRecord():843: btree_write_key error", "doAddRecord():844: io_write error",
                          "doAddRecord():849: io_write error"} + kAddDone;
const Msgs kInsert = Msgs{"moveRecordsDown():753: io_write error", "moveRecordsDown():756: io_write error",
                          "doAddRecord():832: btree_write_key error", "doAddRecord():833: io_write error",
                          "doAddRecord():837: io_write error"} + kAddDone;
const Msgs kSplitTail = {"splitNode():703: btree_write_BTNodeDescriptor error", "splitNode():705: io_write error",
                         "splitNode():706: io_write error"};
const Msgs kNewRoot = kNewNode + Msgs{
    "btree_increase_height_or_die():895: btree_write_key error", "btree_increase_height_or_die():897: io_write error",
    "btree_increase_height_or_die():899: btree_write_key error", "btree_increase_height_or_die():902: io_write error",
    "btree_increase_height_or_die():905: io_write error", "btree_increase_height_or_die():908: io_write error",
    "btree_increase_height_or_die():911: io_write error",
    "btree_increase_height_or_die():913: btree_write_BTNodeDescriptor error",
    "btree_increase_height_or_die():914: writeBTHeaderRec error"};
const Msgs kRemoveDone = {"btree_do_remove_or_die():1202: btree_write_BTNodeDescriptor error",
                          "btree_do_remove_or_die():1203: writeBTHeaderRec error"};
const Msgs kRemove = Msgs{"moveRecordsDown():753: io_write error", "moveRecordsDown():758: io_write error"} + kRemoveDone;
const Msgs kRewriteKey = {"moveRecordsDown():753: io_write error", "moveRecordsDown():760: io_write error",
                          "btree_do_remove_or_die():1292: btree_write_key error",
                          "btree_do_remove_or_die():1294: io_write error"};
const Msgs kFreeNode = {"removeNode():635: io_write error", "removeNode():636: writeBTHeaderRec error"};

struct Scenario {
  const char* name;
  uint32_t nodes, clump_nodes;
  std::function<void(MemTree&)> setup, op;
  Msgs writes;  // the operation's writes, in order
};

void fill_seven(MemTree& t) {
  for (int i = 0; i < 7; ++i) t.add("k" + std::to_string(i), std::string(58, 'v'));
}
// Leaves 1 (k0 k1 k2) and 2 (k3 .. k7) under root 3.
void two_leaves(MemTree& t) {
  fill_seven(t);
  t.add("k7", std::string(58, 'v'));
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
  for (int c = 0; c < 3; ++c) root.push_back({std::string(1, static_cast<char>('c' + c)) + std::string(109, '0'), test::child_pointer(3 + c)});
  t.put_node(1, kBTIndexNode, 2, 0, 0, root);
  t.put_node(2, kBTLeafNode, 1, 3, 0,
             {{"b", test::byte_record("v")}, {"b" + std::string(150, 'x'), test::byte_record("v")}});
  for (int c = 0; c < 3; ++c)
    t.put_node(3 + c, kBTLeafNode, 1, c < 2 ? 4 + c : 0, 2 + c, {{root[1 + c].first, test::byte_record("v")}});
  t.set_shape(1, 2, 2, 5, 5);
}

const std::string kV58(58, 'v');
const Scenario kScenarios[] = {
    {"first record", 4, 1, [](MemTree&) {}, [](MemTree& t) { t.add("a", "A"); }, kNewNode + kFirstRecord},
    {"append", 4, 1, [](MemTree& t) { t.add("a", "A"); }, [](MemTree& t) { t.add("b", "B"); }, kAppend},
    {"insert", 4, 1, [](MemTree& t) { t.add("a", "A"), t.add("c", "C"); }, [](MemTree& t) { t.add("b", "B"); },
     kInsert},
    {"root split", 8, 1, fill_seven, [](MemTree& t) { t.add("k7", kV58); },
     kNewNode + Msgs{"splitNode():691: btree_write_BTNodeDescriptor error"} + kSplitTail +
         Msgs{"splitNode():717: writeBTHeaderRec error"} + kAppend + kNewRoot},
    {"inner split", 8, 1,
     [](MemTree& t) {
       two_leaves(t);
       for (const char* k : {"k0a", "k0b", "k0c", "k0d"}) t.add(k, kV58);
     },
     [](MemTree& t) { t.add("k0e", kV58); },
     kNewNode + Msgs{"splitNode():691: btree_write_BTNodeDescriptor error",
                     "splitNode():697: btree_write_BTNodeDescriptor error"} + kSplitTail + kInsert + kInsert},
    {"new smallest key", 8, 1, two_leaves, [](MemTree& t) { t.add("a", "A"); },
     Msgs{"moveRecordsDown():753: io_write error", "moveRecordsDown():760: io_write error",
          "addRecord():1044: btree_write_key error", "addRecord():1045: io_write error"} + kInsert},
    {"growth", 1, 2, [](MemTree&) {}, [](MemTree& t) { t.add("a", "A"); },
     Msgs{"btree_grow_or_die():449: writeBTHeaderRec error"} + kNewNode + kFirstRecord},
    {"growth with a map node", 2048, 2, all_nodes_used, [](MemTree& t) { t.add("a", "A"); },
     Msgs{"btree_grow_or_die():462: btree_write_BTNodeDescriptor error",
          "btree_grow_or_die():467: btree_write_BTNodeDescriptor error", "btree_grow_or_die():471: io_write error",
          "btree_grow_or_die():475: io_write error", "btree_grow_or_die():479: io_write error",
          "btree_grow_or_die():496: io_write error", "btree_grow_or_die():510: writeBTHeaderRec error"} +
         kNewNode + kFirstRecord},
    {"remove inside a leaf", 4, 1, [](MemTree& t) { t.add("a", "A"), t.add("b", "B"), t.add("c", "C"); },
     [](MemTree& t) { t.remove("b"); }, kRemove},
    {"remove the root's only record", 4, 1, [](MemTree& t) { t.add("a", "A"); }, [](MemTree& t) { t.remove("a"); },
     kRemoveDone + kFreeNode},
    {"remove an inner leaf", 8, 1, three_single_leaves, [](MemTree& t) { t.remove("m"); },
     kRemoveDone +
         Msgs{"removeNode():622: btree_write_BTNodeDescriptor error",
              "removeNode():630: btree_write_BTNodeDescriptor error"} +
         kFreeNode +
         Msgs{"moveRecordsDown():753: io_write error", "moveRecordsDown():758: io_write error",
              "btree_do_remove_or_die():1268: btree_write_BTNodeDescriptor error"}},
    {"remove a first key", 8, 1, first_key_grows, [](MemTree& t) { t.remove("b"); }, kRemove + kRewriteKey},
    // The root splits and gets a new root; the rerun rewrites the stale key in the old root, then the new one.
    {"remove, split and retry", 8, 1, root_too_full_for_the_new_key, [](MemTree& t) { t.remove("b"); },
     kRemove + kNewNode + Msgs{"splitNode():691: btree_write_BTNodeDescriptor error"} + kSplitTail + kNewRoot +
         kRewriteKey + kRewriteKey},
};

const Scenario& scenario(const std::string& name) {
  for (const Scenario& s : kScenarios)
    if (name == s.name) return s;
  std::abort();
}

std::string regex_quote(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (std::string("()[]{}.*+?^$|\\").find(c) != std::string::npos) r += '\\';
    r += c;
  }
  return r;
}

// Builds the scenario's tree, arms the fault, and hands the tree to `f`.
template <class F>
void with_tree(const Scenario& s, FaultTreeFile::Op op, uint64_t k, F f) {
  MemTree t(kNode, s.nodes, s.clump_nodes);
  s.setup(t);
  t.fault->arm(op, k);
  f(t);
}

TEST(BTreeFault, EveryWriteFailureEndsWithItsMessageInOrder) {
  for (const Scenario& s : kScenarios) {
    SCOPED_TRACE(s.name);
    // Without faults: the operation makes exactly these writes and leaves a sound tree.
    with_tree(s, FaultTreeFile::Op::kNone, 0, [&](MemTree& t) {
      s.op(t);
      EXPECT_EQ(t.fault->writes(), s.writes.size());
      if (std::string(s.name) != "growth with a map node") {  // (that setup marks unreachable nodes used)
        EXPECT_EQ(test::btree_check_text(test::btree_check(&t.tree)), "");
      }
    });
    for (size_t k = 1; k <= s.writes.size(); ++k)
      with_tree(s, FaultTreeFile::Op::kWrite, k, [&](MemTree& t) {
        EXPECT_EXIT(s.op(t), ::testing::ExitedWithCode(1), "^" + regex_quote(s.writes[k - 1]) + "\n$") << "write " << k;
      });
  }
}

// Replaces the line number after "name():" by N, for checks without a documented number.
std::string without_line(std::string s, const std::string& name) {
  std::string head = name + "():";
  size_t at = s.find(head);
  if (at == std::string::npos) return s;
  size_t from = at + head.size(), to = from;
  while (to < s.size() && s[to] >= '0' && s[to] <= '9') ++to;
  if (to > from) s.replace(from, to - from, "N");
  return s;
}

// Runs `f` in a child process; returns "status:standard error".
std::string run_forked(const std::function<void()>& f) {
  std::fflush(stdout);
  std::fflush(stderr);
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 2);
    f();
    std::fflush(stderr);
    _exit(0);
  }
  close(fds[1]);
  std::string err;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) err.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) + ":" + err;
}

TEST(BTreeFault, EveryReadFailureGivesADocumentedMessage) {
  using Set = std::set<std::string>;  // status:message, numbers of undocumented checks as N
  auto join = [](Set a, const Set& b) { return a.insert(b.begin(), b.end()), a; };
  const Set add = {"0:addRecord(): WARNING: btree_read_BTNodeDescriptor returned NULL\n",
                   "1:btree_get_free_space_or_die():136: io_read error\n",
                   "1:btree_get_record_offset_or_die():116: io_read error\n", "1:addRecord():966: btree_read_key error\n",
                   "0:doAddRecord(): WARNING: btree_read_BTNodeDescriptor returned NULL\n",
                   "1:doAddRecord():805: btree_read_key error\n"};
  const Set remove = {"1:btree_read_BTNodeDescriptor_or_die():28: btree_read_BTNodeDescriptor error\n",
                      "1:btree_get_free_space_or_die():136: io_read error\n",
                      "1:btree_get_record_offset_or_die():116: io_read error\n",
                      "1:btree_do_remove_or_die():1184: btree_read_key error\n",
                      "1:btree_do_remove_or_die():1256: btree_read_key error\n",
                      "1:getNodeNumberFromPointerRecord():149: io_read error\n",
                      "1:moveRecordsDown():739: io_read error\n", "1:moveRecordsDown():744: io_read error\n"};
  const Set split = {"1:splitNode():664: io_read error\n", "1:splitNode():669: io_read error\n",
                     "1:btree_get_new_node_number():N: io_read error\n",
                     "1:btree_increase_height_or_die():879: btree_read_key error\n",
                     "1:btree_increase_height_or_die():880: btree_read_key error\n"};
  struct Case {
    const char* name;
    Set outcomes;
  } cases[] = {
      {"root split", join(add, split)},
      {"new smallest key",
       join(add, {"1:addRecord():1016: btree_read_key error\n", "1:addRecord():1024: btree_read_key error\n",
                  "1:getNodeNumberFromPointerRecord():149: io_read error\n", "1:moveRecordsDown():739: io_read error\n",
                  "1:moveRecordsDown():744: io_read error\n"})},
      {"remove an inner leaf", join(remove, {"1:removeNode():N: io_read error\n"})},
      {"remove, split and retry", join(join(remove, split), {"1:btree_do_remove_or_die():1274: btree_read_key error\n"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Scenario& s = scenario(c.name);
    uint64_t reads = 0;
    with_tree(s, FaultTreeFile::Op::kNone, 0, [&](MemTree& t) {
      s.op(t);
      reads = t.fault->reads();
    });
    Set seen;
    for (uint64_t k = 1; k <= reads; ++k)
      with_tree(s, FaultTreeFile::Op::kRead, k, [&](MemTree& t) {
        std::string outcome = run_forked([&] { s.op(t); });
        seen.insert(without_line(without_line(outcome, "btree_get_new_node_number"), "removeNode"));
      });
    EXPECT_EQ(seen, c.outcomes);
  }
}

}  // namespace
}  // namespace volpack
