// Catalog keys and records: their order, their codecs and the tree's callbacks.
#include <algorithm>
#include <cstdio>
#include <new>

#include "hfs/catalog.h"
#include "hfs/hfs_status.h"
#include "hfs/message_numbers.h"
#include "io/run_context.h"

namespace volpack {

namespace {

// In memory a name carries ':' where the disk carries '/'.
void name_to_disk(HFSUniStr255* name) {
  for (size_t i = 0; i < std::min<size_t>(name->length, kHFSMaxNameUnits); ++i) {
    if (name->unicode[i] == ':') name->unicode[i] = '/';
  }
}
void name_from_disk(HFSUniStr255* name) {
  for (size_t i = 0; i < std::min<size_t>(name->length, kHFSMaxNameUnits); ++i) {
    if (name->unicode[i] == '/') name->unicode[i] = ':';
  }
}

int compare_parents(const catalog_key_t& a, const catalog_key_t& b) {
  if (a.parentID != b.parentID) return a.parentID < b.parentID ? -1 : 1;
  return 0;
}

class CatalogCallbacks final : public BTreeCallbacks {
 public:
  explicit CatalogCallbacks(bool folded) : folded_(folded) {}
  int btree_compare(const btree_key_t& record_key, const btree_key_t& search_key) const override {
    const auto& a = static_cast<const catalog_key_t&>(record_key);
    const auto& b = static_cast<const catalog_key_t&>(search_key);
    return folded_ ? catalog_compare_folded(a, b) : catalog_compare_binary(a, b);
  }
  result<std::unique_ptr<btree_key_t>> btree_read_key(uint64_t offset, io_t* io) const override {
    std::unique_ptr<catalog_key_t> key;
    VOLPACK_ASSIGN_OR_RETURN(key, catalog_readkey(offset, io));
    return std::unique_ptr<btree_key_t>(std::move(key));
  }
  bool btree_write_key(uint64_t offset, io_t* io, const btree_key_t& key) const override {
    return catalog_writekey(offset, io, static_cast<const catalog_key_t&>(key));
  }
  result<std::unique_ptr<btree_record_t>> btree_read_data(uint64_t offset, io_t* io,
                                                          reporter_t* reporter) const override {
    std::unique_ptr<catalog_record_t> record;
    VOLPACK_ASSIGN_OR_RETURN(record, catalog_readdata(offset, io, reporter));
    return std::unique_ptr<btree_record_t>(std::move(record));
  }

