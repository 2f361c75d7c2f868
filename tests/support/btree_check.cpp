#include "support/btree_check.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "hfs/hfs_format.h"
#include "io/bytes.h"

namespace volpack {
namespace test {

namespace {

class Checker {
 public:
  Checker(btree_t* tree, std::vector<btree_leaf_record>* leaves)
      : tree_(tree), io_(tree->io.get()), h_(tree->header), ns_(h_.nodeSize), leaves_(leaves) {}

  std::vector<std::string> run() {
    if (io_ == nullptr) return {"tree has no file"};
    if (ns_ < 512 || (ns_ & (ns_ - 1)) != 0) return {fmt("nodeSize %u is not a power of two from 512", ns_)};
    check_header();
    check_map_chain();
    if (h_.rootNode == 0)
      check_empty();
    else
      walk();
    check_map_bits();
    return problems_;
  }

 private:
  std::string fmt(const char* f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
  }
  void fail(const std::string& s) {
    if (problems_.size() < 50) problems_.push_back(s);
  }

  bool read_node(NodeNumber n, std::vector<uint8_t>* node) {
    node->assign(ns_, 0);
    if (n >= h_.totalNodes) {
      fail(fmt("node %u beyond totalNodes %u", n, h_.totalNodes));
      return false;
    }
    if (!io_read(io_, static_cast<uint64_t>(n) * ns_, ns_, node->data())) {
      fail(fmt("node %u cannot be read", n));
      return false;
    }
    return true;
  }
  uint16_t slot(const std::vector<uint8_t>& node, uint32_t i) { return get_be16(node.data() + ns_ - 2 * (i + 1)); }

  void check_header() {
    uint8_t disk[kBTHeaderRecSize], mem[kBTHeaderRecSize];
    encode(h_, mem);
    if (!io_read(io_, kBTNodeDescriptorSize, kBTHeaderRecSize, disk))
      fail("header record cannot be read");
    else if (std::memcmp(disk, mem, kBTHeaderRecSize) != 0)
      fail("header record in the file differs from the tree's header");
    uint64_t size = tree_->io->fork_logical_size();
    if (size != static_cast<uint64_t>(h_.totalNodes) * ns_)
      fail(fmt("file holds %llu bytes, totalNodes %u", static_cast<unsigned long long>(size), h_.totalNodes));
    std::vector<uint8_t> node;
    if (!read_node(0, &node)) return;
    BTNodeDescriptor d;
    decode(node.data(), &d);
    if (d.kind != kBTHeaderNode || d.height != 0 || d.numRecords != 3 || d.bLink != 0)
      fail("header node descriptor is not kind 1, height 0, 3 records, bLink 0");
    if (slot(node, 0) != 14 || slot(node, 1) != 120 || slot(node, 2) != 248 || slot(node, 3) != ns_ - 8)
      fail("header node offsets are not 14, 120, 248, nodeSize - 8");
    map_.assign(node.begin() + 248, node.begin() + 248 + (ns_ - 256));
    used_.insert(0);
    first_map_ = d.fLink;
  }

  void check_map_chain() {
    std::set<NodeNumber> seen;
    for (NodeNumber m = first_map_, prev = 0; m != 0;) {
      if (!seen.insert(m).second) {
        fail(fmt("map chain loops at node %u", m));
        return;
      }
      std::vector<uint8_t> node;
      if (!read_node(m, &node)) return;
      BTNodeDescriptor d;
      decode(node.data(), &d);
      if (d.kind != kBTMapNode || d.height != 0 || d.numRecords != 1 || d.bLink != 0)
        fail(fmt("map node %u (after %u) is not kind 2, height 0, 1 record, bLink 0", m, prev));
      if (slot(node, 0) != 14 || slot(node, 1) != ns_ - 6) fail(fmt("map node %u offsets are not 14, nodeSize - 6", m));
      map_.insert(map_.end(), node.begin() + 14, node.begin() + 14 + (ns_ - 20));
      used_.insert(m);
      prev = m;
      m = d.fLink;
    }
  }

  void check_empty() {
    if (h_.firstLeafNode != 0 || h_.lastLeafNode != 0 || h_.leafRecords != 0 || h_.treeDepth != 0)
      fail(fmt("empty tree with firstLeafNode %u, lastLeafNode %u, leafRecords %u, treeDepth %u", h_.firstLeafNode,
               h_.lastLeafNode, h_.leafRecords, h_.treeDepth));
  }

