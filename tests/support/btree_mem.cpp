#include "support/btree_mem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include <gtest/gtest.h>

#include "hfs/hfs_format.h"
#include "io/bytes.h"

namespace volpack {
namespace test {

bool MemTreeFile::read(uint64_t offset, uint64_t count, void* buf) {
  ++reads;
  if (count == 0) return true;
  if (offset + count > bytes_->size()) return false;
  std::memcpy(buf, bytes_->data() + offset, count);
  return true;
}

bool MemTreeFile::write(uint64_t offset, uint64_t count, const void* buf) {
  ++writes;
  if (count == 0) return true;
  if (offset + count > bytes_->size()) return false;  // a fork grows only by allocation
  std::memcpy(bytes_->data() + offset, buf, count);
  return true;
}

status MemTreeFile::fork_allocate(uint64_t new_size) {
  ++growths;
  if (new_size > bytes_->size()) bytes_->resize(new_size, 0);
  return status::ok();
}

void FaultTreeFile::arm(Op op, uint64_t k, bool persistent) {
  op_ = op;
  k_ = k;
  persistent_ = persistent;
  reads_ = writes_ = 0;
}

bool FaultTreeFile::fail_now(Op op) {
  uint64_t n = op == Op::kRead ? ++reads_ : ++writes_;
  return op == op_ && (n == k_ || (persistent_ && n > k_));
}

bool FaultTreeFile::read(uint64_t offset, uint64_t count, void* buf) {
  if (fail_now(Op::kRead)) return false;
  return inner_->read(offset, count, buf);
}

bool FaultTreeFile::write(uint64_t offset, uint64_t count, const void* buf) {
  if (fail_now(Op::kWrite)) return false;
  return inner_->write(offset, count, buf);
}

std::vector<uint8_t> make_tree_file(uint16_t node_size, uint32_t total_nodes, uint32_t clump_bytes,
                                    uint16_t max_key_length) {
  std::vector<uint8_t> bytes(static_cast<size_t>(node_size) * total_nodes, 0);
  BTNodeDescriptor d;
  d.kind = kBTHeaderNode;
  d.numRecords = 3;
  encode(d, bytes.data());
  BTHeaderRec h;
  h.nodeSize = node_size;
  h.maxKeyLength = max_key_length;
  h.totalNodes = total_nodes;
  h.freeNodes = total_nodes - 1;
  h.clumpSize = clump_bytes;
  h.attributes = kBTBigKeysMask | kBTVariableIndexKeysMask;
  encode(h, bytes.data() + 14);
  uint8_t* end = bytes.data() + node_size;
  put_be16(end - 2, 14);
  put_be16(end - 4, 120);
  put_be16(end - 6, 248);
  put_be16(end - 8, static_cast<uint16_t>(node_size - 8));
  bytes[248] = 0x80;  // node 0 in use
  return bytes;
}

int ByteKeyCodec::btree_compare(const btree_key_t& record_key, const btree_key_t& search_key) const {
  const std::string& a = static_cast<const ByteKey&>(record_key).bytes;
  const std::string& b = static_cast<const ByteKey&>(search_key).bytes;
  return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
}

result<std::unique_ptr<btree_key_t>> ByteKeyCodec::btree_read_key(uint64_t offset, io_t* io) const {
  uint8_t len[2];
  if (!io_read(io, offset, 2, len)) return std::unique_ptr<btree_key_t>();
  std::string bytes(get_be16(len), '\0');
  if (!io_read(io, offset + 2, bytes.size(), bytes.data())) return std::unique_ptr<btree_key_t>();
  return std::unique_ptr<btree_key_t>(std::make_unique<ByteKey>(std::move(bytes)));
}

bool ByteKeyCodec::btree_write_key(uint64_t offset, io_t* io, const btree_key_t& key) const {
  const std::string& b = static_cast<const ByteKey&>(key).bytes;
  std::vector<uint8_t> raw(2 + b.size());
  put_be16(raw.data(), static_cast<uint16_t>(b.size()));
  std::memcpy(raw.data() + 2, b.data(), b.size());
  return io_write(io, offset, raw.size(), raw.data());
}

result<std::unique_ptr<btree_record_t>> ByteKeyCodec::btree_read_data(uint64_t offset, io_t* io, reporter_t*) const {
  uint8_t len[2];
  if (!io_read(io, offset, 2, len)) return std::unique_ptr<btree_record_t>();
  std::string bytes(get_be16(len), '\0');
  if (!io_read(io, offset + 2, bytes.size(), bytes.data())) return std::unique_ptr<btree_record_t>();
  return std::unique_ptr<btree_record_t>(std::make_unique<ByteRecord>(std::move(bytes)));
}

const ByteKeyCodec& byte_key_codec() {
  static const ByteKeyCodec codec;
  return codec;
}

std::vector<uint8_t> byte_record(const std::string& value) {
  std::vector<uint8_t> raw(2 + value.size());
  put_be16(raw.data(), static_cast<uint16_t>(value.size()));
  std::memcpy(raw.data() + 2, value.data(), value.size());
  return raw;
}

std::vector<uint8_t> child_pointer(NodeNumber child) {
  std::vector<uint8_t> raw(4);
  put_be32(raw.data(), child);
  return raw;
}

MemTree::MemTree(uint16_t node_size, uint32_t total_nodes, uint32_t clump_nodes)
    : bytes(make_tree_file(node_size, total_nodes, clump_nodes * node_size)) {
  auto mem = std::make_unique<MemTreeFile>(&bytes, clump_nodes * node_size);
  file = mem.get();
  auto faulty = std::make_unique<FaultTreeFile>(std::move(mem));
  fault = faulty.get();
  if (!btree_open(&tree, std::move(faulty), &byte_key_codec())) std::abort();
}

MemTree::~MemTree() { btree_close(&tree); }

void MemTree::put_node(NodeNumber n, int8_t kind, uint8_t height, NodeNumber flink, NodeNumber blink,
                       const Records& records) {
  const uint16_t ns = tree.header.nodeSize;
  uint8_t* p = bytes.data() + static_cast<size_t>(n) * ns;
  std::fill(p, p + ns, 0);
  BTNodeDescriptor d;
  d.fLink = flink;
  d.bLink = blink;
  d.kind = kind;
  d.height = height;
  d.numRecords = static_cast<uint16_t>(records.size());
  encode(d, p);
  uint16_t at = 14;
  for (size_t i = 0; i <= records.size(); ++i) {
    put_be16(p + ns - 2 * (i + 1), at);
    if (i == records.size()) break;
    const std::string& key = records[i].first;
    put_be16(p + at, static_cast<uint16_t>(key.size()));
    std::memcpy(p + at + 2, key.data(), key.size());
    std::memcpy(p + at + 2 + key.size(), records[i].second.data(), records[i].second.size());
    at = static_cast<uint16_t>(at + 2 + key.size() + records[i].second.size());
  }
  uint8_t& map = bytes[248 + n / 8];  // nodes of the header's map only
  uint8_t bit = static_cast<uint8_t>(0x80u >> (n % 8));
  if (!(map & bit)) --tree.header.freeNodes;
  map = static_cast<uint8_t>(map | bit);
}

void MemTree::set_shape(NodeNumber root, uint16_t depth, NodeNumber first_leaf, NodeNumber last_leaf,
                        uint32_t leaf_records) {
  tree.header.rootNode = root;
  tree.header.treeDepth = depth;
  tree.header.firstLeafNode = first_leaf;
  tree.header.lastLeafNode = last_leaf;
  tree.header.leafRecords = leaf_records;
  if (!writeBTHeaderRec(&tree)) std::abort();
}

void MemTree::add(const std::string& key, const std::string& value) {
  std::vector<uint8_t> data = byte_record(value);
  status s = btree_add(&tree, ByteKey(key), static_cast<uint16_t>(data.size()), data.data());
  if (!s) ADD_FAILURE() << "adding " << key << ": " << s.message();
}

void MemTree::remove(const std::string& key) {
  status s = btree_remove(&tree, ByteKey(key));
  if (!s) ADD_FAILURE() << "removing " << key << ": " << s.message();
}

std::unique_ptr<ByteRecord> MemTree::search(const std::string& key, bool* exact, NodeNumber* node, uint16_t* index) {
  auto r = btree_search(&tree, ByteKey(key), exact, node, index);
  if (!r) {
    ADD_FAILURE() << "searching " << key << ": " << r.error().message();
    return nullptr;
  }
  return std::unique_ptr<ByteRecord>(static_cast<ByteRecord*>(r.take().release()));
}

std::vector<std::string> MemTree::keys_of(NodeNumber n) {
  std::vector<std::string> keys;
  BTNodeDescriptor d = desc(n);
  for (uint16_t i = 0; i < d.numRecords; ++i) {
    auto k = tree.callbacks->btree_read_key(ok_value(btree_get_record_offset(&tree, n, i)), tree.io.get());
    keys.push_back(k && k.value() ? static_cast<ByteKey&>(*k.value()).bytes : std::string("<unreadable>"));
  }
  return keys;
}

}  // namespace test
}  // namespace volpack
