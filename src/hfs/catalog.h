// The HFS+ catalog: names, keys and records, lookups, listings and updates.
//
// The catalog tree maps (parent folder ID, name) to a file or folder record,
// and each item's own ID (with an empty name) to a thread record naming its
// parent and itself. This module supplies what the generic B-tree engine
// (hfs/btree.h) needs for that tree (the key order, the key and record codecs)
// and the operations the importer builds a volume with.
//
// Names. A host name becomes an `HFSUniStr255` through `unistr_printf`: text
// that is valid UTF-8 is decoded, any other text maps each byte to the code
// point of the same value, and the result is stored as UTF-16 in canonical
// decomposition (Unicode 3.2 data, canonical ordering of combining marks; the
// ranges U+2000-U+2FFF, U+F900-U+FAFF and U+2F800-U+2FAFF stay as they are),
// which is how macOS looks names up. The same host name always gives the same
// volume name. A name that needs more than 255 UTF-16 units is refused, never
// cut. In memory names carry ':' where the disk carries '/'; the codecs here
// swap them, and both comparisons treat ':' as '/'.
//
// Order. Keys order by parent ID, then by name: code unit by code unit
// (`catalog_compare_binary`), or, on the case-insensitive volumes volpack
// makes, through the volume format's case-folding table
// (`catalog_compare_folded`), under which "README" and "readme" are one name.
//
// Records come back from lookups newly allocated, in host order; the caller
// owns them. Every update reaches the volume at once (catalog tree, parent's
// counts, volume header). Creating a name that already exists in its folder
// under the catalog's order changes nothing and is reported to the caller, as
// is a name refused for its length. A failed read or write of the volume and
// an inconsistent catalog give a failed status carrying the one message users
// see ("volume_create_folder():1013: ERROR: parent is not a folder\n"; the
// numbers are fixed, see hfs/message_numbers.h); nothing here prints it or
// ends the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hfs/btree.h"
#include "hfs/hfs_format.h"
#include "io/io.h"
#include "io/status.h"

namespace volpack {

struct volume_t;
class reporter_t;

// ---------------------------------------------------------------- names

// Formats the arguments and converts the text into a volume name (see above).
// False, with `*name` emptied, when the name would need more than 255 units.
[[nodiscard]] bool unistr_printf(HFSUniStr255* name, const char* format, ...) VOLPACK_PRINTF(2, 3);
// The same conversion for `length` bytes of host text.
[[nodiscard]] bool unistr_from_host(HFSUniStr255* name, const char* text, size_t length);
// The name as UTF-8 (still decomposed; ':' stays ':'), for messages and listings.
std::string unistr_to_utf8(const HFSUniStr255& name);

// The volume format's case folding of one UTF-16 unit: lower case for upper
// case letters without a decomposition, 0xFFFF for 0, 0 for the ignorable units.
uint16_t hfs_case_fold(uint16_t unit);
// Case-insensitive name order: -1, 0 or 1. Ignorable units are skipped and ':'
// counts as '/'.
int unicode_compare_folded(const uint16_t* a, size_t la, const uint16_t* b, size_t lb);

// What makes two names in one folder of `volume` one name: for the
// case-folding catalogs volpack makes, the folded units with the ignorable
// ones left out; for a binary-ordered catalog, the units. ':' counts as '/'.
// Two names are one key in a folder exactly when these forms are equal, so a
// hash set of them finds every clash without searching the catalog.
std::u16string catalog_name_identity(const volume_t* volume, const HFSUniStr255& name);

// ---------------------------------------------------------------- keys and records

// An `HFSPlusCatalogKey` in host order. Keys built here have keyLength
// 6 + 2 x length and zeros past the name.
struct catalog_key_t final : btree_key_t, HFSPlusCatalogKey {
  uint16_t key_length() const override { return keyLength; }
};
// Fills a key for (parent, name); an empty name gives the thread key of `parent`.
void catalog_make_key(catalog_key_t* key, CatalogNodeID parent, const HFSUniStr255& name);

// One catalog leaf record in host order. Exactly one of the three members is
// meaningful, chosen by recordType (1 folder, 2 file, 3 or 4 thread).
struct catalog_record_t final : btree_record_t {
  int16_t recordType = 0;
  HFSPlusCatalogFolder folder;
  HFSPlusCatalogFile file;
  HFSPlusCatalogThread thread;

