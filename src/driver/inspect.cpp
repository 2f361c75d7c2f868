// volpack verify, list and extract: reading images back, checked.
#include "driver/inspect.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dmg/udif_read.h"
#include "hfs/catalog.h"
#include "hfs/check.h"
#include "import/import.h"
#include "io/host_fs.h"
#include "io/run_context.h"

namespace volpack {

namespace {

constexpr size_t kPiece = 1 << 20;

int usage() {
  std::fputs(
      "Usage: volpack verify <image.dmg> [--against <dir>] [--link-files=tree|all|none]\n"
      "       volpack list <image.dmg>\n"
      "       volpack extract <image.dmg> <dir>\n",
      stderr);
  return 2;
}

// An image opened down to its volume.
struct opened_image {
  std::unique_ptr<udif_image_t> image;
  std::unique_ptr<io_t> volume;
  hfs_volume_model model;
  findings_t findings;
};

// 0 when the volume was reached (findings may hold errors), else the exit
// status after a message naming the image.
int open_image(const char* path, bool verify_data, opened_image* out) {
  uint64_t size = 0;
  result<std::unique_ptr<io_t>> file = open_read_only_file(path, &size);
  if (!file) {
    std::fprintf(stderr, "error: cannot read %s", file.error().message().c_str());
    return 2;
  }
  result<std::unique_ptr<udif_image_t>> image = udif_open(file.take(), size, &out->findings);
  if (!image) {
    std::fprintf(stderr, "error: %s: not readable as a disk image: %s", path, image.error().message().c_str());
    return 2;
  }
  out->image = image.take();
  if (verify_data) out->image->verify_data(&out->findings);
  int index = out->image->hfs_partition();
  if (index < 0) {
    std::string names;
    for (const udif_partition_t& p : out->image->partitions()) names += (names.empty() ? "\"" : ", \"") + p.name + "\"";
    std::fprintf(stderr, "error: %s: no HFS+ partition among the block tables (%s); only HFS+ volumes are read\n", path,
                 names.c_str());
    return 2;
  }
  out->volume = out->image->open_partition(static_cast<size_t>(index));
  if (!out->volume) return out->findings.errors() > 0 ? 1 : 2;
  uint64_t volume_size = out->image->partitions()[static_cast<size_t>(index)].table.sector_count * kSectorSize;
  result<hfs_volume_model> model = hfs_check(out->volume.get(), volume_size, &out->findings);
  if (!model) {
    // A volume whose header cannot be read because the image is damaged is a finding.
    if (out->findings.errors() > 0) {
      out->findings.error("volume: %s", model.error().message().c_str());
      out->findings.error("%s", "volume: not checked further");
      return 0;
    }
    std::fprintf(stderr, "error: %s: %s", path, model.error().message().c_str());
    return 2;
  }
  out->model = model.take();
  return 0;
}

// ------------------------------------------------------------------ against

class against {
 public:
  against(opened_image* img, const std::string& root, link_files_mode mode, std::vector<host_file_id> skip)
      : img_(img), root_(root), mode_(mode), skip_(std::move(skip)), f_(&img->findings) {}
  // Compares the host folder `relative` below the root ("" for the root) with volume folder `id`.
  void folder(const std::string& relative, CatalogNodeID id);

 private:
  const hfs_item_t* child(CatalogNodeID folder, const HFSUniStr255& name) const {
    auto kids = img_->model.children.find(folder);
    if (kids == img_->model.children.end()) return nullptr;
    for (CatalogNodeID k : kids->second) {
      const hfs_item_t& it = img_->model.items.at(k);
      if (it.name.length == name.length &&
          std::equal(it.name.unicode.begin(), it.name.unicode.begin() + name.length, name.unicode.begin()))
        return &it;
    }
    return nullptr;
  }
  void compare_file(const std::string& host_path, const hfs_item_t& it, const std::string& vpath);

