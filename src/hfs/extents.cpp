// The extents overflow tree: key order, key and record codecs, and its opening.
#include <cstdio>

#include "hfs/volume.h"
#include "io/die.h"

namespace volpack {

namespace {

template <class T>
int order(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

class ExtentCallbacks final : public BTreeCallbacks {
 public:
  int btree_compare(const btree_key_t& record_key, const btree_key_t& search_key) const override {
    return extent_compare(static_cast<const extent_key_t&>(record_key),
                          static_cast<const extent_key_t&>(search_key));
  }
  std::unique_ptr<btree_key_t> btree_read_key(uint64_t offset, io_t* io) const override {
    return extent_readkey(offset, io);
  }
  bool btree_write_key(uint64_t offset, io_t* io, const btree_key_t& key) const override {
    return extent_writekey(offset, io, static_cast<const extent_key_t&>(key));
  }
  void btree_print_key(const btree_key_t& key) const override {
    extent_printkey(static_cast<const extent_key_t&>(key));
  }
  std::unique_ptr<btree_record_t> btree_read_data(uint64_t offset, io_t* io) const override {
    return extent_readdata(offset, io);
  }
};

const ExtentCallbacks kExtentCallbacks;

}  // namespace

int extent_compare(const extent_key_t& a, const extent_key_t& b) {
  if (int c = order(a.forkType, b.forkType)) return c;
  if (int c = order(a.fileID, b.fileID)) return c;
  if (int c = order(a.startBlock, b.startBlock)) return c;
  return order(a.keyLength, b.keyLength);
}

std::unique_ptr<extent_key_t> extent_readkey(uint64_t offset, io_t* io) {
  std::vector<uint8_t> buf = malloc_or_die(kHFSPlusExtentKeySize, "extent_readkey", __LINE__);
  if (!io_read(io, offset, buf.size(), buf.data())) return nullptr;
  std::unique_ptr<extent_key_t> key = new_or_die<extent_key_t>("extent_readkey", __LINE__);
  decode(buf.data(), static_cast<HFSPlusExtentKey*>(key.get()));
  return key;
}

bool extent_writekey(uint64_t offset, io_t* io, const extent_key_t& key) {
  uint8_t buf[kHFSPlusExtentKeySize];
  encode(static_cast<const HFSPlusExtentKey&>(key), buf);
  return io_write(io, offset, sizeof buf, buf);
}

void extent_printkey(const extent_key_t& key) {
  std::printf("extent%d:%d:%d", key.forkType, static_cast<int>(key.fileID), static_cast<int>(key.startBlock));
}

std::unique_ptr<extent_record_t> extent_readdata(uint64_t offset, io_t* io) {
  std::vector<uint8_t> buf = malloc_or_die(kHFSPlusExtentRecordSize, "extent_readdata", __LINE__);
  if (!io_read(io, offset, buf.size(), buf.data())) return nullptr;
  std::unique_ptr<extent_record_t> record = new_or_die<extent_record_t>("extent_readdata", __LINE__);
  decode(buf.data(), &record->extents);
  return record;
}

bool extents_tree_open(btree_t* tree, std::unique_ptr<btree_file_t> io) {
  return btree_open(tree, std::move(io), &kExtentCallbacks);
}

}  // namespace volpack