  bool is_folder() const { return recordType == kHFSPlusFolderRecord; }
  bool is_file() const { return recordType == kHFSPlusFileRecord; }
  bool is_thread() const {
    return recordType == kHFSPlusFolderThreadRecord || recordType == kHFSPlusFileThreadRecord;
  }
  // A file whose mode carries both bits of 0xA000.
  bool is_symlink() const {
    return is_file() && (file.permissions.fileMode & S_IFLNK_HFS) == S_IFLNK_HFS;
  }
  // A file whose Finder type is "hlnk".
  bool is_hard_link() const { return is_file() && file.userInfo.fileType == fourcc("hlnk"); }
  // folderID or fileID; 0 for a thread.
  CatalogNodeID id() const;
  HFSPlusBSDInfo* permissions();
};

// The key order of the catalog; see the top of this file.
int catalog_compare_binary(const catalog_key_t& a, const catalog_key_t& b);
int catalog_compare_folded(const catalog_key_t& a, const catalog_key_t& b);

// Key and record codecs at an offset of the tree file. The read routines give
// null when the read fails, and fail (with their message) when memory runs
// out; `catalog_readkey` fails on a key whose name length exceeds 255 or whose
// keyLength exceeds 6 + 2 x length. `catalog_readdata` gives null for an
// unknown record type or a thread whose name length exceeds 255, and says so
// on `reporter` (a "WARNING:" line) when there is one.
result<std::unique_ptr<catalog_key_t>> catalog_readkey(uint64_t offset, io_t* io);
[[nodiscard]] bool catalog_writekey(uint64_t offset, io_t* io, const catalog_key_t& key);
result<std::unique_ptr<catalog_record_t>> catalog_readdata(uint64_t offset, io_t* io, reporter_t* reporter = nullptr);
// The on-disk bytes of a record: 88 (folder), 248 (file) or 10 + 2n (thread).
result<std::vector<uint8_t>> catalog_encode_record(const catalog_record_t& record);

// Opens the catalog tree over its tree file, ordered case-insensitively when
// the header's keyCompareType is 0xCF and by code unit otherwise. False when
// the header cannot be read.
[[nodiscard]] bool catalog_open(btree_t* tree, std::unique_ptr<btree_file_t> io);

// ---------------------------------------------------------------- lookup

// Resolves a volume path ("/"-separated; absolute from the root folder, else
// from `start`; empty components skipped) to the record of a file or folder.
// Symbolic links inside the path are followed when `follow` is set, and a link
// at the last component when `follow_last` is set too; hard links resolve to
// their node in the private data folder. Null when a component is missing,
// a file stands inside the path, a name is too long, a link's target does not
// resolve, or links nest more than 32 deep. A symbolic link's target is read
// from its data fork (targets longer than 1,023 bytes are refused with an
// error line on the volume's reporter) and resolved from the link's folder.
// `remainder` receives the position in `path` of the component being resolved
// (after a failure, the first one not found); `key_out` the key of the record
// found (not for "/" itself). A failed read is a failed status.
result<std::unique_ptr<catalog_record_t>> volume_get_record_from_path_with_options(volume_t* volume, const char* path,
                                                                                   bool follow, bool follow_last,
                                                                                   CatalogNodeID start,
                                                                                   const char** remainder,
                                                                                   catalog_key_t* key_out);
// The same, following every link, from the root.
result<std::unique_ptr<catalog_record_t>> volume_get_record_from_path(volume_t* volume, const char* path,
                                                                      const char** remainder, catalog_key_t* key_out);
// The file or folder with this catalog node ID, through its thread; null if none.
result<std::unique_ptr<catalog_record_t>> volume_get_record_by_id(volume_t* volume, CatalogNodeID id);
// The ID of the hard-link folder (four NULs + "HFS+ Private Data" in the root),
// or 0 when the volume has none (as volumes made by volpack do); hard links
// then resolve to nothing.
result<CatalogNodeID> volume_get_private_data_folder_id(volume_t* volume);

struct folder_entry_t {
  HFSUniStr255 name;                         // as in the record's key (':' for '/')
  std::unique_ptr<catalog_record_t> record;  // a hard link's node when it resolves
};
// The items directly inside a folder, in catalog key order. Empty when the
// folder has no thread.
result<std::vector<folder_entry_t>> volume_get_folder_contents(volume_t* volume, CatalogNodeID folder);

// ---------------------------------------------------------------- updates

// Where a record was put in the catalog tree: a hint for finding it again
// without a search, checked before it is used (the tree may have changed).
struct catalog_place_t {
  NodeNumber node = 0;
  uint16_t index = 0;
};

// Why a creation did not happen.
enum class create_status_t {
  kCreated,
  kNameExists,     // the folder already holds that name under the catalog's order
  kNameTooLong,    // the name needs more than 255 UTF-16 units
  kEmptyName,      // the path ends in "/" or is empty
  kTargetTooLong,  // a symbolic link's target longer than 1,023 bytes
};
struct create_result_t {
  create_status_t status = create_status_t::kCreated;
  CatalogNodeID existing_id = 0;  // kNameExists: the item already there
};

// Create a folder or an empty file at `path` (the last "/" separates the
// parent's path, resolved following links, from the new name; no "/" means
// the root). Give the new ID, or 0 with the reason in `*result` (which may be
// null) when nothing was created. A parent that is missing or no folder is a
// failed status ("volume_create_file():1107: ERROR: parent is not a folder\n").
result<CatalogNodeID> volume_create_folder(volume_t* volume, const char* path, create_result_t* result = nullptr);
result<CatalogNodeID> volume_create_file(volume_t* volume, const char* path, create_result_t* result = nullptr);
// The same in a folder whose record the caller holds, for an importer that
// fills a folder with many items: `name` is already a volume name, the
// parent's counts (valence, folderCount) change in `*parent` only, and the
// volume header in memory only; the caller stores the parent
// (volume_update_catalog) and the header (volume_update) once it is done
// creating in the folder. The new record, its key and where it went come back
// in `*created`, `*key` and `*place` (any may be null). A `parent` that is no
// folder record is a failed status, as above.
result<CatalogNodeID> volume_create_in_folder(volume_t* volume, catalog_record_t* parent, const HFSUniStr255& name,
                                              bool is_folder, create_result_t* result, catalog_record_t* created,
                                              catalog_key_t* key, catalog_place_t* place = nullptr);
// Creates a symbolic link to `target` at `path`, or rewrites the target of the
// link stored under exactly that name (the fork takes the target's length).
// Gives the link's ID, or 0 when nothing was done: the name is held by another
// item (reported as kNameExists), or is refused.
result<CatalogNodeID> volume_create_symlink(volume_t* volume, const char* path, const char* target,
                                            create_result_t* result = nullptr);
// Stores a changed file or folder record (found through its thread) in place
// of the old one. Anything else is ignored.
status volume_update_catalog(volume_t* volume, const catalog_record_t& record);
// The same for a record whose key the caller knows (no thread lookup), and,
// with `hint`, where it may still be (no search when it is).
status volume_update_catalog_at(volume_t* volume, const catalog_key_t& key, const catalog_record_t& record,
                                const catalog_place_t* hint = nullptr);

}  // namespace volpack
