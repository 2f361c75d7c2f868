// The node cache: a btree_file_t in front of the tree's own file.
#include "hfs/btree_cache.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "hfs/hfs_status.h"

namespace volpack {

namespace {

// Nodes numbered past this are not cached (the index of cached nodes is a
// table by node number): 4 GiB of tree at 4 KiB nodes.
constexpr uint64_t kMaxCachedNodeNumber = uint64_t{1} << 20;
// Decoded keys kept at most, over all cached nodes.
constexpr size_t kMaxKeys = 8192;

}  // namespace

class btree_node_cache final : public btree_file_t {
 public:
  btree_node_cache(uint32_t node_size, size_t max_nodes)
      : node_size_(node_size), entries_(std::max<size_t>(max_nodes, 1)) {}
  void set_file(std::unique_ptr<btree_file_t> file) { file_ = std::move(file); }
  btree_file_t* file() const { return file_.get(); }

  bool read(uint64_t offset, uint64_t count, void* buf) override {
    if (recording_ && count > 0) {
      read_from_ = std::min(read_from_, offset);
      read_to_ = std::max(read_to_, offset + count);
    }
    uint8_t* out = static_cast<uint8_t*>(buf);
    while (count > 0) {
      uint64_t node = offset / node_size_, within = offset % node_size_;
      uint64_t n = std::min<uint64_t>(count, node_size_ - within);
      if (entry* e = find_or_load(node)) {
        std::memcpy(out, e->bytes.get() + within, n);
      } else if (!file_->read(offset, n, out)) {
        return false;
      }
      out += n;
      offset += n;
      count -= n;
    }
    return true;
  }

  bool write(uint64_t offset, uint64_t count, const void* buf) override {
    if (count == 0) return true;
    bool ok = file_->write(offset, count, buf);
    const uint8_t* in = static_cast<const uint8_t*>(buf);
    for (uint64_t at = offset, end = offset + count; at < end;) {
      uint64_t node = at / node_size_, within = at % node_size_;
      uint64_t n = std::min<uint64_t>(end - at, node_size_ - within);
      if (entry* e = find(node)) {
        if (ok) {
          std::memcpy(e->bytes.get() + within, in + (at - offset), n);
          drop_keys(*e, static_cast<uint32_t>(within), static_cast<uint32_t>(within + n));
        } else {
          evict(*e);  // the file may hold part of the write
        }
      }
      at += n;
    }
    return ok;
  }

  bool close() override { return file_->close(); }
  uint64_t fork_logical_size() const override { return file_->fork_logical_size(); }
  uint32_t fork_clump_size() const override { return file_->fork_clump_size(); }

  status fork_allocate(uint64_t new_size) override {
    // Bytes past the smaller end read as zeros after a growth, whatever a
    // copy held; after a failure nothing is known.
    uint64_t first_changed = std::min(file_->fork_logical_size(), new_size) / node_size_;
    status s = file_->fork_allocate(new_size);
    for (entry& e : entries_)
      if (e.used && (!s || e.node >= first_changed)) evict(e);
    return s;
  }

  result<const btree_key_t*> peek(btree_t* tree, uint64_t offset, std::unique_ptr<btree_key_t>* hold, const char* func,
                                  int number) {
    uint64_t node = offset / node_size_;
    uint32_t within = static_cast<uint32_t>(offset % node_size_);
    if (entry* e = find_or_load(node)) {
      auto k = key_at(*e, within);
      if (k != e->keys.end() && k->from == within) return static_cast<const btree_key_t*>(k->key.get());
    }
    // The key is kept with the bytes the codec read for it: it stays good
    // until a write touches them.
    recording_ = true;
    read_from_ = UINT64_MAX;
    read_to_ = 0;
    result<std::unique_ptr<btree_key_t>> decoded = btree_read_key(tree, offset, this, func, number);
    recording_ = false;
    if (!decoded) return decoded.error();
    *hold = decoded.take();
    // Decoding read through this cache and may have changed what it holds.
    entry* e = find(node);
    uint64_t base = node * node_size_;
    if (e == nullptr || read_from_ != offset || read_to_ > base + node_size_ ||
        !allocating_ok([&] { e->keys.reserve(e->keys.size() + 1); }))
      return static_cast<const btree_key_t*>(hold->get());
    if (key_count_ >= kMaxKeys) {
      for (entry& other : entries_) drop_keys(other, 0, node_size_);
    }
    auto at = e->keys.insert(key_at(*e, within),
                             decoded_key{within, static_cast<uint32_t>(read_to_ - base), std::move(*hold)});
    ++key_count_;
    return static_cast<const btree_key_t*>(at->key.get());
  }

