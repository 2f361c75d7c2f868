#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "hfs/catalog.h"
#include "hfs/volume.h"
#include "import/import.h"
#include "io/die.h"
#include "io/host_fs.h"
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
  if (!complete) return false;
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

constexpr size_t kMaxVolumePath = 1023;
constexpr size_t kCopyPiece = 256 * 1024;  // file data move through one fixed buffer

struct skipped_file {
  uint64_t device, inode;
};
std::vector<skipped_file>& skipped_files() {
  static std::vector<skipped_file> files;
  return files;
}

bool is_skipped(const host_stat_t& st) {
  if (st.device == 0 && st.inode == 0) return false;
  for (const skipped_file& f : skipped_files()) {
    if (f.device == st.device && f.inode == st.inode) return true;
  }
  return false;
}

// One folder level of the import: the host names already taken into the
// volume folder, to name both sides of a collision.
struct folder_import {
  volume_t* volume;
  std::string host_dir;
  std::vector<std::string> imported;
};

// The host name in this folder that already holds `name`'s place on the volume.
std::string colliding_host_name(const folder_import& f, const std::string& name) {
  HFSUniStr255 want, have;
  if (!unistr_printf(&want, "%s", name.c_str())) return std::string();
  for (const std::string& other : f.imported) {
    if (unistr_printf(&have, "%s", other.c_str()) &&
        unicode_compare_folded(want.unicode.data(), want.length, have.unicode.data(), have.length) == 0)
      return other;
  }
  return std::string();
}

// Reports why an entry could not be created in the volume.
bool report_refused(const folder_import& f, const std::string& name, const std::string& host_path,
                    const create_result_t& r) {
  switch (r.status) {
    case create_status_t::kNameExists: {
      std::string other = colliding_host_name(f, name);
      std::fprintf(stderr,
                   "Error: cannot import \"%s\": the volume already holds \"%s/%s\" under the same name "
                   "(names that differ only in letter case or Unicode form are one name on the volume)\n",
                   host_path.c_str(), f.host_dir.c_str(), other.empty() ? name.c_str() : other.c_str());
      break;
    }
    case create_status_t::kNameTooLong:
      std::fprintf(stderr, "Error: cannot import \"%s\": its name is longer than 255 UTF-16 units\n",
                   host_path.c_str());
      break;
    case create_status_t::kTargetTooLong:
      std::fprintf(stderr, "Error: cannot import \"%s\": its link target is longer than 1023 bytes\n",
                   host_path.c_str());
      break;
    default:
      std::fprintf(stderr, "Error: cannot import \"%s\"\n", host_path.c_str());
      break;
  }
  return false;
}

bool import_link(folder_import& f, const std::string& name, const std::string& vpath, const std::string& host_path,
                 const std::string& target) {
  create_result_t r;
  if (!volume_create_symlink(f.volume, vpath.c_str(), target.c_str(), &r))
    return report_refused(f, name, host_path, r);
  if (verbose) std::printf("Added symlink: %s -> %s\n", vpath.c_str(), target.c_str());
  return true;
}

// Copies the host file's bytes into the fork, which already holds `size` bytes
// of blocks. A file that changes size meanwhile is refused.
bool copy_file_data(stream_t* s, hfsfile_t* fork, uint64_t size, const std::string& host_path,
                    std::vector<uint8_t>& buf) {
  for (uint64_t offset = 0; offset < size;) {
    uint64_t n = std::min<uint64_t>(kCopyPiece, size - offset);
    if (stream_read(s, buf.data(), n) != n) {
      std::fprintf(stderr, "Error: \"%s\" changed size or could not be read while it was copied\n",
                   host_path.c_str());
      return false;
    }
    if (!hfsfile_write(fork, offset, n, buf.data()))
      die("volume_add_dir_contents_recursive():%d: io_write error\n", __LINE__);
    offset += n;
  }
  uint8_t extra;
  if (stream_read(s, &extra, 1) != 0) {
    std::fprintf(stderr, "Error: \"%s\" changed size while it was copied\n", host_path.c_str());
    return false;
  }
  return true;
}

