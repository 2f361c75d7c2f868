// The HFS+ B-tree engine: the catalog and the extents-overflow tree.
//
// A `btree_t` is an open tree over its tree file. The engine knows nodes,
// record offsets, the header record and the node allocation map; it knows
// nothing of keys except that each begins with its u16 keyLength, and nothing
// of record contents. Ordering and the key/record codecs come from the tree's
// `BTreeCallbacks` (compare, read_key, write_key, print_key, read_data, in
// that order). Every primitive reads or writes at once through the tree file
// (which may be a write-through node cache, hfs/btree_cache.h), and every
// operation that changes the header writes it back before it returns, so the
// file is consistent after each call.
//
// The tree file is a `btree_file_t`: positioned I/O plus the fork data that
// growth needs (logical size, clump size) and the fork's allocator. On a volume
// it is the fork of the catalog or extents special file (hfs/volume.h); tests
// use an in-memory file that grows by its clump.
//
// Failures are values: every operation that can fail returns a `status` (or a
// `result`) carrying the one message the program prints for it
// ("splitNode():705: io_write error\n"); nothing here prints or ends the
// process. A failed insertion or removal may leave the tree half changed: the
// caller closes or discards it. Warnings go to the tree's reporter, if any.
#pragma once

#include <cstdint>
#include <memory>

#include "hfs/hfs_format.h"
#include "io/io.h"
#include "io/status.h"

namespace volpack {

class reporter_t;
class btree_node_cache;

// A key as the engine sees it: opaque bytes owned by the callbacks' codec. Every
// key type begins with a host-order u16 keyLength (the key occupies keyLength + 2
// bytes in a node).
struct btree_key_t {
  virtual ~btree_key_t() = default;
  virtual uint16_t key_length() const = 0;
};

// Record data read from a leaf, in host order, owned by the caller.
struct btree_record_t {
  virtual ~btree_record_t() = default;
};

class BTreeCallbacks {
 public:
  virtual ~BTreeCallbacks() = default;
  // Orders the key read from a node (first) against the search key (second);
  // only the sign matters.
  virtual int btree_compare(const btree_key_t& record_key, const btree_key_t& search_key) const = 0;
  // Reads the key stored at `offset` of the tree file. A null key when the
  // read fails (the engine reports it in its caller's words); a failed status
  // with the codec's own message when the bytes cannot be a key.
  virtual result<std::unique_ptr<btree_key_t>> btree_read_key(uint64_t offset, io_t* io) const = 0;
  // Writes keyLength + 2 bytes in disk order at `offset`.
  virtual bool btree_write_key(uint64_t offset, io_t* io, const btree_key_t& key) const = 0;
  // Reads the record data at `offset`; null when the read fails or the record
  // is of no kind the tree holds (then said on `reporter` when there is one);
  // a failed status with the codec's own message when memory runs out.
  virtual result<std::unique_ptr<btree_record_t>> btree_read_data(uint64_t offset, io_t* io,
                                                                  reporter_t* reporter) const = 0;
};

// The tree file: positioned I/O over a fork, plus what growth needs.
class btree_file_t : public io_t {
 public:
  virtual uint64_t fork_logical_size() const = 0;
  virtual uint32_t fork_clump_size() const = 0;
  // Resizes the fork to `new_size` bytes (whole allocation blocks).
  [[nodiscard]] virtual status fork_allocate(uint64_t new_size) = 0;
};

struct btree_t {
  std::unique_ptr<btree_file_t> io;  // the tree file; closed by btree_close
  BTHeaderRec header;                // host order; authoritative while open
  const BTreeCallbacks* callbacks = nullptr;
  reporter_t* reporter = nullptr;    // borrowed; null drops warnings
  btree_node_cache* cache = nullptr;  // `io` itself when a node cache is attached (hfs/btree_cache.h)
  // Where the last record added to a leaf went: a hint only, which any later
  // change of the tree may have made wrong.
  NodeNumber last_leaf_node = 0;
  uint16_t last_leaf_index = 0;
};

// Reads the header record (106 bytes at offset 14) and fills the tree. False
// when the read fails (the tree is then left without its file).
[[nodiscard]] bool btree_open(btree_t* tree, std::unique_ptr<btree_file_t> io, const BTreeCallbacks* callbacks);
// Closes the tree file, writes nothing. False when the file's close failed.
bool btree_close(btree_t* tree);

// Node access primitives. The plain readers give null or false on a failed
// read; the others give the failure's documented message.
std::unique_ptr<BTNodeDescriptor> btree_read_BTNodeDescriptor(btree_t* tree, NodeNumber node);
[[nodiscard]] bool btree_write_BTNodeDescriptor(btree_t* tree, NodeNumber node, const BTNodeDescriptor& d);
[[nodiscard]] bool writeBTHeaderRec(btree_t* tree);
// "btree_read_BTNodeDescriptor_or_die():28: btree_read_BTNodeDescriptor error\n"
result<BTNodeDescriptor> btree_read_descriptor(btree_t* tree, NodeNumber node);
// Byte offset in the tree file of record `index` of `node` (numRecords gives
// where free space starts); "btree_get_record_offset_or_die():116: io_read error\n".
result<uint64_t> btree_get_record_offset(btree_t* tree, NodeNumber node, uint16_t index);
// Free bytes between the records and the offset slots;
// "btree_get_free_space_or_die():136: io_read error\n".
result<uint64_t> btree_get_free_space(btree_t* tree, NodeNumber node, const BTNodeDescriptor& d);
// The child number of an index record's data; "getNodeNumberFromPointerRecord():149: io_read error\n".
result<NodeNumber> getNodeNumberFromPointerRecord(uint64_t offset, io_t* io);
// The key or record at `offset`; a failed read is "<func>():<number>: btree_read_key
// error\n" (or btree_read_data), named after the caller's step.
result<std::unique_ptr<btree_key_t>> btree_read_key(btree_t* tree, uint64_t offset, io_t* io, const char* func,
                                                    int number);
result<std::unique_ptr<btree_record_t>> btree_read_data(btree_t* tree, uint64_t offset, io_t* io, const char* func,
                                                        int number);

// Search. Gives the record for `key`, or, when it is absent, the record of
// the greatest key ordering before it with *exact false. An empty tree
// (rootNode 0) gives null. Out-parameters may be null. A failed read or an
// inconsistent node is a failed status.
result<std::unique_ptr<btree_record_t>> btree_search(btree_t* tree, const btree_key_t& key, bool* exact,
                                                     NodeNumber* node_out, uint16_t* index_out);
result<std::unique_ptr<btree_record_t>> searchNode(btree_t* tree, NodeNumber node, const btree_key_t& key,
                                                   bool* exact, NodeNumber* node_out, uint16_t* index_out);

// Insertion. `data` is already in disk order. A key already present is not
// inserted again. A record with its offset slot (keyLength + 2 + data + 2
// bytes, data counted as at least the 4 of a child pointer) may take at most
// half of a node's room, (nodeSize - 16) / 2 bytes, so that a split always
// makes room for it; a larger one is refused ("btree_add_or_die():112: record
// of <n> bytes too large for node size <size>\n") before anything changes.
// Catalog records on 4096-byte nodes and extents records on 1024-byte nodes
// stay well below.
status btree_add(btree_t* tree, const btree_key_t& key, uint16_t data_length, const uint8_t* data);

// Removal. A key that is not in the tree, or an empty tree, changes nothing.
// A tree emptied by removal has rootNode and treeDepth 0.
status btree_remove(btree_t* tree, const btree_key_t& key);

}  // namespace volpack