 private:
  bool folded_;
};

const CatalogCallbacks kCatalogBinaryOrder(false);
const CatalogCallbacks kCatalogFoldedOrder(true);

}  // namespace

CatalogNodeID catalog_record_t::id() const {
  if (is_folder()) return folder.folderID;
  if (is_file()) return file.fileID;
  return 0;
}

HFSPlusBSDInfo* catalog_record_t::permissions() {
  if (is_folder()) return &folder.permissions;
  if (is_file()) return &file.permissions;
  return nullptr;
}

void catalog_make_key(catalog_key_t* key, CatalogNodeID parent, const HFSUniStr255& name) {
  key->parentID = parent;
  key->nodeName = HFSUniStr255();
  size_t n = std::min<size_t>(name.length, kHFSMaxNameUnits);
  std::copy(name.unicode.begin(), name.unicode.begin() + static_cast<std::ptrdiff_t>(n),
            key->nodeName.unicode.begin());
  key->nodeName.length = static_cast<uint16_t>(n);
  key->keyLength = static_cast<uint16_t>(6 + 2 * n);
}

int catalog_compare_binary(const catalog_key_t& a, const catalog_key_t& b) {
  if (int c = compare_parents(a, b)) return c;
  size_t la = std::min<size_t>(a.nodeName.length, kHFSMaxNameUnits);
  size_t lb = std::min<size_t>(b.nodeName.length, kHFSMaxNameUnits);
  for (size_t i = 0;; ++i) {
    if (i >= la) return i >= lb ? 0 : -1;
    if (i >= lb) return 1;
    uint16_t ca = a.nodeName.unicode[i] == ':' ? '/' : a.nodeName.unicode[i];
    uint16_t cb = b.nodeName.unicode[i] == ':' ? '/' : b.nodeName.unicode[i];
    if (ca != cb) return ca < cb ? -1 : 1;
  }
}

int catalog_compare_folded(const catalog_key_t& a, const catalog_key_t& b) {
  if (int c = compare_parents(a, b)) return c;
  return unicode_compare_folded(a.nodeName.unicode.data(), std::min<size_t>(a.nodeName.length, kHFSMaxNameUnits),
                                b.nodeName.unicode.data(), std::min<size_t>(b.nodeName.length, kHFSMaxNameUnits));
}

namespace {

// A new object, or the out-of-memory status "<func>():<number>: malloc error (out of memory)\n".
template <class T>
result<std::unique_ptr<T>> new_object(const char* func, int number) {
  std::unique_ptr<T> p(new (std::nothrow) T);
  if (p == nullptr) return status_errorf("%s():%d: malloc error (out of memory)\n", func, number);
  return p;
}

using no_key = std::unique_ptr<catalog_key_t>;
using no_record = std::unique_ptr<catalog_record_t>;

}  // namespace

result<std::unique_ptr<catalog_key_t>> catalog_readkey(uint64_t offset, io_t* io) {
  uint8_t buf[kHFSPlusCatalogKeyMaxSize];  // read often (every search), so not from the heap
  // keyLength, parentID and the name's length first; the units once the
  // length is known to fit.
  if (!io_read(io, offset, kHFSPlusCatalogKeyMinSize, buf)) return no_key();
  HFSPlusCatalogKey head;
  decode(buf, &head);
  if (head.nodeName.length > kHFSMaxNameUnits)
    return status_errorf("catalog_readkey(): ERROR: key->nodeName.length > 255\n");
  if (head.keyLength > 6 + 2 * head.nodeName.length) {
    return status_errorf(
        "catalog_readkey(): ERROR: key->keyLength > UNICODE_START - sizeof (uint16_t) + "
        "key->nodeName.length * sizeof (uint16_t)\n");
  }
  if (!io_read(io, offset + kHFSPlusCatalogKeyMinSize, 2u * head.nodeName.length, buf + kHFSPlusCatalogKeyMinSize))
    return no_key();
  std::unique_ptr<catalog_key_t> key;
  VOLPACK_ASSIGN_OR_RETURN(key, new_object<catalog_key_t>("catalog_readkey", msgno::kReadKeyAlloc));
  decode(buf, static_cast<HFSPlusCatalogKey*>(key.get()));
  name_from_disk(&key->nodeName);
  return key;
}

bool catalog_writekey(uint64_t offset, io_t* io, const catalog_key_t& key) {
  HFSPlusCatalogKey disk = key;
  name_to_disk(&disk.nodeName);
  uint8_t buf[kHFSPlusCatalogKeyMaxSize];
  encode(disk, buf);
  size_t n = std::min(encoded_size(disk), kHFSPlusCatalogKeyMaxSize);
  return io_write(io, offset, n, buf);
}

result<std::unique_ptr<catalog_record_t>> catalog_readdata(uint64_t offset, io_t* io, reporter_t* reporter) {
  uint8_t type_bytes[2];
  if (!io_read(io, offset, sizeof type_bytes, type_bytes)) return no_record();
  int16_t type = static_cast<int16_t>(get_be16(type_bytes));
  const char* const func = "catalog_readdata";
  std::vector<uint8_t> buf;
  std::unique_ptr<catalog_record_t> record;
  switch (type) {
    case kHFSPlusFolderRecord: {
      VOLPACK_RETURN_IF_ERROR(hfs_buffer(&buf, kHFSPlusCatalogFolderSize, func, msgno::kReadDataFolderAlloc));
      if (!io_read(io, offset, buf.size(), buf.data())) return no_record();
      VOLPACK_ASSIGN_OR_RETURN(record, new_object<catalog_record_t>(func, msgno::kReadDataFolderAlloc));
      decode(buf.data(), &record->folder);
      record->recordType = type;
      return record;
    }
    case kHFSPlusFileRecord: {
      VOLPACK_RETURN_IF_ERROR(hfs_buffer(&buf, kHFSPlusCatalogFileSize, func, msgno::kReadDataFileAlloc));
      if (!io_read(io, offset, buf.size(), buf.data())) return no_record();
      VOLPACK_ASSIGN_OR_RETURN(record, new_object<catalog_record_t>(func, msgno::kReadDataFileAlloc));
      decode(buf.data(), &record->file);
      record->recordType = type;
      return record;
    }
    case kHFSPlusFolderThreadRecord:
    case kHFSPlusFileThreadRecord: {
      VOLPACK_RETURN_IF_ERROR(hfs_buffer(&buf, kHFSPlusCatalogThreadMaxSize, func, msgno::kReadDataThreadAlloc));
      if (!io_read(io, offset, kHFSPlusCatalogThreadMinSize, buf.data())) return no_record();
      HFSPlusCatalogThread head;
      decode(buf.data(), &head);
      if (head.nodeName.length > kHFSMaxNameUnits) {
        // It would not fit the largest thread; the record is damaged.
        if (reporter != nullptr)
          reporter->warnf("catalog_readdata():%d: WARNING: thread name length %u > 255\n", msgno::kReadDataThreadName,
                          static_cast<unsigned>(head.nodeName.length));
        return no_record();
      }
      if (!io_read(io, offset + kHFSPlusCatalogThreadMinSize, 2u * head.nodeName.length,
                   buf.data() + kHFSPlusCatalogThreadMinSize)) {
        return no_record();
      }
      VOLPACK_ASSIGN_OR_RETURN(record, new_object<catalog_record_t>(func, msgno::kReadDataThreadAlloc));
      decode(buf.data(), &record->thread);
      name_from_disk(&record->thread.nodeName);
      record->recordType = type;
      return record;
    }
    default:
      if (reporter != nullptr)
        reporter->warnf("catalog_readdata():%d: WARNING: unknown record type (%d)\n", msgno::kReadDataUnknownType,
                        type);
      return no_record();
  }
}

result<std::vector<uint8_t>> catalog_encode_record(const catalog_record_t& record) {
  const char* const func = "catalog_encode_record";
  std::vector<uint8_t> out;
  if (record.is_folder()) {
    VOLPACK_RETURN_IF_ERROR(hfs_buffer(&out, kHFSPlusCatalogFolderSize, func, msgno::kEncodeFolderAlloc));
    encode(record.folder, out.data());
    return out;
  }
  if (record.is_file()) {
    VOLPACK_RETURN_IF_ERROR(hfs_buffer(&out, kHFSPlusCatalogFileSize, func, msgno::kEncodeFileAlloc));
    encode(record.file, out.data());
    return out;
  }
  HFSPlusCatalogThread disk = record.thread;
  disk.recordType = record.recordType;
  name_to_disk(&disk.nodeName);
  VOLPACK_RETURN_IF_ERROR(hfs_buffer(&out, encoded_size(disk), func, msgno::kEncodeThreadAlloc));
  encode(disk, out.data());
  return out;
}

bool catalog_open(btree_t* tree, std::unique_ptr<btree_file_t> io) {
  if (!btree_open(tree, std::move(io), &kCatalogBinaryOrder)) return false;
  if (tree->header.keyCompareType == kHFSCaseFolding) tree->callbacks = &kCatalogFoldedOrder;
  return true;
}

}  // namespace volpack