 private:
  // A key decoded from bytes [from, to) of its node.
  struct decoded_key {
    uint32_t from, to;
    std::unique_ptr<btree_key_t> key;
  };
  struct entry {
    bool used = false;
    bool referenced = false;
    uint64_t node = 0;
    std::unique_ptr<uint8_t[]> bytes;
    std::vector<decoded_key> keys;  // by `from`
  };

  static std::vector<decoded_key>::iterator key_at(entry& e, uint32_t from) {
    return std::lower_bound(e.keys.begin(), e.keys.end(), from,
                            [](const decoded_key& k, uint32_t f) { return k.from < f; });
  }

  template <class F>
  static bool allocating_ok(F f) {
    try {
      f();
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  entry* find(uint64_t node) {
    if (node >= slot_of_.size() || slot_of_[node] == 0) return nullptr;
    return &entries_[slot_of_[node] - 1];
  }

  // The node's copy, read in when missing; null when the node is not cached
  // (its number is too large, the file does not hold it whole, no memory).
  entry* find_or_load(uint64_t node) {
    if (entry* e = find(node)) {
      e->referenced = true;
      return e;
    }
    if (node >= kMaxCachedNodeNumber || (node + 1) * node_size_ > file_->fork_logical_size()) return nullptr;
    if (node >= slot_of_.size() && !allocating_ok([&] { slot_of_.resize(node + 1, 0); })) return nullptr;
    // The clock: a node read since the hand last passed gets another round.
    entry* victim = nullptr;
    for (;;) {
      entry& e = entries_[hand_];
      size_t slot = hand_;
      hand_ = (hand_ + 1) % entries_.size();
      if (e.used && e.referenced) {
        e.referenced = false;
        continue;
      }
      if (e.used) evict(e);
      victim = &e;
      victim_slot_ = slot;
      break;
    }
    if (victim->bytes == nullptr) {
      victim->bytes.reset(new (std::nothrow) uint8_t[node_size_]);
      if (victim->bytes == nullptr) return nullptr;
    }
    if (!file_->read(node * node_size_, node_size_, victim->bytes.get())) return nullptr;
    victim->used = true;
    victim->referenced = true;
    victim->node = node;
    slot_of_[node] = static_cast<uint32_t>(victim_slot_ + 1);
    return victim;
  }

  // Drops the keys decoded from bytes in [from, to) of the node.
  void drop_keys(entry& e, uint32_t from, uint32_t to) {
    size_t before = e.keys.size();
    e.keys.erase(
        std::remove_if(e.keys.begin(), e.keys.end(), [&](const decoded_key& k) { return k.from < to && from < k.to; }),
        e.keys.end());
    key_count_ -= before - e.keys.size();
  }

  void evict(entry& e) {
    if (!e.used) return;
    drop_keys(e, 0, node_size_);
    slot_of_[e.node] = 0;
    e.used = false;
    e.referenced = false;
  }

  std::unique_ptr<btree_file_t> file_;
  uint32_t node_size_;
  std::vector<entry> entries_;
  std::vector<uint32_t> slot_of_;  // node number -> entry index + 1, or 0
  size_t hand_ = 0;
  size_t victim_slot_ = 0;
  size_t key_count_ = 0;
  // While a key is decoded: the span of the bytes read for it.
  bool recording_ = false;
  uint64_t read_from_ = 0, read_to_ = 0;
};

void btree_cache_attach(btree_t* tree, size_t max_nodes) {
  uint32_t size = tree->header.nodeSize;
  if (tree->io == nullptr || tree->cache != nullptr || size < 512 || size > 32768 || (size & (size - 1)) != 0) return;
  std::unique_ptr<btree_node_cache> cache;
  try {
    cache = std::make_unique<btree_node_cache>(size, max_nodes);
  } catch (const std::bad_alloc&) {
    return;  // the tree works without
  }
  cache->set_file(std::move(tree->io));
  tree->cache = cache.get();
  tree->io = std::move(cache);
}

btree_file_t* btree_tree_file(const btree_t* tree) {
  return tree->cache != nullptr ? tree->cache->file() : tree->io.get();
}

result<const btree_key_t*> btree_peek_key(btree_t* tree, uint64_t offset, std::unique_ptr<btree_key_t>* hold,
                                          const char* func, int number) {
  if (tree->cache != nullptr) return tree->cache->peek(tree, offset, hold, func, number);
  VOLPACK_ASSIGN_OR_RETURN(*hold, btree_read_key(tree, offset, tree->io.get(), func, number));
  return static_cast<const btree_key_t*>(hold->get());
}

}  // namespace volpack
