// What the catalog's lookup and update code share and nobody else needs.
#pragma once

#include <cstdint>
#include <memory>

#include "hfs/btree.h"
#include "hfs/catalog.h"
#include "hfs/hfs_status.h"
#include "hfs/message_numbers.h"
#include "hfs/volume.h"

namespace volpack {

// A symbolic link's target is at most this many bytes, so that it can be
// read back into a 1,024-byte path buffer.
constexpr uint64_t kMaxLinkTarget = 1023;

// The catalog tree's callbacks give catalog records.
inline std::unique_ptr<catalog_record_t> as_catalog(std::unique_ptr<btree_record_t> r) {
  return std::unique_ptr<catalog_record_t>(static_cast<catalog_record_t*>(r.release()));
}

// The record stored under exactly `key`, or null.
inline result<std::unique_ptr<catalog_record_t>> find_exact(volume_t* volume, const catalog_key_t& key) {
  bool exact = false;
  std::unique_ptr<btree_record_t> found;
  VOLPACK_ASSIGN_OR_RETURN(
      found, volume_tree_result(volume, btree_search(&volume->catalog_tree, key, &exact, nullptr, nullptr)));
  std::unique_ptr<catalog_record_t> r = as_catalog(std::move(found));
  if (!exact) r.reset();
  return r;
}

}  // namespace volpack
