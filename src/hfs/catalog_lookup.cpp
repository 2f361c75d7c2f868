// Catalog lookups: paths, links, IDs, the hard-link folder and folder listings.
#include <cstdio>
#include <cstring>

#include "hfs/catalog.h"
#include "hfs/catalog_internal.h"
#include "hfs/volume.h"
#include "io/run_context.h"

namespace volpack {

namespace {

using record_ptr = std::unique_ptr<catalog_record_t>;

// As many levels of symbolic links as macOS follows before giving up; a
// cycle of links ends here instead of in endless recursion.
constexpr int kMaxLinkDepth = 32;

result<record_ptr> resolve_path(volume_t* volume, const char* path, bool follow, bool follow_last, CatalogNodeID start,
                                const char** remainder, catalog_key_t* key_out, int depth);

// A hard link's node: "iNode<n>" in the hard-link folder. None when the
// volume has no such folder or the node is missing.
result<record_ptr> hard_link_target(volume_t* volume, const catalog_record_t& link, catalog_key_t* key) {
  if (volume->private_folder_id == 0) return record_ptr();
  HFSUniStr255 name;
  if (!unistr_printf(&name, "iNode%d", static_cast<int>(link.file.permissions.special))) return record_ptr();
  catalog_key_t node_key;
  catalog_make_key(&node_key, volume->private_folder_id, name);
  record_ptr node;
  VOLPACK_ASSIGN_OR_RETURN(node, find_exact(volume, node_key));
  if (node != nullptr && key != nullptr) *key = node_key;
  return node;
}

// The target of a link record found in folder `parent` (with `key` its key,
// updated to the target's key); the record itself when it is no link.
result<record_ptr> link_target(record_ptr record, CatalogNodeID parent, catalog_key_t* key, volume_t* volume,
                               int depth) {
  if (record->is_symlink()) {
    if (depth >= kMaxLinkDepth) return record_ptr();
    uint64_t size = record->file.dataFork.logicalSize;
    if (size > kMaxLinkTarget) {
      if (volume->reporter != nullptr)
        volume->reporter->errorf("getLinkTarget(): ERROR: symbolic link target of %llu bytes is longer than %llu\n",
                                 static_cast<unsigned long long>(size), static_cast<unsigned long long>(kMaxLinkTarget));
      return record_ptr();
    }
    char target[kMaxLinkTarget + 1];
    std::unique_ptr<hfsfile_t> fork;
    VOLPACK_ASSIGN_OR_RETURN(fork,
                             volume_open_hfsfile(volume, record->file.fileID, &record->file.dataFork, record.get()));
    status read = hfsfile_read(fork.get(), 0, size, target, "getLinkTarget", msgno::kLinkTargetRead);
    hfsfile_close(std::move(fork));
    VOLPACK_RETURN_IF_ERROR(read);
    target[size] = '\0';
    return resolve_path(volume, target, true, true, parent, nullptr, key, depth + 1);
  }
  if (record->is_hard_link()) return hard_link_target(volume, *record, key);
  return record;
}

result<record_ptr> root_folder(volume_t* volume) {
  catalog_key_t thread_key;
  catalog_make_key(&thread_key, kHFSRootFolderID, HFSUniStr255());
  record_ptr thread;
  VOLPACK_ASSIGN_OR_RETURN(thread, find_exact(volume, thread_key));
  if (thread == nullptr || !thread->is_thread()) return record_ptr();
  catalog_key_t key;
  catalog_make_key(&key, thread->thread.parentID, thread->thread.nodeName);
  return find_exact(volume, key);
}

result<record_ptr> resolve_path(volume_t* volume, const char* path, bool follow, bool follow_last, CatalogNodeID start,
                                const char** remainder, catalog_key_t* key_out, int depth) {
  if (path == nullptr) path = "";
  if (remainder != nullptr) *remainder = path;
  CatalogNodeID parent = path[0] == '/' ? kHFSRootFolderID : start;
  record_ptr record;
  catalog_key_t key;
  const char* p = path;
  for (;;) {
    while (*p == '/') ++p;
    if (*p == '\0') break;
    const char* end = std::strchr(p, '/');
    if (end == nullptr) end = p + std::strlen(p);
    const char* rest = end;
    while (*rest == '/') ++rest;
    bool last = *rest == '\0';
    if (remainder != nullptr) *remainder = p;
    record.reset();

    HFSUniStr255 name;
    if (!unistr_from_host(&name, p, static_cast<size_t>(end - p))) return record_ptr();
    catalog_make_key(&key, parent, name);
    VOLPACK_ASSIGN_OR_RETURN(record, find_exact(volume, key));
    if (record == nullptr) return record_ptr();
    if (follow && (!last || follow_last)) {
      VOLPACK_ASSIGN_OR_RETURN(record, link_target(std::move(record), parent, &key, volume, depth));
      if (record == nullptr) return record_ptr();
    }
    if (record->is_file()) {
      if (!last) return record_ptr();  // a file cannot stand inside a path
      if (key_out != nullptr) *key_out = key;
      return record;
    }
    if (!record->is_folder())
      return status_errorf("volume_get_record_from_path_with_options(): inconsistent catalog tree!\n");
    parent = record->folder.folderID;
    p = end;
  }
  // A path of slashes only ("", "/", "//") names the root folder.
  if (record == nullptr) return root_folder(volume);
  if (key_out != nullptr) *key_out = key;
  return record;
}

}  // namespace

result<record_ptr> volume_get_record_from_path_with_options(volume_t* volume, const char* path, bool follow,
                                                            bool follow_last, CatalogNodeID start,
                                                            const char** remainder, catalog_key_t* key_out) {
  return resolve_path(volume, path, follow, follow_last, start, remainder, key_out, 0);
}

result<record_ptr> volume_get_record_from_path(volume_t* volume, const char* path, const char** remainder,
                                               catalog_key_t* key_out) {
  return resolve_path(volume, path, true, true, kHFSRootFolderID, remainder, key_out, 0);
}

result<record_ptr> volume_get_record_by_id(volume_t* volume, CatalogNodeID id) {
  // No thread key orders before the root folder's record (parent ID 1), and
  // a search for one would find no record to stop at.
  if (id < kHFSRootFolderID) return record_ptr();
  catalog_key_t thread_key;
  catalog_make_key(&thread_key, id, HFSUniStr255());
  record_ptr thread;
  VOLPACK_ASSIGN_OR_RETURN(thread, find_exact(volume, thread_key));
  if (thread == nullptr || !thread->is_thread()) return record_ptr();
  catalog_key_t key;
  catalog_make_key(&key, thread->thread.parentID, thread->thread.nodeName);
  return find_exact(volume, key);
}

result<CatalogNodeID> volume_get_private_data_folder_id(volume_t* volume) {
  HFSUniStr255 name;
  const char* text = "HFS+ Private Data";
  name.length = static_cast<uint16_t>(4 + std::strlen(text));
  for (size_t i = 0; text[i] != '\0'; ++i) name.unicode[4 + i] = static_cast<uint8_t>(text[i]);
  catalog_key_t key;
  catalog_make_key(&key, kHFSRootFolderID, name);
  record_ptr folder;
  VOLPACK_ASSIGN_OR_RETURN(folder, find_exact(volume, key));
  return folder != nullptr && folder->is_folder() ? folder->folder.folderID : CatalogNodeID{0};
}

result<std::vector<folder_entry_t>> volume_get_folder_contents(volume_t* volume, CatalogNodeID folder) {
  std::vector<folder_entry_t> entries;
  if (folder < kHFSRootFolderID) return entries;  // as for volume_get_record_by_id
  btree_t* tree = &volume->catalog_tree;
  catalog_key_t thread_key;
  catalog_make_key(&thread_key, folder, HFSUniStr255());
  bool exact = false;
  NodeNumber node = 0;
  uint16_t index = 0;
  std::unique_ptr<btree_record_t> found;
  VOLPACK_ASSIGN_OR_RETURN(found, volume_tree_result(volume, btree_search(tree, thread_key, &exact, &node, &index)));
  if (found == nullptr || !exact) return entries;
  // The folder's items follow its thread in key order, across leaves.
  const char* const func = "volume_get_folder_contents";
  uint32_t i = static_cast<uint32_t>(index) + 1;
  while (node != 0) {
    BTNodeDescriptor d;
    VOLPACK_ASSIGN_OR_RETURN(d, volume_tree_result(volume, btree_read_descriptor(tree, node)));
    for (; i < d.numRecords; ++i) {
      uint64_t offset;
      VOLPACK_ASSIGN_OR_RETURN(
          offset, volume_tree_result(volume, btree_get_record_offset(tree, node, static_cast<uint16_t>(i))));
      std::unique_ptr<btree_key_t> raw;
      VOLPACK_ASSIGN_OR_RETURN(raw, volume_tree_result(volume, btree_read_key(tree, offset, tree->io.get(), func,
                                                                              msgno::kFolderContentsKey)));
      const catalog_key_t& key = static_cast<const catalog_key_t&>(*raw);
      if (key.parentID != folder) return entries;
      folder_entry_t entry;
      entry.name = key.nodeName;
      std::unique_ptr<btree_record_t> data;
      VOLPACK_ASSIGN_OR_RETURN(
          data, volume_tree_result(volume, btree_read_data(tree, offset + key.keyLength + 2, tree->io.get(), func,
                                                           msgno::kFolderContentsData)));
      entry.record = as_catalog(std::move(data));
      if (entry.record->is_hard_link()) {
        record_ptr node_record;
        VOLPACK_ASSIGN_OR_RETURN(node_record, hard_link_target(volume, *entry.record, nullptr));
        if (node_record != nullptr) entry.record = std::move(node_record);
      }
      entries.push_back(std::move(entry));
    }
    node = d.fLink;
    i = 0;
  }
  return entries;
}

}  // namespace volpack
