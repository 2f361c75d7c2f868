// Catalog lookups: paths, links, IDs, the hard-link folder and folder listings.
#include <cstdio>
#include <cstring>

#include "hfs/catalog.h"
#include "hfs/catalog_internal.h"
#include "hfs/volume.h"
#include "io/die.h"
#include "io/run_context.h"

namespace volpack {

namespace {

// As many levels of symbolic links as macOS follows before giving up; a
// cycle of links ends here instead of in endless recursion.
constexpr int kMaxLinkDepth = 32;

std::unique_ptr<catalog_record_t> resolve_path(volume_t* volume, const char* path, bool follow, bool follow_last,
                                               CatalogNodeID start, const char** remainder, catalog_key_t* key_out,
                                               int depth);

// A hard link's node: "iNode<n>" in the hard-link folder. None when the
// volume has no such folder or the node is missing.
std::unique_ptr<catalog_record_t> hard_link_target(volume_t* volume, const catalog_record_t& link,
                                                   catalog_key_t* key) {
  if (volume->private_folder_id == 0) return nullptr;
  HFSUniStr255 name;
  if (!unistr_printf(&name, "iNode%d", static_cast<int>(link.file.permissions.special))) return nullptr;
  catalog_key_t node_key;
  catalog_make_key(&node_key, volume->private_folder_id, name);
  std::unique_ptr<catalog_record_t> node = find_exact(volume, node_key);
  if (node != nullptr && key != nullptr) *key = node_key;
  return node;
}

std::unique_ptr<catalog_record_t> link_target(std::unique_ptr<catalog_record_t> record, CatalogNodeID parent,
                                              catalog_key_t* key, volume_t* volume, int depth) {
  if (record->is_symlink()) {
    if (depth >= kMaxLinkDepth) return nullptr;
    uint64_t size = record->file.dataFork.logicalSize;
    if (size > kMaxLinkTarget) {
      if (volume->reporter != nullptr)
        volume->reporter->errorf("getLinkTarget(): ERROR: symbolic link target of %llu bytes is longer than %llu\n",
                                 static_cast<unsigned long long>(size), static_cast<unsigned long long>(kMaxLinkTarget));
      return nullptr;
    }
    char target[kMaxLinkTarget + 1];
    std::unique_ptr<hfsfile_t> fork =
        volume_open_hfsfile(volume, record->file.fileID, &record->file.dataFork, record.get());
    if (!hfsfile_read(fork.get(), 0, size, target)) die("getLinkTarget():%d: io_read error\n", 743);
    hfsfile_close(std::move(fork));
    target[size] = '\0';
    return resolve_path(volume, target, true, true, parent, nullptr, key, depth + 1);
  }
  if (record->is_hard_link()) return hard_link_target(volume, *record, key);
  return record;
}

std::unique_ptr<catalog_record_t> root_folder(volume_t* volume) {
  catalog_key_t thread_key;
  catalog_make_key(&thread_key, kHFSRootFolderID, HFSUniStr255());
  std::unique_ptr<catalog_record_t> thread = find_exact(volume, thread_key);
  if (thread == nullptr || !thread->is_thread()) return nullptr;
  catalog_key_t key;
  catalog_make_key(&key, thread->thread.parentID, thread->thread.nodeName);
  return find_exact(volume, key);
}

std::unique_ptr<catalog_record_t> resolve_path(volume_t* volume, const char* path, bool follow, bool follow_last,
                                               CatalogNodeID start, const char** remainder, catalog_key_t* key_out,
                                               int depth) {
  if (path == nullptr) path = "";
  if (remainder != nullptr) *remainder = path;
  CatalogNodeID parent = path[0] == '/' ? kHFSRootFolderID : start;
  std::unique_ptr<catalog_record_t> record;
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
    if (!unistr_from_host(&name, p, static_cast<size_t>(end - p))) return nullptr;
    catalog_make_key(&key, parent, name);
    record = find_exact(volume, key);
    if (record == nullptr) return nullptr;
    if (follow && (!last || follow_last)) {
      record = link_target(std::move(record), parent, &key, volume, depth);
      if (record == nullptr) return nullptr;
    }
    if (record->is_file()) {
      if (!last) return nullptr;  // a file cannot stand inside a path
      if (key_out != nullptr) *key_out = key;
      return record;
    }
    if (!record->is_folder()) die("volume_get_record_from_path_with_options(): inconsistent catalog tree!\n");
    parent = record->folder.folderID;
    p = end;
  }
  // A path of slashes only ("", "/", "//") names the root folder.
  if (record == nullptr) return root_folder(volume);
  if (key_out != nullptr) *key_out = key;
  return record;
}

}  // namespace

