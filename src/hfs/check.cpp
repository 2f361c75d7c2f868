// The read-only HFS+ checker: header, B-trees, catalog, allocation.
#include "hfs/check.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <functional>
#include <new>
#include <set>
#include <tuple>

#include "hfs/catalog.h"

namespace volpack {

namespace {

constexpr uint32_t kHFSVolumeInconsistentMask = 0x0800;
constexpr uint32_t kHFSCatalogNodeIDsReusedMask = 0x1000;
constexpr CatalogNodeID kHFSStartupFileID = 7;
constexpr CatalogNodeID kHFSAttributesFileID = 8;
constexpr size_t kMaxRepeats = 10;  // findings of one kind per tree, before a count
constexpr int kMaxTreeDepth = 32;
constexpr uint32_t kJournalMagic = 0x4A4E4C78;  // "JNLx"
constexpr uint32_t kJournalEndian = 0x12345678;
constexpr uint64_t kMaxLinkTarget = 1024;

std::string utf8_of(const HFSUniStr255& n) { return hfs_volume_model::display_name(n); }

bool same_name(const HFSUniStr255& a, const HFSUniStr255& b) {
  if (a.length != b.length) return false;
  size_t n = std::min<size_t>(a.length, kHFSMaxNameUnits);
  return std::equal(a.unicode.begin(), a.unicode.begin() + static_cast<std::ptrdiff_t>(n), b.unicode.begin());
}

HFSUniStr255 name_of(const char* ascii, size_t n) {
  HFSUniStr255 name;
  for (size_t i = 0; i < n && i < kHFSMaxNameUnits; ++i) name.unicode[i] = static_cast<uint8_t>(ascii[i]);
  name.length = static_cast<uint16_t>(std::min<size_t>(n, kHFSMaxNameUnits));
  return name;
}

// Key rules of one tree: whether a key is well formed and the tree's order.
class key_rules {
 public:
  virtual ~key_rules() = default;
  // `key` holds `len` bytes: keyLength and the bytes it counts.
  virtual bool valid(const uint8_t* key, size_t len) const = 0;
  virtual int compare(const uint8_t* a, size_t la, const uint8_t* b, size_t lb) const = 0;
};

class catalog_rules final : public key_rules {
 public:
  explicit catalog_rules(bool folded) : folded_(folded) {}
  bool valid(const uint8_t* key, size_t len) const override {
    if (len < kHFSPlusCatalogKeyMinSize) return false;
    uint16_t n = get_be16(key + 6);
    return n <= kHFSMaxNameUnits && len == kHFSPlusCatalogKeyMinSize + 2u * n;
  }
  int compare(const uint8_t* a, size_t, const uint8_t* b, size_t) const override {
    decode(a, static_cast<HFSPlusCatalogKey*>(&ka_));
    decode(b, static_cast<HFSPlusCatalogKey*>(&kb_));
    return folded_ ? catalog_compare_folded(ka_, kb_) : catalog_compare_binary(ka_, kb_);
  }

 private:
  bool folded_;
  mutable catalog_key_t ka_, kb_;
};

class extents_rules final : public key_rules {
 public:
  bool valid(const uint8_t* key, size_t len) const override {
    return len == kHFSPlusExtentKeySize && get_be16(key) == kHFSPlusExtentKeyMaxLength;
  }
  // TN1150's order: file ID, fork type, start block.
  int compare(const uint8_t* a, size_t, const uint8_t* b, size_t) const override {
    HFSPlusExtentKey x, y;
    decode(a, &x);
    decode(b, &y);
    return std::tie(x.fileID, x.forkType, x.startBlock) < std::tie(y.fileID, y.forkType, y.startBlock)   ? -1
           : std::tie(x.fileID, x.forkType, x.startBlock) == std::tie(y.fileID, y.forkType, y.startBlock) ? 0
                                                                                                         : 1;
  }
};

// Attributes keys: keyLength, pad, fileID, startBlock, name length, name.
class attributes_rules final : public key_rules {
 public:
  bool valid(const uint8_t* key, size_t len) const override {
    if (len < 14) return false;
    uint16_t n = get_be16(key + 12);
    return n <= 127 && 14u + 2u * n <= len;
  }
  int compare(const uint8_t* a, size_t, const uint8_t* b, size_t) const override {
    uint32_t fa = get_be32(a + 4), fb = get_be32(b + 4);
    if (fa != fb) return fa < fb ? -1 : 1;
    uint16_t na = get_be16(a + 12), nb = get_be16(b + 12);
    for (uint16_t i = 0; i < na && i < nb; ++i) {
      uint16_t ca = get_be16(a + 14 + 2 * i), cb = get_be16(b + 14 + 2 * i);
      if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (na != nb) return na < nb ? -1 : 1;
    uint32_t sa = get_be32(a + 8), sb = get_be32(b + 8);
    return sa == sb ? 0 : (sa < sb ? -1 : 1);
  }
};

struct thread_info {
  int16_t type = 0;
  CatalogNodeID parent = 0;
  HFSUniStr255 name;
};

struct owned_extent {
  uint64_t start, count;
  std::string owner;
};

using leaf_fn = std::function<void(const uint8_t* key, size_t key_len, const uint8_t* data, size_t data_len,
                                   uint64_t volume_offset)>;

class checker {
 public:
  checker(io_t* volume, uint64_t size, findings_t* findings) : vol_(volume), size_(size), f_(findings) {}
  result<hfs_volume_model> run();

