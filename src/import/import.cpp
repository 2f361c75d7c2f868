#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "hfs/catalog.h"
#include "hfs/hfs_status.h"
#include "hfs/volume.h"
#include "import/import.h"
#include "io/buffer.h"
#include "io/bytes.h"
#include "io/host_fs.h"
#include "io/run_context.h"
#include "io/sha256.h"
#include "io/stream.h"

namespace volpack {

bool is_executable_magic(const uint8_t* b, uint64_t got) {
  if (got < 4) return false;
  if (b[0] == '#' && b[1] == '!') return true;
  static const uint8_t kMagics[][4] = {
      {0xCE, 0xFA, 0xED, 0xFE},  // Mach-O 32-bit, little-endian
      {0xCF, 0xFA, 0xED, 0xFE},  // Mach-O 64-bit, little-endian
      {0xCA, 0xFE, 0xBA, 0xBE},  // universal
      {0xCA, 0xFE, 0xBA, 0xBF},  // universal, 64-bit headers
  };
  for (const auto& m : kMagics) {
    if (std::memcmp(b, m, 4) == 0) return true;
  }
  return false;
}

bool is_oneliner_symlink(stream_t* s) {
  uint64_t n = stream_length(s);
  if (n < 1 || n > kMaxLinkFileSize) return false;
  uint8_t b[kMaxLinkFileSize];
  bool complete = stream_read(s, b, n) == n;
  stream_seek(s, 0);
  return complete && is_oneliner_text(b, n);
}

bool is_oneliner_text(const uint8_t* b, uint64_t n) {
  if (n < 1 || n > kMaxLinkFileSize) return false;
  if (std::strchr(" \t\n\v\f\r#", b[0]) != nullptr) return false;
  auto starts = [&](const char* prefix, size_t len, uint64_t longer_than) {
    return n > longer_than && std::memcmp(b, prefix, len) == 0;
  };
  if (starts("\xEF\xBB\xBF", 3, 3)) return false;                              // UTF-8 byte-order mark
  if (starts("\xFF\xFE", 2, 2) || starts("\xFE\xFF", 2, 2)) return false;      // UTF-16 marks
  if (starts("\x00\x00\xFE\xFF", 4, 4) || starts("\xFF\xFE\x00\x00", 4, 4)) return false;  // UTF-32
  if (starts("//", 2, 2) || starts("/*", 2, 2)) return false;                    // comment openers
  for (uint64_t i = 0; i < n; ++i) {
    uint8_t c = b[i];
    // Characters Windows forbids in names; a drive letter's colon is allowed.
    bool forbidden = c < 0x20 || c == 0x7F || c == '"' || c == '*' || c == '<' || c == '>' || c == '?' ||
                     c == '|' || (c == ':' && i != 1);
    if (forbidden) return false;
  }
  return true;
}

namespace {

// The numbers in the import's own messages ("volume_add_dir_contents_recursive():140: ..."):
// fixed numbers that users and scripts see, not source lines; they never change when code moves.
enum : int {
  kProbeOpen = 140,   // a file opened to read its first bytes
  kCopyWrite = 313,   // a fork write the fork's blocks do not cover
  kCopyOpen = 327,    // a file opened to copy it
  kOpenFolder = 379,  // a folder that cannot be listed
  kCopyBuffer = 425,  // malloc of the copy buffer
};

constexpr size_t kMaxVolumePath = 1023;
constexpr size_t kCopyPiece = 256 * 1024;  // file data move through one fixed buffer
constexpr int kMaxLinkSteps = 32;          // links followed while resolving one link file's text

struct dir_closer {
  void operator()(host_dir* d) const { host_closedir(d); }
};
using host_dir_handle = std::unique_ptr<host_dir, dir_closer>;

// The import's own refusals: formatted like printf; the driver follows them
// with its summary line.
status import_error(const char* fmt, ...) VOLPACK_PRINTF(1, 2);
status import_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  status s = status_verrorf(fmt, ap);
  va_end(ap);
  s.want_summary();
  return s;
}

bool is_skipped(const std::vector<host_file_id>& skip, const host_stat_t& st) {
  if (st.device == 0 && st.inode == 0) return false;
  for (const host_file_id& f : skip)
    if (f.device == st.device && f.inode == st.inode) return true;
  return false;
}

// The components of a link's text: '/' and '\\' both separate; empty ones
// and "." say nothing.
std::vector<std::string> split_target(const std::string& text) {
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '/' || text[i] == '\\') {
      if (!part.empty() && part != ".") parts.push_back(part);
      part.clear();
    } else {
      part += text[i];
    }
  }
  return parts;
}