bool import_file(folder_import& f, const std::string& name, const std::string& vpath, const std::string& host_path,
                 const host_stat_t& st, std::vector<uint8_t>& buf) {
  std::unique_ptr<stream_t> s = create_stream_from_fp(host_fopen(host_path.c_str(), "rb"));
  if (!s) {
    std::fprintf(stderr, "volume_add_dir_contents_recursive():%d: Error: create_stream_from_fp() failed for: %s\n",
                 __LINE__, host_path.c_str());
    return false;
  }
  uint8_t head[4];
  uint64_t got = stream_read(s.get(), head, 4);
  bool executable = is_executable_magic(head, got) || st.owner_exec;
  stream_seek(s.get(), 0);

  if (!executable && is_oneliner_symlink(s.get())) {
    uint64_t n = stream_read(s.get(), buf.data(), kMaxLinkFileSize);
    std::string target(reinterpret_cast<const char*>(buf.data()), n);
    (void)stream_close(std::move(s));
    return import_link(f, name, vpath, host_path, target);
  }

  std::unique_ptr<catalog_record_t> record = volume_get_record_from_path(f.volume, vpath.c_str(), nullptr, nullptr);
  if (!record) {
    create_result_t r;
    CatalogNodeID id = volume_create_file(f.volume, vpath.c_str(), &r);
    if (id == 0) return report_refused(f, name, host_path, r);
    record = volume_get_record_by_id(f.volume, id);
  }
  if (!record || !record->is_file()) {
    std::fprintf(stderr, "Error: cannot import \"%s\": the volume holds a folder of that name\n",
                 host_path.c_str());
    return false;
  }
  if (record->file.permissions.ownerFlags & 0x20) {
    std::fprintf(stderr,
                 "volume_add_dir_contents_recursive():%d: Error: writing to HFS compressed files is unimplemented\n",
                 __LINE__);
    return false;
  }
  std::unique_ptr<hfsfile_t> fork =
      volume_open_hfsfile(f.volume, record->file.fileID, &record->file.dataFork, record.get());
  if (!fork) {
    std::fprintf(stderr, "volume_add_dir_contents_recursive():%d: Error: volume_open_hfsfile failed\n", __LINE__);
    return false;
  }
  uint64_t size = stream_length(s.get());
  hfsfile_allocate_or_die(fork.get(), size);
  bool copied = copy_file_data(s.get(), fork.get(), size, host_path, buf);
  hfsfile_close(std::move(fork));
  (void)stream_close(std::move(s));
  if (!copied) return false;

  if (executable) {
    (void)volume_chmod(f.volume, vpath.c_str(), 0755);
    if (verbose) std::printf("Added executable: %s\n", vpath.c_str());
  } else if (vpath == "/.VolumeIcon.icns") {
    record->file.userInfo.fileType = fourcc("    ");
    record->file.userInfo.fileCreator = fourcc("    ");
    volume_update_catalog(f.volume, *record);
    std::unique_ptr<catalog_record_t> root = volume_get_record_from_path(f.volume, "/", nullptr, nullptr);
    if (root && root->is_folder()) {
      root->folder.userInfo.finderFlags = kHasCustomIcon;
      volume_update_catalog(f.volume, *root);
    }
    if (verbose) std::printf("Added volume icon: %s\n", vpath.c_str());
  } else if (vpath == "/.DS_Store") {
    if (verbose) std::printf("Added Desktop Services settings store: %s\n", vpath.c_str());
  } else {
    if (verbose) std::printf("Added file: %s\n", vpath.c_str());
  }
  return true;
}

bool import_folder(volume_t* volume, const std::string& dir_path, std::string vpath, std::vector<uint8_t>& buf);

bool import_entry(folder_import& f, const std::string& name, const std::string& folder_vpath, uint8_t type,
                  std::vector<uint8_t>& buf) {
  std::string vpath = folder_vpath + "/" + name;
  std::string host_path;
  if (asprintf(&host_path, "%s/%s", f.host_dir.c_str(), name.c_str()) < 0) return false;
  if (vpath.size() > kMaxVolumePath) {
    std::fprintf(stderr, "Error: cannot import \"%s\": its path on the volume is longer than %zu bytes\n",
                 host_path.c_str(), kMaxVolumePath);
    return false;
  }
  if (type == DT_DIR) {
    if (verbose) std::printf("Adding folder: %s\n", vpath.c_str());
    if (!import_folder(f.volume, host_path, vpath, buf)) return false;
    f.imported.push_back(name);
    return true;
  }
  host_stat_t st;
  if (host_lstat(host_path.c_str(), &st) != 0) {
    std::fprintf(stderr, "Error: cannot import \"%s\": %s\n", host_path.c_str(), host_strerror(host_errno()));
    return false;
  }
  if (is_skipped(st)) return true;  // this run's own scratch volume or image
  bool ok;
  if (st.type == DT_LNK) {
    std::string target;
    if (!host_readlink(host_path.c_str(), &target)) {
      std::fprintf(stderr, "Error: cannot read the link \"%s\": %s\n", host_path.c_str(),
                   host_strerror(host_errno()));
      return false;
    }
    ok = import_link(f, name, vpath, host_path, target);
  } else if (st.type == DT_REG) {
    ok = import_file(f, name, vpath, host_path, st, buf);
  } else {
    std::fprintf(stderr, "WARNING: skipping \"%s\": not a regular file, folder or symbolic link\n",
                 host_path.c_str());
    return true;
  }
  if (ok) f.imported.push_back(name);
  return ok;
}

bool import_folder(volume_t* volume, const std::string& dir_path, std::string vpath, std::vector<uint8_t>& buf) {
  while (!vpath.empty() && vpath.back() == '/') vpath.pop_back();
  host_dir* dir = host_opendir(dir_path.c_str());
  if (dir == nullptr)
    die("volume_add_dir_contents_recursive():%d: Cannot open that directory: %s\n", __LINE__, dir_path.c_str());
  folder_import f{volume, dir_path, {}};
  if (!volume_get_record_from_path(volume, vpath.c_str(), nullptr, nullptr)) {
    create_result_t r;
    if (volume_create_folder(volume, vpath.c_str(), &r) == 0) {
      host_closedir(dir);
      std::string name = vpath.substr(vpath.rfind('/') + 1);
      return report_refused(f, name, dir_path, r);
    }
  }
  bool ok = true;
  while (host_dirent* e = host_readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!import_entry(f, name, vpath, e->d_type, buf)) {
      ok = false;
      break;
    }
  }
  host_closedir(dir);
  return ok;
}

}  // namespace

void import_skip_host_file(const host_stat_t& st) { skipped_files().push_back({st.device, st.inode}); }

bool volume_add_dir_contents_recursive(volume_t* volume, const char* host_dir, const char* volume_path) {
  std::vector<uint8_t> buf = malloc_or_die(kCopyPiece, "volume_add_dir_contents_recursive", __LINE__);
  return import_folder(volume, host_dir, volume_path, buf);
}

}  // namespace volpack
