// The extents overflow tree: key order, key and record codecs, and its opening.
#include <new>

#include "hfs/volume.h"

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
  result<std::unique_ptr<btree_key_t>> btree_read_key(uint64_t offset, io_t* io) const override {
    return std::unique_ptr<btree_key_t>(extent_readkey(offset, io));
  }
  bool btree_write_key(uint64_t offset, io_t* io, const btree_key_t& key) const override {
    return extent_writekey(offset, io, static_cast<const extent_key_t&>(key));
  }
  result<std::unique_ptr<btree_record_t>> btree_read_data(uint64_t offset, io_t* io, reporter_t*) const override {
    return std::unique_ptr<btree_record_t>(extent_readdata(offset, io));
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
  uint8_t buf[kHFSPlusExtentKeySize];
  if (!io_read(io, offset, sizeof buf, buf)) return nullptr;
  std::unique_ptr<extent_key_t> key(new (std::nothrow) extent_key_t);
  if (key != nullptr) decode(buf, static_cast<HFSPlusExtentKey*>(key.get()));
  return key;
}

bool extent_writekey(uint64_t offset, io_t* io, const extent_key_t& key) {
  uint8_t buf[kHFSPlusExtentKeySize];
  encode(static_cast<const HFSPlusExtentKey&>(key), buf);
  return io_write(io, offset, sizeof buf, buf);
}

std::unique_ptr<extent_record_t> extent_readdata(uint64_t offset, io_t* io) {
  uint8_t buf[kHFSPlusExtentRecordSize];
  if (!io_read(io, offset, sizeof buf, buf)) return nullptr;
  std::unique_ptr<extent_record_t> record(new (std::nothrow) extent_record_t);
  if (record != nullptr) decode(buf, &record->extents);
  return record;
}

bool extents_tree_open(btree_t* tree, std::unique_ptr<btree_file_t> io) {
  return btree_open(tree, std::move(io), &kExtentCallbacks);
}

}  // namespace volpack