  opened_image* img_;
  std::string root_;
  link_files_mode mode_;
  std::vector<host_file_id> skip_;
  findings_t* f_;
  std::vector<uint8_t> host_buf_ = std::vector<uint8_t>(kPiece), volume_buf_ = std::vector<uint8_t>(kPiece);
};

void against::compare_file(const std::string& host_path, const hfs_item_t& it, const std::string& vpath) {
  std::FILE* fp = host_fopen(host_path.c_str(), "rb");
  if (fp == nullptr) {
    f_->error("--against: \"%s\": cannot be read: %s", host_path.c_str(), host_strerror(host_errno()));
    return;
  }
  std::vector<uint8_t>& a = host_buf_;
  std::vector<uint8_t>& b = volume_buf_;
  uint64_t size = it.file.dataFork.logicalSize;
  uint64_t at = 0;
  for (;;) {
    size_t n = std::fread(a.data(), 1, a.size(), fp);
    uint64_t want = std::min<uint64_t>(n, size - std::min(at, size));
    if (want > 0 && !hfs_read_fork(img_->volume.get(), img_->model, it.data_fork, at, want, b.data())) {
      f_->error("--against: \"%s\": its data cannot be read from the volume", vpath.c_str());
      break;
    }
    if (want != n || std::memcmp(a.data(), b.data(), n) != 0) {
      f_->error("--against: \"%s\": its bytes differ from \"%s\" from byte %" PRIu64, vpath.c_str(), host_path.c_str(), at);
      break;
    }
    at += n;
    if (n < a.size()) {
      if (at != size)
        f_->error("--against: \"%s\": %" PRIu64 " bytes on the volume, %" PRIu64 " in \"%s\"", vpath.c_str(), size, at,
                  host_path.c_str());
      break;
    }
  }
  std::fclose(fp);
}

void against::folder(const std::string& relative, CatalogNodeID id) {
  const std::string host_folder = relative.empty() ? root_ : root_ + "/" + relative;
  host_dir* dir = host_opendir(host_folder.c_str());
  if (dir == nullptr) {
    f_->error("--against: cannot read the folder \"%s\": %s", host_folder.c_str(), host_strerror(host_errno()));
    return;
  }
  std::vector<std::string> names;
  while (host_dirent* e = host_readdir(dir)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  host_closedir(dir);
  std::sort(names.begin(), names.end());
  std::set<CatalogNodeID> matched;
  // Files are compared after the names, in the order of their blocks on the
  // volume, so that each chunk of the image is decoded about once.
  struct file_pair {
    std::string host_path, item_path;
    const hfs_item_t* item;
  };
  std::vector<file_pair> files;
  for (const std::string& name : names) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const std::string host_path = root_ + "/" + rel;
    const std::string item_path = "/" + rel;
    result<entry_plan> plan = plan_host_entry(root_, rel, mode_, skip_);
    if (!plan) {
      std::string why = plan.error().message();
      if (!why.empty() && why.back() == '\n') why.pop_back();
      f_->error("--against: %s", why.c_str());
      continue;
    }
    const entry_plan& want = plan.value();
    if (want.kind == entry_kind::skipped) continue;  // FIFOs, sockets, devices, the image itself
    char want_kind = want.kind == entry_kind::folder ? 'd' : want.kind == entry_kind::link ? 'l' : 'f';
    uint16_t want_perms = want.kind == entry_kind::folder || want.kind == entry_kind::executable ? 0755 : 0644;
    HFSUniStr255 vname;
    if (!unistr_from_host(&vname, name.data(), name.size())) {
      f_->error("--against: \"%s\": the name cannot be stored on a volume", host_path.c_str());
      continue;
    }
    for (size_t i = 0; i < vname.length; ++i) {
      if (vname.unicode[i] == ':') vname.unicode[i] = '/';  // as the catalog stores it
    }
    const hfs_item_t* it = child(id, vname);
    if (it == nullptr) {
      f_->error("--against: \"%s\": missing from the volume", item_path.c_str());
      continue;
    }
    matched.insert(it->id);
    char kind = it->is_folder ? 'd' : it->is_symlink() ? 'l' : 'f';
    if (kind != want_kind) {
      f_->error("--against: \"%s\": a %s on the volume, a %s in the folder", item_path.c_str(),
                kind == 'd' ? "folder" : kind == 'l' ? "link" : "file",
                want_kind == 'd' ? "folder" : want_kind == 'l' ? "link" : "file");
      continue;
    }
    if ((it->mode() & 07777) != want_perms)
      f_->error("--against: \"%s\": mode 0%o on the volume, 0%o expected", item_path.c_str(), it->mode() & 07777,
                want_perms);
    if (kind == 'd') {
      folder(rel, it->id);
    } else if (kind == 'l') {
      result<std::string> target = hfs_link_target(img_->volume.get(), img_->model, *it);
      if (!target || target.value() != want.target)
        f_->error("--against: \"%s\": the link's target differs from \"%s\"", item_path.c_str(), want.target.c_str());
    } else {
      files.push_back({host_path, item_path, it});
    }
  }
  auto first_block = [](const hfs_item_t* it) {
    return it->data_fork.extents.empty() ? 0 : it->data_fork.extents[0].startBlock;
  };
  std::stable_sort(files.begin(), files.end(), [&](const file_pair& a, const file_pair& b) {
    return first_block(a.item) < first_block(b.item);
  });
  for (const file_pair& f : files) compare_file(f.host_path, *f.item, f.item_path);
  auto kids = img_->model.children.find(id);
  if (kids == img_->model.children.end()) return;
  for (CatalogNodeID k : kids->second) {
    if (!matched.count(k) && !img_->model.is_private(k))
      f_->error("--against: \"%s\": on the volume but not in the folder", img_->model.path_of(k).c_str());
  }
}

// ------------------------------------------------------------------ commands

void print_findings(const findings_t& f, FILE* out) {
  for (const finding& x : f.list())
    std::fprintf(out, "%s: %s\n", x.severity == finding_severity::error ? "ERROR" : "WARNING", x.text.c_str());
  if (f.dropped() > 0) std::fprintf(out, "ERROR: %zu more findings not shown\n", f.dropped());
}

int verify(int argc, char** argv) {
  const char* image = nullptr;
  const char* dir = nullptr;
  link_files_mode mode = link_files_mode::tree;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--against" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--link-files=tree") {
      mode = link_files_mode::tree;
    } else if (a == "--link-files=all") {
      mode = link_files_mode::all;
    } else if (a == "--link-files=none") {
      mode = link_files_mode::none;
    } else if (image == nullptr && (a.empty() || a[0] != '-')) {
      image = argv[i];
    } else {
      return usage();
    }
  }
  if (image == nullptr) return usage();
  opened_image img;
  int st = open_image(image, true, &img);
  if (st == 0 && img.volume && !img.model.items.empty() && dir != nullptr) {
    // The image itself may lie inside the folder; packaging skipped it.
    std::vector<host_file_id> skip;
    host_stat_t self;
    if (host_stat(image, &self) == 0) skip.push_back({self.device, self.inode});
    std::string root = dir;
    while (root.size() > 1 && (root.back() == '/' || root.back() == '\\')) root.pop_back();
    against(&img, root, mode, std::move(skip)).folder("", kHFSRootFolderID);
  }
  print_findings(img.findings, stdout);
  if (st == 2) return 2;
  size_t files = 0, folders = 0;
  for (const auto& [id, it] : img.model.items) (it.is_folder ? folders : files) += 1;
  if (img.findings.errors() == 0) {
    std::printf("%s: sound: %zu files, %zu folders, %zu warnings\n", image, files, folders > 0 ? folders - 1 : 0,
                img.findings.warnings());
    return 0;
  }
  std::printf("%s: NOT SOUND: %zu errors, %zu warnings\n", image, img.findings.errors(), img.findings.warnings());
  return 1;
}