// A text that names a place from the top of a disk: "/x", "\x", "C:\x", "C:".
bool is_absolute_target(const std::string& t) {
  if (!t.empty() && (t[0] == '/' || t[0] == '\\')) return true;
  return t.size() >= 2 && std::isalpha(static_cast<unsigned char>(t[0])) && t[1] == ':' &&
         (t.size() == 2 || t[2] == '/' || t[2] == '\\');
}

std::string join(const std::string& root, const std::vector<std::string>& parts) {
  std::string p = root;
  for (const std::string& c : parts) p += "/" + c;
  return p;
}

// What the rules read of a regular file.
struct file_probe {
  bool executable = false;
  bool oneliner = false;
  std::string text;  // a one-line file's whole content
};

// The file's path and the host's reason on a line of their own.
status read_failed(const std::string& host_path, const char* what, int error) {
  host_clear_failure();  // the message below names the file and the reason
  return import_error("Error: cannot %s \"%s\": %s\n", what, host_path.c_str(),
                      error == ENXIO ? "it is no longer a regular file" : host_strerror(error));
}

status open_failed(const std::string& host_path, int line) {
  int error = host_errno();
  status reason = read_failed(host_path, "open", error);
  return import_error("volume_add_dir_contents_recursive():%d: Error: create_stream_from_fp() failed for: %s\n%s", line,
                      host_path.c_str(), reason.message().c_str());
}

// Reads the rules' view of a regular file of `size` bytes from its first
// `got` bytes (all of them when it has at most kMaxLinkFileSize bytes);
// `read_error` is the host's error when fewer than min(4, size) came.
status probe_head(const std::string& host_path, bool owner_exec, const uint8_t* head, uint64_t got, uint64_t size,
                  int read_error, file_probe* probe) {
  if (got < std::min<uint64_t>(4, size)) return read_failed(host_path, "read", read_error);
  probe->executable = is_executable_magic(head, got) || owner_exec;
  probe->oneliner = !probe->executable && size <= kMaxLinkFileSize && got == size && is_oneliner_text(head, size);
  if (probe->oneliner) probe->text.assign(reinterpret_cast<const char*>(head), size);
  return status::ok();
}

// Opens an input file without waiting on what is not a regular file (a FIFO
// swapped in after the listing), with its status at the time of opening.
std::FILE* open_input(const std::string& host_path, host_stat_t* st) { return host_fopen_input(host_path.c_str(), st); }

status probe_file(const std::string& host_path, const host_stat_t& st, file_probe* probe) {
  host_stat_t now;
  std::FILE* fp = open_input(host_path, &now);
  if (fp == nullptr) return open_failed(host_path, kProbeOpen);
  uint8_t head[kMaxLinkFileSize + 1];
  uint64_t got = host_pread(fp, 0, head, std::min<uint64_t>(now.size, sizeof head));
  int error = host_errno();
  host_fclose(fp);
  return probe_head(host_path, st.owner_exec, head, got, now.size, error, probe);
}

// True when `text`, read from the folder `at` (components below `root`),
// names an entry of the tree: every component but the last must lead to a
// folder, through link files and host links (at most kMaxLinkSteps of them,
// none absolute), and no ".." may climb above the top.
bool names_tree_entry(const std::string& root, std::vector<std::string> at, const std::string& text) {
  std::vector<std::string> first = split_target(text);
  std::deque<std::string> pending(first.begin(), first.end());
  int steps = 0;
  while (!pending.empty()) {
    std::string c = std::move(pending.front());
    pending.pop_front();
    if (c == "..") {
      if (at.empty()) return false;
      at.pop_back();
      continue;
    }
    at.push_back(c);
    const std::string path = join(root, at);
    host_stat_t st;
    if (host_lstat(path.c_str(), &st) != 0) return false;
    if (pending.empty()) return true;
    if (st.type == DT_DIR) continue;
    std::string next;
    if (st.type == DT_LNK) {
      if (!host_readlink(path.c_str(), &next)) return false;
    } else if (st.type == DT_REG) {
      file_probe p;
      if (!probe_file(path, st, &p) || !p.oneliner || p.text.size() > kMaxLinkTargetSize) return false;
      next = p.text;
    } else {
      return false;
    }
    if (++steps > kMaxLinkSteps || is_absolute_target(next)) return false;
    at.pop_back();
    std::vector<std::string> parts = split_target(next);
    pending.insert(pending.begin(), parts.begin(), parts.end());
  }
  return true;  // the folder itself or one above it, inside the tree
}

