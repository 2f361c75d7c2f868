// Catalog updates: new folders, files and symbolic links, rewritten records,
// permissions and ownership.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "hfs/btree_cache.h"
#include "hfs/catalog.h"
#include "hfs/catalog_internal.h"
#include "hfs/volume.h"
#include "io/bytes.h"
#include "io/die.h"
#include "io/host_fs.h"
#include "hfs/message_numbers.h"
#include "io/run_context.h"

namespace volpack {

namespace {

constexpr uint16_t kNewFolderMode = 0040755;
constexpr uint16_t kNewFileMode = 0100644;

void insert_or_die(volume_t* volume, const catalog_key_t& key, const catalog_record_t& record) {
  std::vector<uint8_t> bytes = catalog_encode_record(record);
  btree_add_or_die(&volume->catalog_tree, key, static_cast<uint16_t>(bytes.size()), bytes.data());
}

// The names and numbers of one creating operation's messages.
struct create_names {
  const char* func;
  int malloc_line;
  int parent_line;
};
const create_names kFolderNames = {"volume_create_folder", 994, 1013};
const create_names kFileNames = {"volume_create_file", 1088, 1107};

// Creates the item under `key` in the folder `*parent`: header counts, the
// record and its thread. The parent's counts change in `*parent` only.
// Gives the new ID, or 0 with the reason in `*result`.
CatalogNodeID create_in(volume_t* volume, catalog_record_t* parent, const catalog_key_t& key, bool is_folder,
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
  insert_or_die(volume, key, record);
  if (volume->catalog_tree.header.leafRecords == leaf_records) {
    std::unique_ptr<catalog_record_t> existing = find_exact(volume, key);
    // Only ignorable characters: the name reads as the empty one of the
    // parent's own thread.
    result->status = existing != nullptr && existing->is_thread() ? create_status_t::kEmptyName
                                                                  : create_status_t::kNameExists;
    result->existing_id = existing != nullptr ? existing->id() : 0;
    return 0;
  }
  if (place != nullptr) *place = catalog_place_t{volume->catalog_tree.last_leaf_node, volume->catalog_tree.last_leaf_index};
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
  insert_or_die(volume, thread_key, thread);

  if (is_folder) ++parent->folder.folderCount;
  ++parent->folder.valence;
  if (created != nullptr) *created = record;
  return id;
}

CatalogNodeID create_item(volume_t* volume, const char* path, bool is_folder, create_result_t* result) {
  const create_names& names = is_folder ? kFolderNames : kFileNames;
  create_result_t ignored;
  if (result == nullptr) result = &ignored;
  *result = create_result_t();

  size_t length = std::strlen(path);
  std::vector<uint8_t> copy = malloc_or_die(length + 1, names.func, names.malloc_line);
  std::memcpy(copy.data(), path, length + 1);
  char* text = reinterpret_cast<char*>(copy.data());
  const char* parent_path = "/";
  const char* name = text;
  if (char* slash = std::strrchr(text, '/')) {
    *slash = '\0';
    parent_path = text;  // "" for a name behind a single leading slash: the root
    name = slash + 1;
  }

  std::unique_ptr<catalog_record_t> parent = volume_get_record_from_path(volume, parent_path, nullptr, nullptr);
  if (parent == nullptr || !parent->is_folder()) {
    die("%s():%d: ERROR: parent is not a folder\n", names.func, names.parent_line);
  }
  const CatalogNodeID parent_id = parent->folder.folderID;

  HFSUniStr255 unicode_name;
  if (*name == '\0') {
    result->status = create_status_t::kEmptyName;
    return 0;
  }
  if (!unistr_from_host(&unicode_name, name, std::strlen(name))) {
    result->status = create_status_t::kNameTooLong;
    return 0;
  }
  catalog_key_t key;
  catalog_make_key(&key, parent_id, unicode_name);
  CatalogNodeID id = create_in(volume, parent.get(), key, is_folder, result, nullptr, nullptr);
  if (id == 0) return 0;
  volume_update_catalog(volume, *parent);
  if (!volume_update(volume)) {
    if (is_folder) die("volume_create_folder():%d: ERROR: volume_update failed\n", 1059);
    die("volume_create_file(): ERROR: volume_update failed\n");
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

CatalogNodeID volume_create_folder(volume_t* volume, const char* path, create_result_t* result) {
  return create_item(volume, path, true, result);
}

CatalogNodeID volume_create_file(volume_t* volume, const char* path, create_result_t* result) {
  return create_item(volume, path, false, result);
}

CatalogNodeID volume_create_in_folder(volume_t* volume, catalog_record_t* parent, const HFSUniStr255& name,
                                      bool is_folder, create_result_t* result, catalog_record_t* created,
                                      catalog_key_t* key, catalog_place_t* place) {
  create_result_t ignored;
  if (result == nullptr) result = &ignored;
  *result = create_result_t();
  if (parent == nullptr || !parent->is_folder()) {
    const create_names& names = is_folder ? kFolderNames : kFileNames;
    die("%s():%d: ERROR: parent is not a folder\n", names.func, names.parent_line);
  }
  catalog_key_t own_key;
  if (key == nullptr) key = &own_key;
  catalog_make_key(key, parent->folder.folderID, name);
  return create_in(volume, parent, *key, is_folder, result, created, place);
}

bool volume_create_symlink(volume_t* volume, const char* path, const char* target, create_result_t* result) {
  create_result_t ignored;
  if (result == nullptr) result = &ignored;
  *result = create_result_t();
  const size_t target_length = std::strlen(target);
  // Readers take a target into a buffer of 1,024 bytes with its end mark.
  if (target_length > kMaxLinkTarget) {
    result->status = create_status_t::kTargetTooLong;
    return false;
  }

  std::unique_ptr<catalog_record_t> record =
      volume_get_record_from_path_with_options(volume, path, true, false, kHFSRootFolderID, nullptr, nullptr);
  if (record == nullptr) {
    CatalogNodeID id = volume_create_file(volume, path, result);
    if (id == 0) return false;
    record = volume_get_record_by_id(volume, id);
    if (record == nullptr) return false;
    record->file.permissions.fileMode |= S_IFLNK_HFS;
    record->file.userInfo.fileType = fourcc("slnk");
    record->file.userInfo.fileCreator = fourcc("rhap");
    volume_update_catalog(volume, *record);
  } else {
    // Only the link stored under exactly this name is rewritten; a name that
    // matches another item only when case is ignored is a collision.
    std::unique_ptr<catalog_record_t> thread;
    HFSUniStr255 wanted;
    bool same_name = false;
    if (record->is_symlink()) {
      catalog_key_t thread_key;
      catalog_make_key(&thread_key, record->file.fileID, HFSUniStr255());
      thread = find_exact(volume, thread_key);
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
      return false;
    }
  }

  std::unique_ptr<hfsfile_t> fork =
      volume_open_hfsfile(volume, record->file.fileID, &record->file.dataFork, record.get());
  // The fork takes the target's length, so a shorter new target leaves no
  // tail of the old one.
  hfsfile_allocate_or_die(fork.get(), target_length);
  bool written = hfsfile_write(fork.get(), 0, target_length, target);
  hfsfile_close(std::move(fork));
  return written;
}

void volume_update_catalog(volume_t* volume, const catalog_record_t& record) {
  if (!record.is_folder() && !record.is_file()) return;
  catalog_key_t thread_key;
  catalog_make_key(&thread_key, record.id(), HFSUniStr255());
  std::unique_ptr<catalog_record_t> thread = find_exact(volume, thread_key);
  if (thread == nullptr || !thread->is_thread()) {
    if (volume->reporter != nullptr)
      volume->reporter->warnf("volume_update_catalog():%d: WARNING: no thread record for ID %u\n", msgno::kUpdateNoThread,
                              static_cast<unsigned>(record.id()));
    return;
  }
  catalog_key_t key;
  catalog_make_key(&key, thread->thread.parentID, thread->thread.nodeName);
  volume_update_catalog_at(volume, key, record);
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

void volume_update_catalog_at(volume_t* volume, const catalog_key_t& key, const catalog_record_t& record,
                              const catalog_place_t* hint) {
  if (!record.is_folder() && !record.is_file()) return;
  btree_t* tree = &volume->catalog_tree;
  NodeNumber node = 0;
  uint16_t index = 0;
  if (hint != nullptr && record_is_at(tree, key, record, hint->node, hint->index)) {
    node = hint->node;  // still where it was put: no search
    index = hint->index;
  } else {
    bool exact = false;
    result<std::unique_ptr<btree_record_t>> found = btree_search(tree, key, &exact, &node, &index);
    if (!found) die("%s", found.error().message().c_str());
    std::unique_ptr<catalog_record_t> stored = as_catalog(found.take());
    int16_t stored_type = stored != nullptr && exact ? stored->recordType : 0;
    // Checked before the record is rewritten, so that a record of another kind is never lost.
    if (stored_type != record.recordType) {
      if (volume->reporter != nullptr)
        volume->reporter->errorf("volume_update_catalog():%d: unexpected recordType (%u)\n", msgno::kUpdateRecordType,
                                 static_cast<unsigned>(static_cast<uint16_t>(stored_type)));
      return;
    }
  }
  // Folder and file records have one size each: the new record takes the
  // stored one's place in its node, after the stored key.
  std::vector<uint8_t> bytes = catalog_encode_record(record);
  uint64_t offset = btree_get_record_offset_or_die(tree, node, index);
  uint8_t key_length[2];
  if (!io_read(tree->io.get(), offset, sizeof key_length, key_length) ||
      !io_write(tree->io.get(), offset + get_be16(key_length) + 2u, bytes.size(), bytes.data())) {
    die("volume_update_catalog():%d: io_write error\n", __LINE__);
  }
}

bool volume_chmod(volume_t* volume, const char* path, uint16_t mode) {
  std::unique_ptr<catalog_record_t> record = volume_get_record_from_path(volume, path, nullptr, nullptr);
  if (record == nullptr || record->permissions() == nullptr) return false;
  HFSPlusBSDInfo* p = record->permissions();
  p->fileMode = static_cast<uint16_t>((p->fileMode & S_IFMT_HFS) | (mode & ~S_IFMT_HFS));
  volume_update_catalog(volume, *record);
  return true;
}

bool volume_chown(volume_t* volume, const char* path, uint32_t owner, uint32_t group) {
  std::unique_ptr<catalog_record_t> record = volume_get_record_from_path(volume, path, nullptr, nullptr);
  if (record == nullptr || record->permissions() == nullptr) return false;
  record->permissions()->ownerID = owner;
  record->permissions()->groupID = group;
  volume_update_catalog(volume, *record);
  return true;
}

}  // namespace volpack