// Calls `visit` for every item below `folder` depth-first in catalog order,
// with its path; private folders of hard links are left out.
template <class Visit>
void walk(const hfs_volume_model& m, CatalogNodeID folder, const std::string& path, int depth, Visit& visit) {
  auto kids = m.children.find(folder);
  if (kids == m.children.end() || depth > 256) return;
  for (CatalogNodeID k : kids->second) {
    if (m.is_private(k)) continue;
    const hfs_item_t& it = m.items.at(k);
    std::string p = path + "/" + hfs_volume_model::display_name(it.name);
    if (visit(it, p) && it.is_folder) walk(m, k, p, depth + 1, visit);
  }
}

// The item a hard link stands for (itself when it is none).
const hfs_item_t& resolve(const hfs_volume_model& m, const hfs_item_t& it) {
  if (it.is_folder || it.file.userInfo.fileType != fourcc("hlnk") || m.private_data_folder == 0) return it;
  std::string want = "iNode" + std::to_string(it.file.permissions.special);
  auto kids = m.children.find(m.private_data_folder);
  if (kids == m.children.end()) return it;
  for (CatalogNodeID k : kids->second) {
    const hfs_item_t& node = m.items.at(k);
    if (hfs_volume_model::display_name(node.name) == want && !node.is_folder) return node;
  }
  return it;
}

int list(int argc, char** argv) {
  if (argc != 3) return usage();
  opened_image img;
  int st = open_image(argv[2], false, &img);
  if (st != 0) return st;
  auto visit = [&](const hfs_item_t& item, const std::string& path) {
    const hfs_item_t& it = resolve(img.model, item);
    char kind = it.is_folder ? 'd' : it.is_symlink() ? 'l' : 'f';
    uint64_t size = it.is_folder ? 0 : it.file.dataFork.logicalSize;
    std::printf("%c %04o %12" PRIu64 " %s", kind, it.mode() & 07777, size, path.c_str());
    if (kind == 'l') {
      result<std::string> target = hfs_link_target(img.volume.get(), img.model, it);
      std::printf(" -> %s", target ? target.value().c_str() : "?");
    }
    std::printf("\n");
    return true;
  };
  walk(img.model, kHFSRootFolderID, "", 0, visit);
  if (img.findings.errors() > 0) {
    std::fprintf(stderr, "error: %s: the image has %zu errors (see volpack verify); the listing may be incomplete\n",
                 argv[2], img.findings.errors());
    return 1;
  }
  return 0;
}