// The plan for a regular file, from what was read of it.
entry_plan plan_regular_file(const std::string& tree_root, const std::string& relative, const std::string& host_path,
                             link_files_mode mode, const file_probe& probe) {
  entry_plan plan;
  plan.kind = probe.executable ? entry_kind::executable : entry_kind::file;
  if (!probe.oneliner || mode == link_files_mode::none) return plan;
  status w;
  if (probe.text.size() > kMaxLinkTargetSize) {
    w = status_errorf("WARNING: %s: one-line file kept as a file: its text is longer than %llu bytes\n",
                      host_path.c_str(), static_cast<unsigned long long>(kMaxLinkTargetSize));
  } else {
    std::vector<std::string> folder = split_target(relative);
    if (!folder.empty()) folder.pop_back();
    if (mode == link_files_mode::all || is_absolute_target(probe.text) ||
        names_tree_entry(tree_root, folder, probe.text)) {
      plan.kind = entry_kind::link;
      plan.target = probe.text;
      return plan;
    }
    w = status_errorf("WARNING: %s: one-line file kept as a file: \"%s\" is not in the tree\n", host_path.c_str(),
                      probe.text.c_str());
  }
  plan.warning = w.message();
  return plan;
}

}  // namespace

result<entry_plan> plan_host_entry(const std::string& tree_root, const std::string& relative, link_files_mode mode,
                                   const std::vector<host_file_id>& skip) {
  const std::string host_path = tree_root + "/" + relative;
  host_stat_t st;
  if (host_lstat(host_path.c_str(), &st) != 0)
    return import_error("Error: cannot import \"%s\": %s\n", host_path.c_str(), host_strerror(host_errno()));
  entry_plan plan;
  if (is_skipped(skip, st)) return plan;  // this run's own scratch volume or image
  switch (st.type) {
    case DT_DIR:
      plan.kind = entry_kind::folder;
      return plan;
    case DT_LNK:
      if (!host_readlink(host_path.c_str(), &plan.target))
        return import_error("Error: cannot read the link \"%s\": %s\n", host_path.c_str(), host_strerror(host_errno()));
      plan.kind = entry_kind::link;
      return plan;
    case DT_REG:
      break;
    default: {
      status w = status_errorf("WARNING: skipping \"%s\": not a regular file, folder or symbolic link\n",
                               host_path.c_str());
      plan.warning = w.message();
      return plan;
    }
  }
  file_probe probe;
  VOLPACK_RETURN_IF_ERROR(probe_file(host_path, st, &probe));
  return plan_regular_file(tree_root, relative, host_path, mode, probe);
}

