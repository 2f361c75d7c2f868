// In-memory B-tree files and a tiny key codec for the engine's tests.
//
// MemTreeFile: a btree_file_t over a byte vector that grows by its clump, as a
// tree's fork does on a volume; it counts reads, writes and growths.
// FaultTreeFile: wraps a btree_file_t and, once armed, fails its k-th read or
// write (once, or from then on). make_tree_file: the bytes of a freshly
// formatted, empty tree (header node with its map record). ByteKeyCodec: keys
// that are byte strings (u16 length, then the bytes; ordered bytewise) and
// records that are byte strings (u16 length, then the bytes). MemTree bundles
// the bytes, the file chain and an open btree_t.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hfs/btree.h"
#include "support/support.h"

namespace volpack {
namespace test {

class MemTreeFile final : public btree_file_t {
 public:
  MemTreeFile(std::vector<uint8_t>* bytes, uint32_t clump_size) : bytes_(bytes), clump_(clump_size) {}
  bool read(uint64_t offset, uint64_t count, void* buf) override;
  bool write(uint64_t offset, uint64_t count, const void* buf) override;
  bool close() override { return true; }
  uint64_t fork_logical_size() const override { return bytes_->size(); }
  uint32_t fork_clump_size() const override { return clump_; }
  status fork_allocate(uint64_t new_size) override;

  uint64_t reads = 0, writes = 0, growths = 0;

 private:
  std::vector<uint8_t>* bytes_;
  uint32_t clump_;
};

class FaultTreeFile final : public btree_file_t {
 public:
  enum class Op { kNone, kRead, kWrite };
  explicit FaultTreeFile(std::unique_ptr<btree_file_t> inner) : inner_(std::move(inner)) {}
  // From now on, fails the k-th call (1-based) of `op`; with `persistent`, every later one too.
  void arm(Op op, uint64_t k, bool persistent = false);
  bool read(uint64_t offset, uint64_t count, void* buf) override;
  bool write(uint64_t offset, uint64_t count, const void* buf) override;
  bool close() override { return inner_->close(); }
  uint64_t fork_logical_size() const override { return inner_->fork_logical_size(); }
  uint32_t fork_clump_size() const override { return inner_->fork_clump_size(); }
  status fork_allocate(uint64_t new_size) override { return inner_->fork_allocate(new_size); }
  uint64_t reads() const { return reads_; }
  uint64_t writes() const { return writes_; }

 private:
  bool fail_now(Op op);
  std::unique_ptr<btree_file_t> inner_;
  Op op_ = Op::kNone;
  uint64_t k_ = 0, reads_ = 0, writes_ = 0;
  bool persistent_ = false;
};

// An empty tree of `total_nodes` nodes: node 0 is the header node (header
// record with clumpSize = `clump_bytes`, user record, map record with bit 0 set).
std::vector<uint8_t> make_tree_file(uint16_t node_size, uint32_t total_nodes, uint32_t clump_bytes,
                                    uint16_t max_key_length = 516);

struct ByteKey final : btree_key_t {
  explicit ByteKey(std::string b) : bytes(std::move(b)) {}
  uint16_t key_length() const override { return static_cast<uint16_t>(bytes.size()); }
  std::string bytes;
};

struct ByteRecord final : btree_record_t {
  explicit ByteRecord(std::string b) : bytes(std::move(b)) {}
  std::string bytes;
};

class ByteKeyCodec final : public BTreeCallbacks {
 public:
  int btree_compare(const btree_key_t& record_key, const btree_key_t& search_key) const override;
  result<std::unique_ptr<btree_key_t>> btree_read_key(uint64_t offset, io_t* io) const override;
  bool btree_write_key(uint64_t offset, io_t* io, const btree_key_t& key) const override;
  result<std::unique_ptr<btree_record_t>> btree_read_data(uint64_t offset, io_t* io,
                                                          reporter_t* reporter) const override;
};
const ByteKeyCodec& byte_key_codec();

// A record's data bytes as btree_add takes them: u16 length, then the bytes.
std::vector<uint8_t> byte_record(const std::string& value);
// An index record's data: the child's node number, big-endian.
std::vector<uint8_t> child_pointer(NodeNumber child);

// An open tree over an in-memory file. Not movable: the file points at `bytes`.
class MemTree {
 public:
  MemTree(uint16_t node_size, uint32_t total_nodes, uint32_t clump_nodes);
  ~MemTree();
  MemTree(const MemTree&) = delete;
  MemTree& operator=(const MemTree&) = delete;

  // Insert and remove; a failure fails the running test with its message.
  void add(const std::string& key, const std::string& value);
  void remove(const std::string& key);
  // Writes node `n` by hand (descriptor, records from offset 14, offsets at
  // the node's end; a record is a key and its data bytes) and marks it in use.
  using Records = std::vector<std::pair<std::string, std::vector<uint8_t>>>;
  void put_node(NodeNumber n, int8_t kind, uint8_t height, NodeNumber flink, NodeNumber blink, const Records& records);
  // Sets the header's shape fields and writes the header.
  void set_shape(NodeNumber root, uint16_t depth, NodeNumber first_leaf, NodeNumber last_leaf, uint32_t leaf_records);
  // The record under `key`, or nothing; `exact` tells which. A failed search
  // fails the running test.
  std::unique_ptr<ByteRecord> search(const std::string& key, bool* exact = nullptr, NodeNumber* node = nullptr,
                                     uint16_t* index = nullptr);

  std::vector<uint8_t> bytes;
  btree_t tree;
  MemTreeFile* file = nullptr;    // owned through `fault`
  FaultTreeFile* fault = nullptr;  // owned by `tree`

  BTNodeDescriptor desc(NodeNumber n) { return ok_value(btree_read_descriptor(&tree, n)); }
  // The keys of node `n`, in slot order.
  std::vector<std::string> keys_of(NodeNumber n);
};

}  // namespace test
}  // namespace volpack