std::unique_ptr<catalog_record_t> volume_get_record_from_path_with_options(
    volume_t* volume, const char* path, bool follow, bool follow_last, CatalogNodeID start,
    const char** remainder, catalog_key_t* key_out) {
  return resolve_path(volume, path, follow, follow_last, start, remainder, key_out, 0);
}

std::unique_ptr<catalog_record_t> volume_get_record_from_path(volume_t* volume, const char* path,
                                                              const char** remainder, catalog_key_t* key_out) {
  return resolve_path(volume, path, true, true, kHFSRootFolderID, remainder, key_out, 0);
}

std::unique_ptr<catalog_record_t> getLinkTarget(std::unique_ptr<catalog_record_t> record, CatalogNodeID parent,
                                                catalog_key_t* key, volume_t* volume) {
  if (record == nullptr) return nullptr;
  return link_target(std::move(record), parent, key, volume, 0);
}

std::unique_ptr<catalog_record_t> volume_get_record_by_id(volume_t* volume, CatalogNodeID id) {
  // No thread key orders before the root folder's record (parent ID 1), and
  // a search for one would find no record to stop at.
  if (id < kHFSRootFolderID) return nullptr;
  catalog_key_t thread_key;
  catalog_make_key(&thread_key, id, HFSUniStr255());
  std::unique_ptr<catalog_record_t> thread = find_exact(volume, thread_key);
  if (thread == nullptr || !thread->is_thread()) return nullptr;
  catalog_key_t key;
  catalog_make_key(&key, thread->thread.parentID, thread->thread.nodeName);
  return find_exact(volume, key);
}

CatalogNodeID volume_get_private_data_folder_id(volume_t* volume) {
  HFSUniStr255 name;
  const char* text = "HFS+ Private Data";
  name.length = static_cast<uint16_t>(4 + std::strlen(text));
  for (size_t i = 0; text[i] != '\0'; ++i) name.unicode[4 + i] = static_cast<uint8_t>(text[i]);
  catalog_key_t key;
  catalog_make_key(&key, kHFSRootFolderID, name);
  std::unique_ptr<catalog_record_t> folder = find_exact(volume, key);
  return folder != nullptr && folder->is_folder() ? folder->folder.folderID : 0;
}

std::vector<folder_entry_t> volume_get_folder_contents(volume_t* volume, CatalogNodeID folder) {
  std::vector<folder_entry_t> entries;
  if (folder < kHFSRootFolderID) return entries;  // as for volume_get_record_by_id
  btree_t* tree = &volume->catalog_tree;
  catalog_key_t thread_key;
  catalog_make_key(&thread_key, folder, HFSUniStr255());
  bool exact = false;
  NodeNumber node = 0;
  uint16_t index = 0;
  result<std::unique_ptr<btree_record_t>> found = btree_search(tree, thread_key, &exact, &node, &index);
  if (!found) die("%s", found.error().message().c_str());
  if (found.value() == nullptr || !exact) return entries;
  // The folder's items follow its thread in key order, across leaves.
  uint32_t i = static_cast<uint32_t>(index) + 1;
  while (node != 0) {
    BTNodeDescriptor d = btree_read_BTNodeDescriptor_or_die(tree, node);
    for (; i < d.numRecords; ++i) {
      uint64_t offset = btree_get_record_offset_or_die(tree, node, static_cast<uint16_t>(i));
      std::unique_ptr<btree_key_t> raw = btree_read_key_or_die(tree, offset, tree->io.get(),
                                                               "volume_get_folder_contents", 682);
      const catalog_key_t& key = static_cast<const catalog_key_t&>(*raw);
      if (key.parentID != folder) return entries;
      folder_entry_t entry;
      entry.name = key.nodeName;
      entry.record = as_catalog(btree_read_data_or_die(tree, offset + key.keyLength + 2, tree->io.get(),
                                                       "volume_get_folder_contents", 694));
      if (entry.record->is_hard_link()) {
        if (std::unique_ptr<catalog_record_t> node_record = hard_link_target(volume, *entry.record, nullptr)) {
          entry.record = std::move(node_record);
        }
      }
      entries.push_back(std::move(entry));
    }
    node = d.fLink;
    i = 0;
  }
  return entries;
}

}  // namespace volpack