namespace {

// One import run: what every folder level shares.
struct importer {
  const run_context& ctx;
  volume_t* volume;
  std::string root;          // the host tree's top folder
  std::vector<uint8_t> buf;  // file data move through it
};

// The names a volume folder holds, in the form that makes them one name
// (`catalog_name_identity`), each with the host path (or, for an item that
// was there before, the volume path) that took it.
using folder_names = std::unordered_map<std::u16string, std::string>;

status refused(const std::string& host_path, const std::string& vpath, const create_result_t& r) {
  switch (r.status) {
    case create_status_t::kNameExists:
      return import_error("Error: cannot import \"%s\": the volume already holds \"%s\"\n", host_path.c_str(),
                          vpath.c_str());
    case create_status_t::kNameTooLong:
      return import_error("Error: cannot import \"%s\": its name is longer than 255 UTF-16 units\n", host_path.c_str());
    case create_status_t::kTargetTooLong:
      return import_error("Error: cannot import \"%s\": its link target is longer than 1023 bytes\n",
                          host_path.c_str());
    case create_status_t::kEmptyName:
      return import_error("Error: cannot import \"%s\": its name holds only characters the volume ignores\n",
                          host_path.c_str());
    default: return import_error("Error: cannot import \"%s\"\n", host_path.c_str());
  }
}

// Takes the entry's name in its folder, or explains why it cannot have it;
// gives the volume name in `*unicode`.
status claim_name(importer& im, folder_names& names, const std::string& name, const std::string& host_path,
                  HFSUniStr255* unicode) {
  if (!unistr_from_host(unicode, name.data(), name.size()))
    return refused(host_path, "", {create_status_t::kNameTooLong, 0});
  std::u16string identity = catalog_name_identity(im.volume, *unicode);
  if (identity.empty()) return refused(host_path, "", {create_status_t::kEmptyName, 0});
  auto taken = names.emplace(std::move(identity), host_path);
  if (!taken.second)
    return import_error(
        "Error: cannot import \"%s\": the volume already holds \"%s\" under the same name "
        "(names that differ only in letter case, Unicode form or ignorable characters are one "
        "name on the volume)\n",
        host_path.c_str(), taken.first->second.c_str());
  return status::ok();
}

// Adds an entry to the run's input digest, when there is one: what it becomes
// ('d' folder, 'f' file, 'l' link), its permission bits, its size and its path
// on the volume. Its bytes (a file's data, a link's target) follow.
void digest_entry(const importer& im, char kind, uint16_t mode, uint64_t size, const std::string& vpath) {
  sha256* digest = im.ctx.input_digest;
  if (digest == nullptr) return;
  uint8_t head[15];
  head[0] = static_cast<uint8_t>(kind);
  put_be16(head + 1, mode);
  put_be64(head + 3, size);
  put_be32(head + 11, static_cast<uint32_t>(vpath.size()));
  digest->update(head, sizeof head);
  digest->update(vpath.data(), vpath.size());
}

void info(const importer& im, const char* what, const std::string& vpath) {
  if (im.ctx.options.verbose) im.ctx.reporter->infof("%s: %s\n", what, vpath.c_str());
}

// The volume folder being filled: its record, held here while items are
// created in it (their counts go into it) and stored once it is filled.
struct folder_t {
  catalog_record_t record;
  catalog_key_t key;
  bool keyed = false;     // `key` is the record's key (else it is found through the thread)
  catalog_place_t place;  // where it was put (when keyed)
};

// Stores the folder's record, and the volume header the creations in it changed.
status store_folder(importer& im, folder_t& folder) {
  if (folder.keyed) {
    VOLPACK_RETURN_IF_ERROR(volume_update_catalog_at(im.volume, folder.key, folder.record, &folder.place));
  } else {
    VOLPACK_RETURN_IF_ERROR(volume_update_catalog(im.volume, folder.record));
  }
  if (!volume_update(im.volume))
    return status_errorf("volume_create_folder():%d: ERROR: volume_update failed\n", msgno::kCreateFolderUpdate);
  return status::ok();
}

// An input file, open, with its status at opening and its first bytes in
// the importer's buffer.
struct input_file {
  std::FILE* fp = nullptr;
  host_stat_t before;
  uint64_t got = 0;    // bytes read at its start: min(size, kCopyPiece) unless the read fell short
  int read_error = 0;  // the host's error when it did
  input_file() = default;
  input_file(const input_file&) = delete;
  input_file& operator=(const input_file&) = delete;
  ~input_file() { close(); }
  void close() {
    if (fp != nullptr) host_fclose(fp);
    fp = nullptr;
  }
};

// The one open of a regular file to import: its first piece is read at once.
status open_and_read_head(importer& im, const std::string& host_path, input_file* in) {
  in->fp = open_input(host_path, &in->before);
  if (in->fp == nullptr) return open_failed(host_path, kProbeOpen);
  uint64_t want = std::min<uint64_t>(in->before.size, kCopyPiece);
  in->got = host_pread(in->fp, 0, im.buf.data(), want);
  if (in->got < want) in->read_error = host_errno();
  return status::ok();
}

// Copies the host file's bytes into the fork, which already holds `size` bytes
// of blocks; the first `got` of them are in `buf` already. A file that
// changes size meanwhile is refused.
status copy_file_data(std::FILE* fp, hfsfile_t* fork, uint64_t size, uint64_t got, const std::string& host_path,
                      std::vector<uint8_t>& buf, progress_t* progress, sha256* digest) {
  for (uint64_t offset = 0; offset < size;) {
    uint64_t n = std::min<uint64_t>(kCopyPiece, size - offset);
    if (offset != 0) got = host_pread(fp, offset, buf.data(), n);
    if (got != n)
      return import_error("Error: \"%s\" changed size or could not be read while it was copied\n", host_path.c_str());
    VOLPACK_RETURN_IF_ERROR(
        hfsfile_write(fork, offset, n, buf.data(), "volume_add_dir_contents_recursive", kCopyWrite));
    if (digest != nullptr) digest->update(buf.data(), n);
    offset += n;
    progress_advance(progress, 0, n);
  }
  uint8_t extra;
  if (host_pread(fp, size, &extra, 1) != 0)
    return import_error("Error: \"%s\" changed size while it was copied\n", host_path.c_str());
  return status::ok();
}

// Creates the entry `name` in the held `folder`: its new ID, with the record,
// key and place to rewrite it by; or why the volume refused it.
result<CatalogNodeID> create_entry(importer& im, folder_t& folder, const HFSUniStr255& name, bool is_folder,
                                   const std::string& host_path, const std::string& vpath, catalog_record_t* record,
                                   catalog_key_t* key, catalog_place_t* place) {
  create_result_t r;
  CatalogNodeID id;
  VOLPACK_ASSIGN_OR_RETURN(id,
                           volume_create_in_folder(im.volume, &folder.record, name, is_folder, &r, record, key, place));
  if (id == 0) return refused(host_path, vpath, r);
  return id;
}

status import_file(importer& im, folder_t& folder, const HFSUniStr255& name, const std::string& vpath,
                   const std::string& host_path, input_file& in, bool executable) {
  catalog_record_t record;
  catalog_key_t key;
  catalog_place_t place;
  CatalogNodeID id;
  VOLPACK_ASSIGN_OR_RETURN(id, create_entry(im, folder, name, false, host_path, vpath, &record, &key, &place));
  // The record is stored once, below, with the fork's final extents.
  std::unique_ptr<hfsfile_t> fork;
  VOLPACK_ASSIGN_OR_RETURN(fork, volume_open_hfsfile(im.volume, id, &record.file.dataFork, nullptr));
  uint64_t size = in.before.size;
  VOLPACK_RETURN_IF_ERROR(hfsfile_allocate(fork.get(), size));
  digest_entry(im, 'f', executable ? 0755 : 0644, size, vpath);
  status copied =
      copy_file_data(in.fp, fork.get(), size, in.got, host_path, im.buf, im.ctx.progress, im.ctx.input_digest);
  progress_advance(im.ctx.progress, 1, 0);
  // A file rewritten in place keeps its size but not its modification time.
  host_stat_t after;
  if (copied &&
      (host_fstat_file(in.fp, &after) != 0 || after.size != in.before.size || after.mtime_ns != in.before.mtime_ns))
    copied = import_error("Error: \"%s\" changed while it was copied\n", host_path.c_str());
  hfsfile_close(std::move(fork));
  in.close();
  VOLPACK_RETURN_IF_ERROR(copied);

  if (executable) {
    HFSPlusBSDInfo& p = record.file.permissions;
    p.fileMode = static_cast<uint16_t>((p.fileMode & S_IFMT_HFS) | 0755);
  } else if (vpath == "/.VolumeIcon.icns") {
    record.file.userInfo.fileType = fourcc("    ");
    record.file.userInfo.fileCreator = fourcc("    ");
    // The root folder is the one being filled: its held record takes the flag.
    if (folder.record.is_folder() && folder.record.folder.folderID == kHFSRootFolderID)
      folder.record.folder.userInfo.finderFlags = kHasCustomIcon;
  }
  VOLPACK_RETURN_IF_ERROR(volume_update_catalog_at(im.volume, key, record, &place));
  if (executable) {
    info(im, "Added executable", vpath);
  } else if (vpath == "/.VolumeIcon.icns") {
    info(im, "Added volume icon", vpath);
  } else if (vpath == "/.DS_Store") {
    info(im, "Added Desktop Services settings store", vpath);
  } else {
    info(im, "Added file", vpath);
  }
  return status::ok();
}

status import_link(importer& im, folder_t& folder, const HFSUniStr255& name, const std::string& vpath,
                   const std::string& host_path, const std::string& target) {
  // Readers take a target into a buffer of 1,024 bytes with its end mark.
  if (target.size() > kMaxLinkTargetSize) return refused(host_path, vpath, {create_status_t::kTargetTooLong, 0});
  catalog_record_t record;
  catalog_key_t key;
  catalog_place_t place;
  CatalogNodeID id;
  VOLPACK_ASSIGN_OR_RETURN(id, create_entry(im, folder, name, false, host_path, vpath, &record, &key, &place));
  record.file.permissions.fileMode |= S_IFLNK_HFS;
  record.file.userInfo.fileType = fourcc("slnk");
  record.file.userInfo.fileCreator = fourcc("rhap");
  std::unique_ptr<hfsfile_t> fork;
  VOLPACK_ASSIGN_OR_RETURN(fork, volume_open_hfsfile(im.volume, id, &record.file.dataFork, nullptr));
  // The fork takes the target's length.
  status written = hfsfile_allocate(fork.get(), target.size());
  if (written) written = hfsfile_write(fork.get(), 0, target.size(), target.data());
  hfsfile_close(std::move(fork));
  VOLPACK_RETURN_IF_ERROR(written);
  VOLPACK_RETURN_IF_ERROR(volume_update_catalog_at(im.volume, key, record, &place));
  digest_entry(im, 'l', 0644, target.size(), vpath);
  if (im.ctx.input_digest != nullptr) im.ctx.input_digest->update(target.data(), target.size());
  if (im.ctx.options.verbose) im.ctx.reporter->infof("Added symlink: %s -> %s\n", vpath.c_str(), target.c_str());
  return status::ok();
}

// An entry of a host folder: its name and its type as listed.
struct listed_entry {
  std::string name;
  uint8_t type;
};

// The entries in a host folder, sorted bytewise by name, so that file IDs and
// the catalog's layout do not depend on the order the file system lists them in.
status list_folder(const std::string& host_dir, std::vector<listed_entry>* entries) {
  host_dir_handle dir(host_opendir(host_dir.c_str()));
  if (!dir)
    return import_error("volume_add_dir_contents_recursive():%d: Cannot open that directory: %s\n", kOpenFolder,
                        host_dir.c_str());
  while (host_dirent* e = host_readdir(dir.get())) {
    std::string name = e->d_name;
    if (name != "." && name != "..") entries->push_back(listed_entry{std::move(name), e->d_type});
  }
  // A listing that ended in an error is no listing of the whole folder.
  if (int error = host_dir_error(dir.get())) return read_failed(host_dir, "read the folder", error);
  // std::string compares its bytes as unsigned
  std::sort(entries->begin(), entries->end(),
            [](const listed_entry& a, const listed_entry& b) { return a.name < b.name; });
  return status::ok();
}

// Imports the host folder `relative` (below the root; empty for the root)
// into the volume folder `vpath` ("" for the volume's root), whose record is
// `folder` and whose names so far are `names`; stores the folder's record.
status import_folder(importer& im, const std::string& relative, const std::string& vpath, folder_t& folder,
                     folder_names names) {
  const std::string host_dir = relative.empty() ? im.root : im.root + "/" + relative;
  std::vector<listed_entry> listing;
  VOLPACK_RETURN_IF_ERROR(list_folder(host_dir, &listing));
  for (const listed_entry& e : listing) {
    const std::string& name = e.name;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const std::string entry_vpath = vpath + "/" + name;
    const std::string host_path = host_dir + "/" + name;
    if (entry_vpath.size() > kMaxVolumePath)
      return import_error("Error: cannot import \"%s\": its path on the volume is longer than %zu bytes\n",
                          host_path.c_str(), kMaxVolumePath);
    // A folder is taken as listed, and a regular file is opened once, read
    // and planned from what was read; anything else is looked at first.
    entry_plan plan;
    input_file in;
    if (e.type == DT_DIR) {
      plan.kind = entry_kind::folder;
    } else if (e.type == DT_REG) {
      VOLPACK_RETURN_IF_ERROR(open_and_read_head(im, host_path, &in));
      if (!is_skipped(im.ctx.skip, in.before)) {
        file_probe probe;
        VOLPACK_RETURN_IF_ERROR(
            probe_head(host_path, in.before.owner_exec, im.buf.data(), in.got, in.before.size, in.read_error, &probe));
        plan = plan_regular_file(im.root, rel, host_path, im.ctx.options.link_files, probe);
      }
    } else {
      result<entry_plan> planned = plan_host_entry(im.root, rel, im.ctx.options.link_files, im.ctx.skip);
      if (!planned) return planned.error();
      plan = planned.take();
      // A regular file found so is opened now, as above.
      if (plan.kind == entry_kind::file || plan.kind == entry_kind::executable)
        VOLPACK_RETURN_IF_ERROR(open_and_read_head(im, host_path, &in));
    }
    HFSUniStr255 unicode;
    if (plan.kind != entry_kind::skipped) VOLPACK_RETURN_IF_ERROR(claim_name(im, names, name, host_path, &unicode));
    if (!plan.warning.empty()) im.ctx.reporter->report(report_kind::warning, plan.warning);
    switch (plan.kind) {
      case entry_kind::skipped:
        break;
      case entry_kind::folder: {
        info(im, "Adding folder", entry_vpath);
        digest_entry(im, 'd', 0755, 0, entry_vpath);
        folder_t sub;
        sub.keyed = true;
        VOLPACK_RETURN_IF_ERROR(
            create_entry(im, folder, unicode, true, host_path, entry_vpath, &sub.record, &sub.key, &sub.place).error());
        VOLPACK_RETURN_IF_ERROR(import_folder(im, rel, entry_vpath, sub, folder_names()));
        break;
      }
      case entry_kind::link:
        in.close();
        VOLPACK_RETURN_IF_ERROR(import_link(im, folder, unicode, entry_vpath, host_path, plan.target));
        break;
      case entry_kind::file:
      case entry_kind::executable:
        VOLPACK_RETURN_IF_ERROR(
            import_file(im, folder, unicode, entry_vpath, host_path, in, plan.kind == entry_kind::executable));
        break;
    }
  }
  return store_folder(im, folder);
}

}  // namespace

