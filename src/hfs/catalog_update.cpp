// Catalog updates: new folders, files and symbolic links, rewritten records.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "hfs/btree_cache.h"
#include "hfs/catalog.h"
#include "hfs/catalog_internal.h"
#include "hfs/volume.h"
#include "io/bytes.h"
#include "io/host_fs.h"
#include "io/run_context.h"

namespace volpack {

namespace {

using record_ptr = std::unique_ptr<catalog_record_t>;

constexpr uint16_t kNewFolderMode = 0040755;
constexpr uint16_t kNewFileMode = 0100644;

status insert(volume_t* volume, const catalog_key_t& key, const catalog_record_t& record) {
  std::vector<uint8_t> bytes;
  VOLPACK_ASSIGN_OR_RETURN(bytes, catalog_encode_record(record));
  btree_t* tree = &volume->catalog_tree;
  return volume_tree_status(volume, btree_add(tree, key, static_cast<uint16_t>(bytes.size()), bytes.data()));
}

// The names and numbers of one creating operation's messages.
struct create_names {
  const char* func;
  int malloc_number;
  int parent_number;
};
const create_names kFolderNames = {"volume_create_folder", msgno::kCreateFolderAlloc, msgno::kCreateFolderParent};
const create_names kFileNames = {"volume_create_file", msgno::kCreateFileAlloc, msgno::kCreateFileParent};

// Creates the item under `key` in the folder `*parent`: header counts, the
// record and its thread. The parent's counts change in `*parent` only.
// Gives the new ID, or 0 with the reason in `*result`; where the record went
// in `*place` (may be null).
result<CatalogNodeID> create_in(volume_t* volume, catalog_record_t* parent, const catalog_key_t& key, bool is_folder,
                                create_result_t* result, catalog_record_t* created, catalog_place_t* place) {
  HFSPlusVolumeHeader& h = volume->header;
  const CatalogNodeID id = h.nextCatalogID;
  const uint32_t now = hfs_date_from_unix(volume->clock != nullptr ? volume->clock->now() : host_time());
  catalog_record_t record;
  HFSPlusBSDInfo* permissions;
  if (is_folder) {
    record.recordType = kHFSPlusFolderRecord;
    HFSPlusCatalogFolder& f = record.folder;
    f.flags = kHFSHasFolderCountMask;
    f.folderID = id;
    f.createDate = f.contentModDate = f.attributeModDate = f.accessDate = f.backupDate = now;
    permissions = &f.permissions;
    permissions->fileMode = kNewFolderMode;
  } else {
    record.recordType = kHFSPlusFileRecord;
    HFSPlusCatalogFile& f = record.file;
    f.flags = kHFSThreadExistsMask;
    f.fileID = id;
    f.createDate = f.contentModDate = f.attributeModDate = f.accessDate = f.backupDate = now;
    permissions = &f.permissions;
    permissions->fileMode = kNewFileMode;
  }
  permissions->ownerID = parent->folder.permissions.ownerID;
  permissions->groupID = parent->folder.permissions.groupID;

  // The tree takes no key it holds already under its order, and then changes
  // nothing: the volume ignores case and the host may not, so "README" beside
  // "readme" must not become two records of one name.
  const uint32_t leaf_records = volume->catalog_tree.header.leafRecords;
  VOLPACK_RETURN_IF_ERROR(insert(volume, key, record));
  if (volume->catalog_tree.header.leafRecords == leaf_records) {
    record_ptr existing;
    VOLPACK_ASSIGN_OR_RETURN(existing, find_exact(volume, key));
    // Only ignorable characters: the name reads as the empty one of the
    // parent's own thread.
    result->status =
        existing != nullptr && existing->is_thread() ? create_status_t::kEmptyName : create_status_t::kNameExists;
    result->existing_id = existing != nullptr ? existing->id() : 0;
    return CatalogNodeID{0};
  }
  if (place != nullptr)
    *place = catalog_place_t{volume->catalog_tree.last_leaf_node, volume->catalog_tree.last_leaf_index};
  ++h.nextCatalogID;
  if (is_folder) {
    ++h.folderCount;
  } else {
    ++h.fileCount;
  }

  catalog_record_t thread;
  thread.recordType = is_folder ? kHFSPlusFolderThreadRecord : kHFSPlusFileThreadRecord;
  thread.thread.recordType = thread.recordType;
  thread.thread.parentID = key.parentID;
  thread.thread.nodeName = key.nodeName;
  catalog_key_t thread_key;
  catalog_make_key(&thread_key, id, HFSUniStr255());
  VOLPACK_RETURN_IF_ERROR(insert(volume, thread_key, thread));

  if (is_folder) ++parent->folder.folderCount;
  ++parent->folder.valence;
  if (created != nullptr) *created = record;
  return id;
}

result<CatalogNodeID> create_item(volume_t* volume, const char* path, bool is_folder, create_result_t* result) {
  const create_names& names = is_folder ? kFolderNames : kFileNames;
  create_result_t ignored;
  if (result == nullptr) result = &ignored;
  *result = create_result_t();

  size_t length = std::strlen(path);
  std::vector<uint8_t> copy;
  VOLPACK_RETURN_IF_ERROR(hfs_buffer(&copy, length + 1, names.func, names.malloc_number));
  std::memcpy(copy.data(), path, length + 1);
  char* text = reinterpret_cast<char*>(copy.data());
  const char* parent_path = "/";
  const char* name = text;
  if (char* slash = std::strrchr(text, '/')) {
    *slash = '\0';
    parent_path = text;  // "" for a name behind a single leading slash: the root
    name = slash + 1;
  }

  record_ptr parent;
  VOLPACK_ASSIGN_OR_RETURN(parent, volume_get_record_from_path(volume, parent_path, nullptr, nullptr));
  if (parent == nullptr || !parent->is_folder())
    return status_errorf("%s():%d: ERROR: parent is not a folder\n", names.func, names.parent_number);
  const CatalogNodeID parent_id = parent->folder.folderID;

  HFSUniStr255 unicode_name;
  if (*name == '\0') {
    result->status = create_status_t::kEmptyName;
    return CatalogNodeID{0};
  }
  if (!unistr_from_host(&unicode_name, name, std::strlen(name))) {
    result->status = create_status_t::kNameTooLong;
    return CatalogNodeID{0};
  }
  catalog_key_t key;
  catalog_make_key(&key, parent_id, unicode_name);
  CatalogNodeID id;
  VOLPACK_ASSIGN_OR_RETURN(id, create_in(volume, parent.get(), key, is_folder, result, nullptr, nullptr));
  if (id == 0) return CatalogNodeID{0};
  VOLPACK_RETURN_IF_ERROR(volume_update_catalog(volume, *parent));
  if (!volume_update(volume)) {
    if (is_folder)
      return status_errorf("volume_create_folder():%d: ERROR: volume_update failed\n", msgno::kCreateFolderUpdate);
    return status_errorf("volume_create_file(): ERROR: volume_update failed\n");
  }
  return id;
}

// The last component of a path, trailing slashes aside.
std::string last_component(const char* path) {
  std::string p(path);
  while (!p.empty() && p.back() == '/') p.pop_back();
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

result<CatalogNodeID> volume_create_folder(volume_t* volume, const char* path, create_result_t* result) {
  return create_item(volume, path, true, result);
}

result<CatalogNodeID> volume_create_file(volume_t* volume, const char* path, create_result_t* result) {
  return create_item(volume, path, false, result);
}

result<CatalogNodeID> volume_create_in_folder(volume_t* volume, catalog_record_t* parent, const HFSUniStr255& name,
                                              bool is_folder, create_result_t* result, catalog_record_t* created,
                                              catalog_key_t* key, catalog_place_t* place) {
  create_result_t ignored;
  if (result == nullptr) result = &ignored;
  *result = create_result_t();
  if (parent == nullptr || !parent->is_folder()) {
    const create_names& names = is_folder ? kFolderNames : kFileNames;
    return status_errorf("%s():%d: ERROR: parent is not a folder\n", names.func, names.parent_number);
  }
  catalog_key_t own_key;
  if (key == nullptr) key = &own_key;
  catalog_make_key(key, parent->folder.folderID, name);
  return create_in(volume, parent, *key, is_folder, result, created, place);
}

result<CatalogNodeID> volume_create_symlink(volume_t* volume, const char* path, const char* target,
                                            create_result_t* result) {
  create_result_t ignored;
  if (result == nullptr) result = &ignored;
  *result = create_result_t();
  const size_t target_length = std::strlen(target);
  // Readers take a target into a buffer of 1,024 bytes with its end mark.
  if (target_length > kMaxLinkTarget) {
    result->status = create_status_t::kTargetTooLong;
    return CatalogNodeID{0};
  }

  record_ptr record;
  VOLPACK_ASSIGN_OR_RETURN(
      record, volume_get_record_from_path_with_options(volume, path, true, false, kHFSRootFolderID, nullptr, nullptr));
  if (record == nullptr) {
    CatalogNodeID id;
    VOLPACK_ASSIGN_OR_RETURN(id, volume_create_file(volume, path, result));
    if (id == 0) return CatalogNodeID{0};
    VOLPACK_ASSIGN_OR_RETURN(record, volume_get_record_by_id(volume, id));
    if (record == nullptr) return CatalogNodeID{0};
    record->file.permissions.fileMode |= S_IFLNK_HFS;
    record->file.userInfo.fileType = fourcc("slnk");
    record->file.userInfo.fileCreator = fourcc("rhap");
    VOLPACK_RETURN_IF_ERROR(volume_update_catalog(volume, *record));
  } else {
    // Only the link stored under exactly this name is rewritten; a name that
    // matches another item only when case is ignored is a collision.
    record_ptr thread;
    HFSUniStr255 wanted;
    bool same_name = false;
    if (record->is_symlink()) {
      catalog_key_t thread_key;
      catalog_make_key(&thread_key, record->file.fileID, HFSUniStr255());
      VOLPACK_ASSIGN_OR_RETURN(thread, find_exact(volume, thread_key));
      std::string name = last_component(path);
      if (thread != nullptr && thread->is_thread() && unistr_from_host(&wanted, name.data(), name.size())) {
        const HFSUniStr255& stored = thread->thread.nodeName;
        same_name = stored.length == wanted.length &&
                    std::equal(stored.unicode.begin(), stored.unicode.begin() + stored.length, wanted.unicode.begin());
      }
    }
    if (!same_name) {
      result->status = create_status_t::kNameExists;
      result->existing_id = record->id();
      return CatalogNodeID{0};
    }
  }

  std::unique_ptr<hfsfile_t> fork;
  VOLPACK_ASSIGN_OR_RETURN(fork,
                           volume_open_hfsfile(volume, record->file.fileID, &record->file.dataFork, record.get()));
  // The fork takes the target's length, so a shorter new target leaves no
  // tail of the old one.
  status written = hfsfile_allocate(fork.get(), target_length);
  if (written) written = hfsfile_write(fork.get(), 0, target_length, target);
  hfsfile_close(std::move(fork));
  VOLPACK_RETURN_IF_ERROR(written);
  return record->file.fileID;
}

status volume_update_catalog(volume_t* volume, const catalog_record_t& record) {
  if (!record.is_folder() && !record.is_file()) return status::ok();
  catalog_key_t thread_key;
  catalog_make_key(&thread_key, record.id(), HFSUniStr255());
  record_ptr thread;
  VOLPACK_ASSIGN_OR_RETURN(thread, find_exact(volume, thread_key));
  if (thread == nullptr || !thread->is_thread()) {
    if (volume->reporter != nullptr)
      volume->reporter->warnf("volume_update_catalog():%d: WARNING: no thread record for ID %u\n",
                              msgno::kUpdateNoThread, static_cast<unsigned>(record.id()));
    return status::ok();
  }
  catalog_key_t key;
  catalog_make_key(&key, thread->thread.parentID, thread->thread.nodeName);
  return volume_update_catalog_at(volume, key, record);
}

namespace {

// True when record `index` of leaf `node` is the one under `key` and of the
// record's kind: it can be rewritten in its place.
bool record_is_at(btree_t* tree, const catalog_key_t& key, const catalog_record_t& record, NodeNumber node,
                  uint16_t index) {
  if (node == 0 || node >= tree->header.totalNodes) return false;
  result<BTNodeDescriptor> desc = btree_read_descriptor(tree, node);
  if (!desc || desc.value().kind != kBTLeafNode || index >= desc.value().numRecords) return false;
  result<uint64_t> offset = btree_get_record_offset(tree, node, index);
  if (!offset) return false;
  std::unique_ptr<btree_key_t> hold;
  result<const btree_key_t*> stored = btree_peek_key(tree, offset.value(), &hold, "volume_update_catalog", 0);
  if (!stored || tree->callbacks->btree_compare(*stored.value(), key) != 0) return false;
  uint8_t type[2];
  return io_read(tree->io.get(), offset.value() + stored.value()->key_length() + 2u, sizeof type, type) &&
         static_cast<int16_t>(get_be16(type)) == record.recordType;
}

}  // namespace

status volume_update_catalog_at(volume_t* volume, const catalog_key_t& key, const catalog_record_t& record,
                                const catalog_place_t* hint) {
  if (!record.is_folder() && !record.is_file()) return status::ok();
  btree_t* tree = &volume->catalog_tree;
  NodeNumber node = 0;
  uint16_t index = 0;
  if (hint != nullptr && record_is_at(tree, key, record, hint->node, hint->index)) {
    node = hint->node;  // still where it was put: no search
    index = hint->index;
  } else {
    bool exact = false;
    std::unique_ptr<btree_record_t> found;
    VOLPACK_ASSIGN_OR_RETURN(found, volume_tree_result(volume, btree_search(tree, key, &exact, &node, &index)));
    record_ptr stored = as_catalog(std::move(found));
    int16_t stored_type = stored != nullptr && exact ? stored->recordType : 0;
    // Checked before the record is rewritten, so that a record of another kind is never lost.
    if (stored_type != record.recordType) {
      if (volume->reporter != nullptr)
        volume->reporter->errorf("volume_update_catalog():%d: unexpected recordType (%u)\n", msgno::kUpdateRecordType,
                                 static_cast<unsigned>(static_cast<uint16_t>(stored_type)));
      return status::ok();
    }
  }
  // Folder and file records have one size each: the new record takes the
  // stored one's place in its node, after the stored key.
  std::vector<uint8_t> bytes;
  VOLPACK_ASSIGN_OR_RETURN(bytes, catalog_encode_record(record));
  uint64_t offset;
  VOLPACK_ASSIGN_OR_RETURN(offset, volume_tree_result(volume, btree_get_record_offset(tree, node, index)));
  uint8_t key_length[2];
  if (!io_read(tree->io.get(), offset, sizeof key_length, key_length) ||
      !io_write(tree->io.get(), offset + get_be16(key_length) + 2u, bytes.size(), bytes.data())) {
    return volume_tree_status(volume,
                              status_errorf("volume_update_catalog():%d: io_write error\n", msgno::kUpdateWrite));
  }
  return status::ok();
}

}  // namespace volpack
