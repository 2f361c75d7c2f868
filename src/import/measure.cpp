#include <string>

#include "import/import.h"
#include "io/host_fs.h"

namespace volpack {

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
    census->measure += 512;
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
    census->measure += (st.size + 511) / 512 * 512;
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