bool safe_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

int extract(int argc, char** argv) {
  if (argc != 4) return usage();
  const std::string dir = argv[3];
  opened_image img;
  int st = open_image(argv[2], false, &img);
  if (st != 0) return st;
  host_stat_t ds;
  if (host_lstat(dir.c_str(), &ds) == 0) {
    host_dir* d = ds.type == DT_DIR ? host_opendir(dir.c_str()) : nullptr;
    bool empty = d != nullptr;
    while (d != nullptr) {
      host_dirent* e = host_readdir(d);
      if (e == nullptr) break;
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    }
    if (d != nullptr) host_closedir(d);
    if (!empty) {
      std::fprintf(stderr, "error: %s: must be a new or empty folder\n", dir.c_str());
      return 1;
    }
  } else if (!host_mkdir(dir.c_str())) {
    std::fprintf(stderr, "error: cannot create %s: %s\n", dir.c_str(), host_strerror(host_errno()));
    return 1;
  }
  int failures = 0;
  std::vector<uint8_t> buf(kPiece);
  auto visit = [&](const hfs_item_t& item, const std::string& path) {
    std::string name = path.substr(path.rfind('/') + 1);
    if (!safe_name(name)) {
      std::fprintf(stderr, "error: refusing to write \"%s\": the name would leave %s\n", path.c_str(), dir.c_str());
      ++failures;
      return false;
    }
    const hfs_item_t& it = resolve(img.model, item);
    std::string out = dir + path;
    if (it.is_folder) {
      if (!host_mkdir(out.c_str())) {
        std::fprintf(stderr, "error: cannot create %s: %s\n", out.c_str(), host_strerror(host_errno()));
        ++failures;
        return false;
      }
      return true;
    }
    if (it.is_symlink()) {
      result<std::string> target = hfs_link_target(img.volume.get(), img.model, it);
      if (!target) {
        std::fprintf(stderr, "error: cannot read the link %s: %s\n", path.c_str(), target.error().message().c_str());
        ++failures;
        return false;
      }
      if (host_symlink(target.value().c_str(), out.c_str())) return true;
      if (host_errno() != ENOSYS) {
        std::fprintf(stderr, "error: cannot create the link %s: %s\n", out.c_str(), host_strerror(host_errno()));
        ++failures;
        return false;
      }
      // No links on this host: the one-line file that packaging reads back as a link.
    }
    int fd = host_open(out.c_str(), HOST_O_WRONLY | HOST_O_CREAT | HOST_O_EXCL, (it.mode() & 0111) ? 0755 : 0644);
    if (fd < 0) {
      std::fprintf(stderr, "error: cannot create %s: %s\n", out.c_str(), host_strerror(host_errno()));
      ++failures;
      return false;
    }
    uint64_t size = it.file.dataFork.logicalSize;
    for (uint64_t at = 0; at < size;) {
      uint64_t n = std::min<uint64_t>(buf.size(), size - at);
      status s = hfs_read_fork(img.volume.get(), img.model, it.data_fork, at, n, buf.data());
      if (!s) {
        std::fprintf(stderr, "error: cannot read %s from the image: %s\n", path.c_str(), s.message().c_str());
        ++failures;
        break;
      }
      if (host_write_all(fd, buf.data(), n) != static_cast<int64_t>(n)) {
        std::fprintf(stderr, "error: cannot write %s: %s\n", out.c_str(), host_strerror(host_errno()));
        ++failures;
        break;
      }
      at += n;
    }
    if (host_close(fd) != 0) {
      std::fprintf(stderr, "error: cannot write %s: %s\n", out.c_str(), host_strerror(host_errno()));
      ++failures;
    }
    return true;
  };
  walk(img.model, kHFSRootFolderID, "", 0, visit);
  if (img.findings.errors() > 0) {
    std::fprintf(stderr, "error: %s: the image has %zu errors (see volpack verify); what could be read was written\n",
                 argv[2], img.findings.errors());
    return 1;
  }
  return failures > 0 ? 1 : 0;
}

}  // namespace

bool is_inspect_command(int argc, char** argv) {
  return argc >= 2 && (std::strcmp(argv[1], "verify") == 0 || std::strcmp(argv[1], "list") == 0 ||
                       std::strcmp(argv[1], "extract") == 0);
}

int inspect_main(int argc, char** argv) {
  if (std::strcmp(argv[1], "verify") == 0) return verify(argc, argv);
  if (std::strcmp(argv[1], "list") == 0) return list(argc, argv);
  return extract(argc, argv);
}

}  // namespace volpack
