#include <string>

#include "import/import.h"
#include "io/host_fs.h"

namespace volpack {

bool compute_directory_size(const char* path, uint64_t* counter) {
  host_dir* dir = host_opendir(path);
  if (dir == nullptr) return false;
  while (host_dirent* e = host_readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string child;
    if (asprintf(&child, "%s/%s", path, name.c_str()) < 0) {
      host_closedir(dir);
      return false;
    }
    uint64_t data = 0;
    bool ok = true;
    if (e->d_type == DT_DIR) {
      ok = compute_directory_size(child.c_str(), counter);
    } else {
      // A host link is measured as itself (its target text), never followed.
      host_stat_t st;
      ok = host_lstat(child.c_str(), &st) == 0;
      if (ok) data = st.size;
    }
    *counter += (data + 511) / 512 * 512 + 512;
    if (!ok) {
      int e2 = host_errno();
      host_closedir(dir);
      host_set_errno(e2);
      return false;
    }
  }
  // A listing that ended in an error is no listing of the whole folder.
  int e = host_dir_error(dir);
  host_closedir(dir);
  host_set_errno(e);
  return e == 0;
}

bool census_directory(const char* path, tree_census* census) {
  host_dir* dir = host_opendir(path);
  if (dir == nullptr) {
    census->failed_path = path;
    return false;
  }
  bool ok = true;
  while (host_dirent* e = host_readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string child;
    if (asprintf(&child, "%s/%s", path, name.c_str()) < 0) {
      ok = false;
      break;
    }
    census->name_bytes += name.size();
    progress_advance(census->progress, 1, 0);
    if (e->d_type == DT_DIR) {
      census->folders += 1;
      if (!census_directory(child.c_str(), census)) {
        ok = false;
        break;
      }
      continue;
    }
    host_stat_t st;
    if (host_lstat(child.c_str(), &st) != 0) {
      census->failed_path = child;
      ok = false;
      break;
    }
    if (st.type == DT_LNK) {
      census->links += 1;
    } else if (st.type == DT_REG) {
      census->files += 1;
      census->data_bytes += st.size;
    } else {
      census->others += 1;
      continue;
    }
    census->data_blocks += (st.size + 4095) / 4096;
  }
  int e = ok ? host_dir_error(dir) : host_errno();
  if (ok && e != 0) {
    census->failed_path = path;
    ok = false;
  }
  host_closedir(dir);
  host_set_errno(e);
  return ok;
}

}  // namespace volpack