status volume_add_dir_contents_recursive(const run_context& ctx, volume_t* volume, const char* host_dir,
                                         const char* volume_path) {
  importer im{ctx, volume, host_dir, {}};
  VOLPACK_RETURN_IF_ERROR(buffer_alloc(&im.buf, kCopyPiece, "volume_add_dir_contents_recursive", kCopyBuffer));
  std::string vpath = volume_path;
  while (!vpath.empty() && vpath.back() == '/') vpath.pop_back();
  // The folder to fill, and the names it holds already.
  std::unique_ptr<catalog_record_t> found;
  VOLPACK_ASSIGN_OR_RETURN(found, volume_get_record_from_path(volume, vpath.c_str(), nullptr, nullptr));
  if (!found) {
    create_result_t r;
    CatalogNodeID id;
    VOLPACK_ASSIGN_OR_RETURN(id, volume_create_folder(volume, vpath.c_str(), &r));
    if (id == 0) return refused(host_dir, vpath, r);
    VOLPACK_ASSIGN_OR_RETURN(found, volume_get_record_from_path(volume, vpath.c_str(), nullptr, nullptr));
  }
  if (!found || !found->is_folder())
    return import_error("Error: cannot import \"%s\": the volume holds no folder %s\n", host_dir, volume_path);
  folder_t folder;
  folder.record = *found;
  folder_names names;
  std::vector<folder_entry_t> contents;
  VOLPACK_ASSIGN_OR_RETURN(contents, volume_get_folder_contents(volume, folder.record.folder.folderID));
  for (const folder_entry_t& e : contents)
    names.emplace(catalog_name_identity(volume, e.name), vpath + "/" + unistr_to_utf8(e.name));
  return import_folder(im, "", vpath, folder, std::move(names));
}

}  // namespace volpack