  void walk() {
    const BTreeCallbacks* cb = tree_->callbacks;
    std::vector<NodeNumber> level{h_.rootNode};
    std::map<NodeNumber, std::vector<uint8_t>> first_key;  // the key each child's parent record carries
    uint32_t height = h_.treeDepth;
    uint64_t leaf_records = 0;
    if (height == 0 || height > 32) {
      fail(fmt("treeDepth %u for a tree with a root", height));
      return;
    }
    for (; !level.empty(); --height) {
      std::vector<NodeNumber> next;
      std::unique_ptr<btree_key_t> prev;
      for (size_t idx = 0; idx < level.size(); ++idx) {
        NodeNumber n = level[idx];
        if (!used_.insert(n).second) {
          fail(fmt("node %u reached twice", n));
          return;
        }
        std::vector<uint8_t> node;
        if (!read_node(n, &node)) return;
        BTNodeDescriptor d;
        decode(node.data(), &d);
        int8_t kind = height == 1 ? kBTLeafNode : kBTIndexNode;
        if (d.height != height || d.kind != kind)
          fail(fmt("node %u has kind %d height %u, expected kind %d height %u", n, d.kind, d.height, kind, height));
        NodeNumber want_b = idx > 0 ? level[idx - 1] : 0, want_f = idx + 1 < level.size() ? level[idx + 1] : 0;
        if (d.bLink != want_b || d.fLink != want_f)
          fail(fmt("node %u links %u<-.->%u, expected %u<-.->%u", n, d.bLink, d.fLink, want_b, want_f));
        uint32_t nr = d.numRecords;
        if (nr == 0) fail(fmt("node %u is empty", n));
        if (2u * (nr + 1) + 14 > ns_) {
          fail(fmt("node %u claims %u records", n, nr));
          return;
        }
        if (slot(node, 0) != 14) fail(fmt("node %u record 0 at %u", n, slot(node, 0)));
        if (slot(node, nr) > ns_ - 2 * (nr + 1))
          fail(fmt("node %u free space at %u runs into its offsets", n, slot(node, nr)));
        for (uint32_t i = 0; i < nr; ++i) {
          uint16_t at = slot(node, i), end = slot(node, i + 1);
          if (end <= at || end > ns_ - 2 * (nr + 1)) {
            fail(fmt("node %u record %u spans %u..%u", n, i, at, end));
            return;
          }
          uint64_t key_at = static_cast<uint64_t>(n) * ns_ + at;
          uint32_t klen = get_be16(node.data() + at) + 2u;
          if (klen > static_cast<uint32_t>(end - at)) {
            fail(fmt("node %u record %u key of %u bytes in a %u-byte record", n, i, klen, end - at));
            return;
          }
          auto read = cb->btree_read_key(key_at, io_);
          std::unique_ptr<btree_key_t> key = read ? read.take() : nullptr;
          if (!key) {
            fail(fmt("node %u record %u key cannot be read", n, i));
            return;
          }
          if (prev && cb->btree_compare(*prev, *key) >= 0)
            fail(fmt("node %u record %u does not order after the key before it", n, i));
          if (i == 0) {
            auto it = first_key.find(n);
            if (it != first_key.end() &&
                (it->second.size() != klen || std::memcmp(it->second.data(), node.data() + at, klen) != 0))
              fail(fmt("index key for node %u differs from its first key", n));
          }
          if (kind == kBTIndexNode) {
            if (static_cast<uint32_t>(end - at) != klen + 4)
              fail(fmt("index node %u record %u is %u bytes for a %u-byte key", n, i, end - at, klen));
            NodeNumber child = get_be32(node.data() + at + klen);
            next.push_back(child);
            first_key[child].assign(node.begin() + at, node.begin() + at + klen);
          } else {
            ++leaf_records;
            if (leaves_ != nullptr) leaves_->push_back({key_at, key_at + klen, static_cast<uint32_t>(end - at) - klen});
          }
          prev = std::move(key);
        }
      }
      if (height == 1) {
        if (h_.firstLeafNode != level.front() || h_.lastLeafNode != level.back())
          fail(fmt("leaves run %u..%u, header says %u..%u", level.front(), level.back(), h_.firstLeafNode,
                   h_.lastLeafNode));
        if (!next.empty()) fail("leaves point to children");
        break;
      }
      level = std::move(next);
    }
    if (height != 1) fail(fmt("tree ends above the leaves, at height %u", height));
    if (leaf_records != h_.leafRecords)
      fail(fmt("leaves hold %llu records, leafRecords %u", static_cast<unsigned long long>(leaf_records),
               h_.leafRecords));
  }

  void check_map_bits() {
    if (map_.size() * 8 < h_.totalNodes)
      fail(fmt("map covers %zu nodes of %u", map_.size() * 8, h_.totalNodes));
    uint32_t clear = 0;
    for (size_t n = 0; n < map_.size() * 8; ++n) {
      bool set = (map_[n / 8] >> (7 - n % 8)) & 1;
      if (n >= h_.totalNodes) {
        if (set) fail(fmt("map marks node %zu beyond totalNodes %u", n, h_.totalNodes));
        continue;
      }
      bool in_use = used_.count(static_cast<NodeNumber>(n)) != 0;
      if (set != in_use) fail(fmt("map marks node %zu %s but it is %s", n, set ? "used" : "free", in_use ? "used" : "free"));
      if (!set) ++clear;
    }
    if (clear != h_.freeNodes) fail(fmt("map has %u free nodes, freeNodes %u", clear, h_.freeNodes));
  }

  btree_t* tree_;
  io_t* io_;
  BTHeaderRec h_;
  uint32_t ns_;
  std::vector<btree_leaf_record>* leaves_;
  std::vector<std::string> problems_;
  std::vector<uint8_t> map_;
  std::set<NodeNumber> used_;
  NodeNumber first_map_ = 0;
};

}  // namespace

std::vector<std::string> btree_check(btree_t* tree, std::vector<btree_leaf_record>* leaves) {
  return Checker(tree, leaves).run();
}

std::string btree_check_text(const std::vector<std::string>& problems) {
  std::string s;
  for (const auto& p : problems) s += p + "\n";
  return s;
}

}  // namespace test
}  // namespace volpack