 private:
  bool read_header();
  void check_alternate();
  void check_journal();
  void build_fork(CatalogNodeID id, uint8_t fork_type, const HFSPlusForkData& data, const std::string& owner,
                  hfs_fork_t* out);
  // False when part of the tree could not be read: what depends on all of
  // it (counts, the map's free nodes) is then not checked.
  bool walk_tree(const char* name, const hfs_fork_t& fork, const key_rules& rules, uint16_t max_key, const leaf_fn& leaf,
                 BTHeaderRec* header_out);
  void catalog_leaf(const uint8_t* key, size_t key_len, const uint8_t* data, size_t data_len, uint64_t where);
  void check_catalog();
  void check_allocation();
  bool read_fork(const hfs_fork_t& fork, uint64_t offset, uint64_t count, uint8_t* buf) const;
  uint64_t volume_offset(const hfs_fork_t& fork, uint64_t offset) const;

  io_t* vol_;
  uint64_t size_;
  findings_t* f_;
  hfs_volume_model m_;
  uint64_t bs_ = 0;
  uint64_t total_ = 0;
  struct overflow_rec {
    HFSPlusExtentRecord extents;
    bool used = false;
  };
  std::map<std::tuple<CatalogNodeID, uint8_t, uint32_t>, overflow_rec> overflow_;
  std::vector<owned_extent> allocs_;
  std::map<CatalogNodeID, thread_info> threads_;
  hfs_fork_t alloc_fork_, extents_fork_, catalog_fork_, attributes_fork_, startup_fork_;
  size_t files_ = 0, folders_ = 0;
};

bool checker::read_header() {
  uint8_t raw[kHFSPlusVolumeHeaderSize];
  if (size_ < kVolumeHeaderOffset + kHFSPlusVolumeHeaderSize || !vol_->read(kVolumeHeaderOffset, sizeof raw, raw))
    return false;
  decode(raw, &m_.header);
  const HFSPlusVolumeHeader& h = m_.header;
  return h.signature == kHFSPlusSigWord || h.signature == kHFSXSigWord;
}

void checker::check_alternate() {
  uint8_t primary[kHFSPlusVolumeHeaderSize], alt[kHFSPlusVolumeHeaderSize];
  uint64_t at = size_ - 1024;
  if (!vol_->read(kVolumeHeaderOffset, sizeof primary, primary) || !vol_->read(at, sizeof alt, alt)) {
    f_->error("volume header: the alternate copy at byte %" PRIu64 " cannot be read", at);
    return;
  }
  HFSPlusVolumeHeader a;
  decode(alt, &a);
  const HFSPlusVolumeHeader& h = m_.header;
  if (a.signature != h.signature || a.blockSize != h.blockSize || a.totalBlocks != h.totalBlocks) {
    f_->error("volume header: the alternate copy at byte %" PRIu64 " does not match (signature 0x%04x, %u blocks of %u)",
              at, a.signature, a.totalBlocks, a.blockSize);
    return;
  }
  // The special files' forks must agree: a Mac falls back on this copy.
  if (std::memcmp(primary + 112, alt + 112, 5 * kHFSPlusForkDataSize) != 0)
    f_->error("volume header: the alternate copy describes other special files");
}

void checker::check_journal() {
  const HFSPlusVolumeHeader& h = m_.header;
  if (h.journalInfoBlock == 0 || h.journalInfoBlock >= total_) {
    f_->error("volume header: journaled, but the journal info block %u is not in the volume", h.journalInfoBlock);
    return;
  }
  uint8_t raw[kJournalInfoBlockSize];
  if (!vol_->read(uint64_t{h.journalInfoBlock} * bs_, sizeof raw, raw)) {
    f_->error("journal info block %u cannot be read", h.journalInfoBlock);
    return;
  }
  JournalInfoBlock jib;
  decode(raw, &jib);
  if ((jib.flags & kJIJournalInFSMask) == 0) {
    f_->warning("the journal lies on another device; it is not checked");
    return;
  }
  if (jib.flags & kJIJournalNeedInitMask) return;  // an empty journal, not yet started
  uint64_t end;
  if (jib.offset > size_ || jib.size > size_ - jib.offset || jib.size < 512 ||
      (end = jib.offset + 512, end > size_)) {
    f_->error("journal info block: the journal (%" PRIu64 " bytes at %" PRIu64 ") lies outside the volume", jib.size,
              jib.offset);
    return;
  }
  uint8_t jh[24];
  if (!vol_->read(jib.offset, sizeof jh, jh)) {
    f_->error("the journal header cannot be read");
    return;
  }
  bool big = get_be32(jh) == kJournalMagic && get_be32(jh + 4) == kJournalEndian;
  bool little = get_le32(jh) == kJournalMagic && get_le32(jh + 4) == kJournalEndian;
  if (!big && !little) {
    f_->warning("the journal header has no journal signature; the journal is not checked");
    return;
  }
  auto u64 = [&](const uint8_t* p) {
    return big ? get_be64(p) : (uint64_t{get_le32(p + 4)} << 32) | get_le32(p);
  };
  if (u64(jh + 8) != u64(jh + 16))
    f_->warning("the journal holds transactions that were not replayed; the volume is checked without them");
}

uint64_t checker::volume_offset(const hfs_fork_t& fork, uint64_t offset) const {
  uint64_t pos = 0;
  for (const HFSPlusExtentDescriptor& e : fork.extents) {
    uint64_t len = uint64_t{e.blockCount} * bs_;
    if (offset < pos + len) return uint64_t{e.startBlock} * bs_ + (offset - pos);
    pos += len;
  }
  return 0;
}

bool checker::read_fork(const hfs_fork_t& fork, uint64_t offset, uint64_t count, uint8_t* buf) const {
  return hfs_read_fork(vol_, m_, fork, offset, count, buf).is_ok();
}

void checker::build_fork(CatalogNodeID id, uint8_t fork_type, const HFSPlusForkData& data, const std::string& owner,
                         hfs_fork_t* out) {
  out->data = data;
  out->extents.clear();
  uint64_t covered = 0;
  bool bad = false;
  auto take = [&](const HFSPlusExtentRecord& rec) {
    bool ended = false;
    for (const HFSPlusExtentDescriptor& e : rec) {
      if (e.blockCount == 0) {
        ended = true;
        continue;
      }
      if (ended) {
        f_->error("%s: an extent follows an empty extent descriptor", owner.c_str());
        bad = true;
      }
      if (uint64_t{e.startBlock} + e.blockCount > total_) {
        f_->error("%s: extent of %u blocks at block %u lies past the volume's %" PRIu64 " blocks", owner.c_str(),
                  e.blockCount, e.startBlock, total_);
        bad = true;
        continue;
      }
      out->extents.push_back(e);
      allocs_.push_back({e.startBlock, e.blockCount, owner});
      covered += e.blockCount;
    }
  };
  take(data.extents);
  // Further extents come from overflow records keyed by the blocks so far.
  while (covered < data.totalBlocks && covered <= UINT32_MAX) {
    auto it = overflow_.find({id, fork_type, static_cast<uint32_t>(covered)});
    if (it == overflow_.end() || it->second.used) break;
    it->second.used = true;
    uint64_t before = covered;
    take(it->second.extents);
    if (covered == before) break;
  }
  if (covered != data.totalBlocks) {
    f_->error("%s: its extents hold %" PRIu64 " blocks, totalBlocks says %u", owner.c_str(), covered, data.totalBlocks);
    bad = true;
  }
  if (data.logicalSize > uint64_t{data.totalBlocks} * bs_) {
    f_->error("%s: %" PRIu64 " bytes do not fit its %u blocks", owner.c_str(), data.logicalSize, data.totalBlocks);
    bad = true;
  }
  out->complete = !bad;
}

bool checker::walk_tree(const char* name, const hfs_fork_t& fork, const key_rules& rules, uint16_t max_key,
                        const leaf_fn& leaf, BTHeaderRec* header_out) {
  uint8_t head[kBTNodeDescriptorSize + kBTHeaderRecSize];
  if (!read_fork(fork, 0, sizeof head, head)) {
    f_->error("%s B-tree: the header node cannot be read", name);
    return false;
  }
  BTNodeDescriptor d0;
  BTHeaderRec h;
  decode(head, &d0);
  decode(head + kBTNodeDescriptorSize, &h);
  *header_out = h;
  const uint32_t ns = h.nodeSize;
  if (ns < 512 || ns > 32768 || (ns & (ns - 1)) != 0) {
    f_->error("%s B-tree: node size %u is not a power of two from 512 to 32768", name, ns);
    return false;
  }
  if ((h.attributes & kBTBigKeysMask) == 0) {
    f_->error("%s B-tree: its keys are not marked as 16-bit lengths (attributes 0x%x)", name, h.attributes);
    return false;
  }
  if (h.maxKeyLength > max_key) f_->error("%s B-tree: maxKeyLength %u (at most %u)", name, h.maxKeyLength, max_key);
  uint64_t file_nodes = fork.data.logicalSize / ns;
  if (h.totalNodes == 0 || h.totalNodes != file_nodes) {
    f_->error("%s B-tree: totalNodes %u, the file holds %" PRIu64 " nodes", name, h.totalNodes, file_nodes);
  }
  const uint64_t total_nodes = std::min<uint64_t>(h.totalNodes, file_nodes);
  if (h.freeNodes > h.totalNodes) f_->error("%s B-tree: freeNodes %u exceeds totalNodes %u", name, h.freeNodes, h.totalNodes);

  std::vector<uint8_t> node(ns);
  auto read_node = [&](uint64_t n) { return n < total_nodes && read_fork(fork, n * ns, ns, node.data()); };
  // Record offsets of the node in `node`; empty when they are not sound.
  auto offsets = [&](const BTNodeDescriptor& d, std::vector<uint16_t>* offs) {
    offs->clear();
    size_t table = 2u * (d.numRecords + 1u);
    if (d.numRecords == 0 || table + kBTNodeDescriptorSize > ns) return false;
    for (size_t i = 0; i <= d.numRecords; ++i) offs->push_back(get_be16(node.data() + ns - 2 * (i + 1)));
    if ((*offs)[0] != kBTNodeDescriptorSize) return false;
    for (size_t i = 0; i < d.numRecords; ++i) {
      if ((*offs)[i + 1] <= (*offs)[i]) return false;
    }
    return offs->back() <= ns - table;
  };

  if (!read_node(0)) {
    f_->error("%s B-tree: the header node cannot be read", name);
    return false;
  }
  std::vector<uint16_t> offs;
  uint32_t map_start = 248, map_end = ns - 8;
  if (d0.kind != kBTHeaderNode || d0.height != 0 || d0.numRecords != 3 || !offsets(d0, &offs) || offs[1] != 120 ||
      offs[2] != 248 || offs[3] != ns - 8) {
    f_->error("%s B-tree: the header node's descriptor or record layout is wrong", name);
  } else {
    map_start = offs[2];
    map_end = offs[3];
  }
  std::vector<uint8_t> map(node.begin() + map_start, node.begin() + map_end);
  NodeNumber map_next = d0.fLink;

  std::set<NodeNumber> used{0};
  bool whole = true;
  size_t repeats_order = 0, repeats_index = 0;
  uint64_t leaves_seen = 0;
  if (h.rootNode == 0) {
    if (h.treeDepth != 0 || h.leafRecords != 0 || h.firstLeafNode != 0 || h.lastLeafNode != 0)
      f_->error("%s B-tree: empty (rootNode 0) but depth %u, %u leaf records, leaves %u to %u", name, h.treeDepth,
                h.leafRecords, h.firstLeafNode, h.lastLeafNode);
  } else if (h.treeDepth == 0 || h.treeDepth > kMaxTreeDepth) {
    f_->error("%s B-tree: treeDepth %u", name, h.treeDepth);
    whole = false;
  } else {
    struct pending {
      NodeNumber node;
      std::vector<uint8_t> key;  // the parent's index key; empty for the root
    };
    std::vector<pending> level{{h.rootNode, {}}};
    for (int height = h.treeDepth; height >= 1 && !level.empty(); --height) {
      std::vector<pending> next;
      std::vector<std::pair<NodeNumber, BTNodeDescriptor>> chain;
      bool level_whole = true;
      std::vector<uint8_t> prev;
      for (const pending& p : level) {
        if (p.node == 0 || p.node >= total_nodes) {
          f_->error("%s B-tree: node %u is referenced but lies outside the tree's %" PRIu64 " nodes", name, p.node,
                    total_nodes);
          level_whole = whole = false;
          continue;
        }
        if (!used.insert(p.node).second) {
          f_->error("%s B-tree: node %u is reached twice", name, p.node);
          level_whole = whole = false;
          continue;
        }
        if (!read_node(p.node)) {
          f_->error("%s B-tree: node %u cannot be read", name, p.node);
          level_whole = whole = false;
          continue;
        }
        BTNodeDescriptor d;
        decode(node.data(), &d);
        int8_t want_kind = height == 1 ? kBTLeafNode : kBTIndexNode;
        if (d.kind != want_kind || d.height != height) {
          f_->error("%s B-tree: node %u is of kind %d and height %u where one of kind %d and height %d belongs", name,
                    p.node, d.kind, d.height, want_kind, height);
          level_whole = whole = false;
          continue;
        }
        if (!offsets(d, &offs)) {
          f_->error("%s B-tree: node %u has %u records at offsets that do not fit the node", name, p.node,
                    d.numRecords);
          level_whole = whole = false;
          continue;
        }
        chain.push_back({p.node, d});
        for (size_t i = 0; i < d.numRecords; ++i) {
          const uint8_t* rec = node.data() + offs[i];
          size_t len = offs[i + 1] - offs[i];
          size_t key_len = len >= 2 ? 2u + get_be16(rec) : SIZE_MAX;
          if (key_len > len || key_len - 2 > max_key || !rules.valid(rec, key_len)) {
            f_->error("%s B-tree: node %u record %zu has a malformed key", name, p.node, i);
            whole = false;
            continue;
          }
          if (!prev.empty() && rules.compare(prev.data(), prev.size(), rec, key_len) >= 0 &&
              repeats_order++ < kMaxRepeats)
            f_->error("%s B-tree: node %u record %zu: key out of order", name, p.node, i);
          prev.assign(rec, rec + key_len);
          if (i == 0 && !p.key.empty() && p.key != prev && repeats_index++ < kMaxRepeats)
            f_->error("%s B-tree: the index key for node %u differs from the node's first key", name, p.node);
          const uint8_t* data = rec + key_len;
          size_t data_len = len - key_len;
          if (height > 1) {
            if (data_len < 4) {
              f_->error("%s B-tree: index node %u record %zu has no child pointer", name, p.node, i);
              whole = false;
              continue;
            }
            next.push_back({get_be32(data), prev});
          } else {
            ++leaves_seen;
            leaf(rec, key_len, data, data_len, volume_offset(fork, uint64_t{p.node} * ns + offs[i]));
          }
        }
      }
      if (level_whole && !chain.empty()) {
        for (size_t i = 0; i < chain.size(); ++i) {
          NodeNumber want_b = i == 0 ? 0 : chain[i - 1].first;
          NodeNumber want_f = i + 1 == chain.size() ? 0 : chain[i + 1].first;
          if (chain[i].second.bLink != want_b || chain[i].second.fLink != want_f) {
            f_->error("%s B-tree: node %u links to %u and %u, not to its neighbours %u and %u at height %d", name,
                      chain[i].first, chain[i].second.bLink, chain[i].second.fLink, want_b, want_f, height);
            break;
          }
        }
        if (height == 1 && (h.firstLeafNode != chain.front().first || h.lastLeafNode != chain.back().first))
          f_->error("%s B-tree: leaves run from node %u to %u, the header says %u to %u", name, chain.front().first,
                    chain.back().first, h.firstLeafNode, h.lastLeafNode);
      }
      level = std::move(next);
    }
    if (repeats_order > kMaxRepeats)
      f_->error("%s B-tree: %zu more keys out of order", name, repeats_order - kMaxRepeats);
    if (repeats_index > kMaxRepeats)
      f_->error("%s B-tree: %zu more index keys differ from their child's", name, repeats_index - kMaxRepeats);
    if (whole && leaves_seen != h.leafRecords)
      f_->error("%s B-tree: leafRecords %u, the leaves hold %" PRIu64, name, h.leafRecords, leaves_seen);
  }

  // The node map: the header node's map record, then the map nodes.
  std::set<NodeNumber> map_nodes;
  while (map_next != 0) {
    if (map_next >= total_nodes || used.count(map_next) || !map_nodes.insert(map_next).second) {
      f_->error("%s B-tree: map node %u is outside the tree or already in use", name, map_next);
      break;
    }
    if (!read_node(map_next)) {
      f_->error("%s B-tree: map node %u cannot be read", name, map_next);
      break;
    }
    BTNodeDescriptor d;
    decode(node.data(), &d);
    if (d.kind != kBTMapNode || !offsets(d, &offs)) {
      f_->error("%s B-tree: node %u in the map chain is not a map node", name, map_next);
      break;
    }
    map.insert(map.end(), node.begin() + offs[0], node.begin() + offs[1]);
    map_next = d.fLink;
  }
  used.insert(map_nodes.begin(), map_nodes.end());
  uint64_t map_bits = uint64_t{map.size()} * 8;
  if (map_bits < h.totalNodes)
    f_->error("%s B-tree: the map covers %" PRIu64 " of %u nodes", name, map_bits, h.totalNodes);
  uint64_t marked = 0;
  size_t unmarked_reports = 0, stray_reports = 0;
  auto it = used.begin();
  for (uint64_t n = 0; n < map_bits; ++n) {
    bool bit = (map[n / 8] >> (7 - n % 8)) & 1;
    while (it != used.end() && *it < n) ++it;
    bool in_use = it != used.end() && *it == n;
    if (n >= h.totalNodes) {
      if (bit) {
        f_->error("%s B-tree: the map marks node %" PRIu64 ", past totalNodes", name, n);
        break;
      }
      continue;
    }
    marked += bit;
    if (in_use && !bit && unmarked_reports++ < kMaxRepeats)
      f_->error("%s B-tree: node %" PRIu64 " is in use but not marked in the map", name, n);
    if (whole && !in_use && bit && stray_reports++ < kMaxRepeats)
      f_->error("%s B-tree: node %" PRIu64 " is marked in the map but not in use", name, n);
  }
  if (marked <= h.totalNodes && h.freeNodes != h.totalNodes - marked)
    f_->error("%s B-tree: freeNodes %u, the map leaves %" PRIu64 " free", name, h.freeNodes, h.totalNodes - marked);
  return whole;
}

void checker::catalog_leaf(const uint8_t* key_bytes, size_t, const uint8_t* data, size_t len, uint64_t where) {
  HFSPlusCatalogKey key;
  decode(key_bytes, &key);
  if (len < 2) {
    f_->error("catalog: a record under parent %u has no type", key.parentID);
    return;
  }
  int16_t type = static_cast<int16_t>(get_be16(data));
  if (type == kHFSPlusFolderThreadRecord || type == kHFSPlusFileThreadRecord) {
    if (len < kHFSPlusCatalogThreadMinSize || get_be16(data + 8) > kHFSMaxNameUnits ||
        kHFSPlusCatalogThreadMinSize + 2u * get_be16(data + 8) > len) {
      f_->error("catalog: the thread record of ID %u is cut short", key.parentID);
      return;
    }
    HFSPlusCatalogThread t;
    decode(data, &t);
    if (key.nodeName.length != 0) f_->error("catalog: the thread record of ID %u has a name in its key", key.parentID);
    threads_[key.parentID] = {type, t.parentID, t.nodeName};
    return;
  }
  hfs_item_t item;
  item.parent = key.parentID;
  item.name = key.nodeName;
  item.record_offset = where;
  if (type == kHFSPlusFolderRecord && len >= kHFSPlusCatalogFolderSize) {
    item.is_folder = true;
    decode(data, &item.folder);
    item.id = item.folder.folderID;
    ++folders_;
  } else if (type == kHFSPlusFileRecord && len >= kHFSPlusCatalogFileSize) {
    decode(data, &item.file);
    item.id = item.file.fileID;
    ++files_;
  } else {
    f_->error("catalog: record \"%s\" in folder %u is of unknown type %d or cut short", utf8_of(key.nodeName).c_str(),
              key.parentID, type);
    return;
  }
  if (m_.items.count(item.id)) {
    f_->error("catalog: ID %u is used by \"%s\" and \"%s\"", item.id, utf8_of(m_.items[item.id].name).c_str(),
              utf8_of(item.name).c_str());
    return;
  }
  m_.children[item.parent].push_back(item.id);
  m_.items[item.id] = std::move(item);
}

// Canonical decomposition as the catalog stores names; false for broken UTF-16.
bool valid_utf16(const HFSUniStr255& n) {
  for (size_t i = 0; i < n.length; ++i) {
    uint16_t u = n.unicode[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= n.length || n.unicode[i + 1] < 0xDC00 || n.unicode[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return false;
    }
  }
  return true;
}
bool decomposed(const HFSUniStr255& n) {
  std::string utf8 = unistr_to_utf8(n);
  HFSUniStr255 again;
  return unistr_from_host(&again, utf8.data(), utf8.size()) && same_name(again, n);
}

void checker::check_catalog() {
  const HFSPlusVolumeHeader& h = m_.header;
  auto root = m_.items.find(kHFSRootFolderID);
  if (root == m_.items.end() || !root->second.is_folder || root->second.parent != kHFSRootParentID) {
    f_->error("catalog: no root folder (ID 2 under parent 1)");
  }
  // The hidden folders of hard links.
  static const char kPrivateData[] = "\0\0\0\0HFS+ Private Data";
  static const char kPrivateDir[] = ".HFS+ Private Directory Data\r";
  HFSUniStr255 private_data = name_of(kPrivateData, sizeof kPrivateData - 1);
  HFSUniStr255 private_dir = name_of(kPrivateDir, sizeof kPrivateDir - 1);
  for (CatalogNodeID id : m_.children[kHFSRootFolderID]) {
    const hfs_item_t& it = m_.items[id];
    if (it.is_folder && same_name(it.name, private_data)) m_.private_data_folder = id;
    if (it.is_folder && same_name(it.name, private_dir)) m_.private_dir_folder = id;
  }
  auto child_named = [&](CatalogNodeID folder, const std::string& ascii) -> const hfs_item_t* {
    HFSUniStr255 want = name_of(ascii.data(), ascii.size());
    auto c = m_.children.find(folder);
    if (folder == 0 || c == m_.children.end()) return nullptr;
    for (CatalogNodeID id : c->second) {
      if (same_name(m_.items[id].name, want)) return &m_.items[id];
    }
    return nullptr;
  };

  size_t bad_names = 0;
  for (auto& [id, it] : m_.items) {
    std::string path = m_.path_of(id);
    const char* p = path.c_str();
    if (id != kHFSRootFolderID && (id < kHFSFirstUserCatalogNodeID)) f_->error("catalog: \"%s\" has the reserved ID %u", p, id);
    if (id >= h.nextCatalogID && (h.attributes & kHFSCatalogNodeIDsReusedMask) == 0)
      f_->error("catalog: \"%s\" has ID %u, not below nextCatalogID %u", p, id, h.nextCatalogID);
    if (id != kHFSRootFolderID) {
      auto parent = m_.items.find(it.parent);
      if (parent == m_.items.end() || !parent->second.is_folder)
        f_->error("catalog: \"%s\" lies in %u, which is no folder", p, it.parent);
      if (it.name.length == 0) f_->error("catalog: the item with ID %u has an empty name", id);
    }
    if (!valid_utf16(it.name)) {
      if (bad_names++ < kMaxRepeats) f_->error("catalog: the name of \"%s\" is not valid UTF-16", p);
    } else if (!decomposed(it.name)) {
      if (bad_names++ < kMaxRepeats) f_->error("catalog: the name of \"%s\" is not in canonical decomposition", p);
    }
    // Its thread.
    auto th = threads_.find(id);
    int16_t want = it.is_folder ? kHFSPlusFolderThreadRecord : kHFSPlusFileThreadRecord;
    if (th == threads_.end()) {
      if (it.is_folder || (it.file.flags & kHFSThreadExistsMask))
        f_->error("catalog: \"%s\" (ID %u) has no thread record", p, id);
      else
        f_->warning("catalog: the file \"%s\" has no thread record", p);
    } else if (th->second.type != want || th->second.parent != it.parent || !same_name(th->second.name, it.name)) {
      f_->error("catalog: the thread record of \"%s\" (ID %u) names another item", p, id);
    }
    uint16_t type = it.mode() & S_IFMT_HFS;
    if (it.is_folder) {
      if (type != 0 && type != S_IFDIR_HFS) f_->error("catalog: the folder \"%s\" has mode 0%o", p, it.mode());
      const std::vector<CatalogNodeID>& kids = m_.children[id];
      if (it.folder.valence != kids.size())
        f_->error("catalog: folder \"%s\" has valence %u but holds %zu items", p, it.folder.valence, kids.size());
      if (it.folder.flags & kHFSHasFolderCountMask) {
        size_t sub = 0;
        for (CatalogNodeID k : kids) sub += m_.items[k].is_folder;
        if (it.folder.folderCount != sub)
          f_->error("catalog: folder \"%s\" counts %u subfolders but holds %zu", p, it.folder.folderCount, sub);
      }
      continue;
    }
    static const uint16_t kFileTypes[] = {0, 0x1000, 0x2000, 0x6000, S_IFREG_HFS, S_IFLNK_HFS, 0xC000, 0xE000};
    if (std::find(std::begin(kFileTypes), std::end(kFileTypes), type) == std::end(kFileTypes))
      f_->error("catalog: the file \"%s\" has mode 0%o", p, it.mode());
    build_fork(id, 0x00, it.file.dataFork, "\"" + path + "\" (data fork)", &it.data_fork);
    build_fork(id, 0xFF, it.file.resourceFork, "\"" + path + "\" (resource fork)", &it.resource_fork);
    if (type == S_IFLNK_HFS) {
      if (it.file.dataFork.logicalSize == 0 || it.file.dataFork.logicalSize > kMaxLinkTarget)
        f_->error("catalog: the symbolic link \"%s\" has a target of %" PRIu64 " bytes", p, it.file.dataFork.logicalSize);
      if (it.file.userInfo.fileType != fourcc("slnk") || it.file.userInfo.fileCreator != fourcc("rhap"))
        f_->warning("catalog: the symbolic link \"%s\" is not of type slnk/rhap", p);
    }
    if (it.file.userInfo.fileType == fourcc("hlnk") && it.file.userInfo.fileCreator == fourcc("hfs+")) {
      if (!child_named(m_.private_data_folder, "iNode" + std::to_string(it.file.permissions.special)))
        f_->error("catalog: the hard link \"%s\" leads to no iNode%u", p, it.file.permissions.special);
    } else if (it.file.userInfo.fileType == fourcc("fdrp") && it.file.userInfo.fileCreator == fourcc("MACS")) {
      if (!child_named(m_.private_dir_folder, "dir_" + std::to_string(it.file.permissions.special)))
        f_->error("catalog: the folder link \"%s\" leads to no dir_%u", p, it.file.permissions.special);
    }
  }
  for (const auto& [id, th] : threads_) {
    auto it = m_.items.find(id);
    if (it == m_.items.end()) f_->error("catalog: the thread record of ID %u leads to no file or folder", id);
  }
  for (const auto& [parent, kids] : m_.children) {
    if (parent != kHFSRootParentID && !m_.items.count(parent))
      f_->error("catalog: %zu items lie in folder %u, which does not exist", kids.size(), parent);
  }
  if (bad_names > kMaxRepeats) f_->error("catalog: %zu more names are not valid", bad_names - kMaxRepeats);
  if (h.fileCount != files_) f_->error("volume header: fileCount %u, the catalog holds %zu files", h.fileCount, files_);
  if (folders_ > 0 && h.folderCount != folders_ - 1)
    f_->error("volume header: folderCount %u, the catalog holds %zu folders besides the root", h.folderCount,
              folders_ - 1);
}

void checker::check_allocation() {
  // The blocks of the boot blocks and the header, and of the reserved last
  // 1024 bytes (the alternate header and the 512 bytes after it), which span
  // two blocks when blocks are 512 bytes.
  allocs_.push_back({0, (kVolumeHeaderOffset + kHFSPlusVolumeHeaderSize + bs_ - 1) / bs_, "the volume header"});
  uint64_t alt_block = (size_ - 1024) / bs_;
  uint64_t end_block = std::min<uint64_t>((size_ - 1) / bs_ + 1, total_);
  if (alt_block < end_block) allocs_.push_back({alt_block, end_block - alt_block, "the alternate volume header"});
  for (const auto& [key, rec] : overflow_) {
    if (!rec.used)
      f_->error("extents B-tree: the record of ID %u (%s fork) from block %u belongs to no fork", std::get<0>(key),
                std::get<1>(key) == 0 ? "data" : "resource", std::get<2>(key));
  }
  std::sort(allocs_.begin(), allocs_.end(),
            [](const owned_extent& a, const owned_extent& b) { return a.start < b.start; });
  // Blocks used twice; then the union of all extents as disjoint runs.
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  size_t overlaps = 0;
  uint64_t used_blocks = 0;
  const owned_extent* last = nullptr;
  for (const owned_extent& e : allocs_) {
    if (e.count == 0) continue;
    uint64_t end = e.start + e.count;
    if (!runs.empty() && e.start < runs.back().second) {
      // Allocation blocks shared by the two header areas are not a conflict.
      bool headers = last != nullptr && e.owner.find("volume header") != std::string::npos &&
                     last->owner.find("volume header") != std::string::npos;
      if (!headers && overlaps++ < kMaxRepeats)
        f_->error("allocation: block %" PRIu64 " is used by both %s and %s", e.start, last->owner.c_str(),
                  e.owner.c_str());
      if (end > runs.back().second) {
        used_blocks += end - runs.back().second;
        runs.back().second = end;
      }
    } else {
      runs.push_back({e.start, end});
      used_blocks += e.count;
    }
    if (last == nullptr || end > last->start + last->count) last = &e;
  }
  if (overlaps > kMaxRepeats) f_->error("allocation: %zu more blocks are used twice", overlaps - kMaxRepeats);
  if (m_.header.freeBlocks != total_ - std::min(used_blocks, total_))
    f_->error("volume header: freeBlocks %u, the volume's files leave %" PRIu64 " free", m_.header.freeBlocks,
              total_ - std::min(used_blocks, total_));

  // The allocation file against the runs, a piece at a time.
  if (!alloc_fork_.complete) return;
  uint64_t bytes = (total_ + 7) / 8;
  if (alloc_fork_.data.logicalSize < bytes) {
    f_->error("allocation file: %" PRIu64 " bytes cannot map %" PRIu64 " blocks", alloc_fork_.data.logicalSize, total_);
    return;
  }
  std::vector<uint8_t> piece(64 * 1024), want(piece.size());
  size_t unmarked = 0, stray = 0;
  size_t r = 0;
  for (uint64_t at = 0; at < bytes; at += piece.size()) {
    uint64_t n = std::min<uint64_t>(piece.size(), bytes - at);
    if (!read_fork(alloc_fork_, at, n, piece.data())) {
      f_->error("allocation file: cannot be read at byte %" PRIu64, at);
      return;
    }
    std::fill(want.begin(), want.end(), 0);
    uint64_t first = at * 8, past = std::min(total_, (at + n) * 8);
    while (r > 0 && runs[r - 1].second > first) --r;
    for (size_t k = r; k < runs.size() && runs[k].first < past; ++k) {
      for (uint64_t b = std::max(runs[k].first, first); b < std::min(runs[k].second, past); ++b)
        want[(b - first) / 8] |= static_cast<uint8_t>(0x80 >> (b % 8));
      if (runs[k].second <= past) r = k + 1;
    }
    // Bits past the last block are not compared.
    if (past < (at + n) * 8) {
      uint64_t tail = past - first;
      for (uint64_t b = tail; b < n * 8; ++b) piece[b / 8] &= static_cast<uint8_t>(~(0x80 >> (b % 8)));
    }
    if (std::memcmp(piece.data(), want.data(), static_cast<size_t>(n)) == 0) continue;
    for (uint64_t i = 0; i < n; ++i) {
      if (piece[i] == want[i]) continue;
      for (int bit = 0; bit < 8; ++bit) {
        uint8_t mask = static_cast<uint8_t>(0x80 >> bit);
        uint64_t block = (at + i) * 8 + bit;
        if ((want[i] & mask) && !(piece[i] & mask) && unmarked++ < kMaxRepeats)
          f_->error("allocation file: block %" PRIu64 " is in use but not marked", block);
        if (!(want[i] & mask) && (piece[i] & mask) && stray++ < kMaxRepeats)
          f_->error("allocation file: block %" PRIu64 " is marked but belongs to no file", block);
      }
    }
  }
  if (unmarked > kMaxRepeats) f_->error("allocation file: %zu more used blocks are not marked", unmarked - kMaxRepeats);
  if (stray > kMaxRepeats) f_->error("allocation file: %zu more blocks are marked but free", stray - kMaxRepeats);
}

result<hfs_volume_model> checker::run() {
  if (!read_header()) return status_errorf("no HFS+ volume header at byte 1024 of the volume\n");
  const HFSPlusVolumeHeader& h = m_.header;
  bool hfsx = h.signature == kHFSXSigWord;
  if (h.version != (hfsx ? kHFSXVersion : kHFSPlusVersion))
    f_->warning("volume header: version %u", h.version);
  if (h.blockSize < 512 || (h.blockSize & (h.blockSize - 1)) != 0)
    return status_errorf("volume header: block size %u is not a power of two from 512\n", h.blockSize);
  bs_ = h.blockSize;
  total_ = h.totalBlocks;
  if (total_ == 0 || total_ * bs_ > size_) {
    f_->error("volume header: %u blocks of %u bytes do not fit the %" PRIu64 "-byte partition", h.totalBlocks,
              h.blockSize, size_);
    total_ = std::min<uint64_t>(total_, size_ / bs_);
    if (total_ == 0) return m_;
  }
  if (h.freeBlocks > h.totalBlocks) f_->error("volume header: freeBlocks %u exceeds totalBlocks", h.freeBlocks);
  if (h.nextCatalogID < kHFSFirstUserCatalogNodeID) f_->error("volume header: nextCatalogID %u", h.nextCatalogID);
  if (h.attributes & kHFSVolumeInconsistentMask) f_->error("volume header: the volume is marked inconsistent");
  bool journaled = (h.attributes & kHFSVolumeJournaledMask) != 0;
  if ((h.attributes & kHFSVolumeUnmountedMask) == 0) {
    if (journaled)
      f_->warning("volume header: not marked cleanly unmounted; a Mac replays its journal");
    else
      f_->error("volume header: not marked cleanly unmounted");
  }
  check_alternate();
  if (journaled) check_journal();

  build_fork(kHFSExtentsFileID, 0, h.extentsFile, "the extents file", &extents_fork_);
  BTHeaderRec eh;
  extents_rules er;
  bool extents_whole = walk_tree("extents", extents_fork_, er, kHFSPlusExtentKeyMaxLength,
            [&](const uint8_t* key, size_t, const uint8_t* data, size_t len, uint64_t) {
              HFSPlusExtentKey k;
              decode(key, &k);
              if (len < kHFSPlusExtentRecordSize) {
                f_->error("extents B-tree: the record of ID %u is cut short", k.fileID);
                return;
              }
              if (k.forkType != 0 && k.forkType != 0xFF)
                f_->error("extents B-tree: a record of ID %u has fork type 0x%02x", k.fileID, k.forkType);
              HFSPlusExtentRecord rec;
              decode(data, &rec);
              overflow_[{k.fileID, k.forkType, k.startBlock}] = {rec, false};
            },
            &eh);
  build_fork(kHFSAllocationFileID, 0, h.allocationFile, "the allocation file", &alloc_fork_);
  build_fork(kHFSCatalogFileID, 0, h.catalogFile, "the catalog file", &catalog_fork_);
  build_fork(kHFSAttributesFileID, 0, h.attributesFile, "the attributes file", &attributes_fork_);
  build_fork(kHFSStartupFileID, 0, h.startupFile, "the startup file", &startup_fork_);

  // HFS+ names always compare case-insensitively; HFSX ones as the tree says.
  BTHeaderRec ch;
  uint8_t compare_type = kHFSCaseFolding;
  {
    uint8_t raw[kBTNodeDescriptorSize + kBTHeaderRecSize];
    if (hfsx && read_fork(catalog_fork_, 0, sizeof raw, raw)) {
      decode(raw + kBTNodeDescriptorSize, &ch);
      compare_type = ch.keyCompareType;
      if (compare_type != kHFSCaseFolding && compare_type != kHFSBinaryCompare)
        f_->error("catalog B-tree: keyCompareType 0x%02x", compare_type);
    }
  }
  catalog_rules cr(compare_type == kHFSCaseFolding);
  bool catalog_whole = walk_tree("catalog", catalog_fork_, cr, kHFSPlusCatalogKeyMaxLength,
            [&](const uint8_t* key, size_t key_len, const uint8_t* data, size_t len, uint64_t where) {
              catalog_leaf(key, key_len, data, len, where);
            },
            &ch);
  if (h.attributesFile.logicalSize > 0) {
    BTHeaderRec ah;
    attributes_rules ar;
    walk_tree("attributes", attributes_fork_, ar, 266,
              [](const uint8_t*, size_t, const uint8_t*, size_t, uint64_t) {}, &ah);
  }
  if (!catalog_whole || !extents_whole) {
    f_->error("volume: the %s B-tree could not be read whole; the catalog's contents and the allocation are not checked",
              catalog_whole ? "extents" : "catalog");
    return std::move(m_);
  }
  check_catalog();
  check_allocation();
  return std::move(m_);
}

}  // namespace

std::string hfs_volume_model::display_name(const HFSUniStr255& name) {
  std::string s = unistr_to_utf8(name);
  std::replace(s.begin(), s.end(), '/', ':');
  return s;
}

std::string hfs_volume_model::path_of(CatalogNodeID id) const {
  std::string path;
  for (int depth = 0; id != kHFSRootFolderID && depth < 512; ++depth) {
    auto it = items.find(id);
    if (it == items.end()) return "?" + path;
    path = "/" + display_name(it->second.name) + path;
    id = it->second.parent;
  }
  return path.empty() ? "/" : path;
}

result<hfs_volume_model> hfs_check(io_t* volume, uint64_t size, findings_t* findings) {
  try {
    checker c(volume, size, findings);
    return c.run();
  } catch (const std::bad_alloc&) {
    return status_errorf("out of memory while checking the volume\n");
  }
}

status hfs_read_fork(io_t* volume, const hfs_volume_model& model, const hfs_fork_t& fork, uint64_t offset,
                     uint64_t count, void* buf) {
  uint8_t* dst = static_cast<uint8_t*>(buf);
  uint64_t bs = model.header.blockSize;
  uint64_t pos = 0;
  for (const HFSPlusExtentDescriptor& e : fork.extents) {
    if (count == 0) break;
    uint64_t len = uint64_t{e.blockCount} * bs;
    if (offset < pos + len) {
      uint64_t within = offset - pos;
      uint64_t n = std::min(count, len - within);
      if (!volume->read(uint64_t{e.startBlock} * bs + within, n, dst))
        return status_errorf("cannot read %" PRIu64 " bytes at block %u", n, e.startBlock);
      dst += n;
      offset += n;
      count -= n;
    }
    pos += len;
  }
  if (count != 0) return status_errorf("the fork's extents end before byte %" PRIu64, offset + count);
  return status::ok();
}

result<std::string> hfs_link_target(io_t* volume, const hfs_volume_model& model, const hfs_item_t& item) {
  uint64_t n = item.file.dataFork.logicalSize;
  if (n > kMaxLinkTarget) return status_errorf("link target of %" PRIu64 " bytes", n);
  std::string target(static_cast<size_t>(n), '\0');
  VOLPACK_RETURN_IF_ERROR(hfs_read_fork(volume, model, item.data_fork, 0, n, &target[0]));
  return target;
}

}  // namespace volpack
