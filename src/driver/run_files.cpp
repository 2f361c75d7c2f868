#include "driver/run_files.h"

#include <cerrno>

#include "io/die.h"
#include "io/host_fs.h"

namespace volpack {

namespace {

// The folder that holds `path` ("." when it names none).
std::string folder_of(const std::string& path) {
  size_t cut = path.size();
  while (cut > 0 && !host_is_separator(path[cut - 1])) --cut;
  if (cut == 0) return ".";
  std::string folder = path.substr(0, cut);
  while (folder.size() > 1 && host_is_separator(folder.back())) folder.pop_back();
  return folder;
}

bool same_file(const host_stat_t& a, const host_stat_t& b) {
  return (a.device != 0 || a.inode != 0) && a.device == b.device && a.inode == b.inode;
}

// True when the folder that will hold `output` is `source` or lies inside
// it, found by walking up from the output's folder to the root by identity
// (so links and differently spelt paths are seen through).
bool lies_inside(const std::string& output, const std::string& source) {
  host_stat_t src, here, up;
  if (host_stat(source.c_str(), &src) != 0 || src.type != DT_DIR) return false;
  std::string folder = folder_of(output);
  if (host_stat(folder.c_str(), &here) != 0) return false;
  for (int depth = 0; depth < 4096; ++depth) {
    if (same_file(here, src)) return true;
    folder += "/..";
    if (host_stat(folder.c_str(), &up) != 0 || same_file(up, here)) return false;  // the root
    here = up;
  }
  return false;
}

// A failure whose message names the file and the host's reason itself.
status failed(const char* fmt, const std::string& a, const std::string& b = std::string()) {
  host_clear_failure();
  std::string text;
  if (asprintf(&text, fmt, a.c_str(), b.c_str()) < 0) text = "error: out of memory\n";
  return status::error(text);
}

// Creates one temporary beside the output and binds its name to it.
status make_temporary(const std::string& output, const char* suffix, std::string* path, int* fd,
                      std::vector<host_file_id>* skip) {
  *fd = host_create_unique(output.c_str(), suffix, path);
  if (*fd < 0) {
    int e = host_errno();
    return failed("error: cannot write DMG file %s: %s\n", output, host_strerror(e));
  }
  host_pin(path->c_str(), *fd);
  cleanup_register(path->c_str());
  host_stat_t st;
  if (host_fstat(*fd, &st) == 0) skip->push_back({st.device, st.inode});
  return status::ok();
}

void close_temporary(std::string* path, int* fd) {
  if (*fd < 0) return;
  cleanup_unregister(path->c_str());
  host_unpin(path->c_str());
  host_close(*fd);
  *fd = -1;
}

}  // namespace

status run_files_open(run_files* f, const std::string& output, const std::string& source,
                      std::vector<host_file_id>* skip) {
  f->output = output;
  host_stat_t st;
  if (host_lstat(output.c_str(), &st) == 0 && st.type != DT_REG) {
    return failed("error: cannot write DMG file %s: %s\n", output,
                st.type == DT_DIR ? host_strerror(EISDIR) : "it exists and is not a regular file");
  }
  if (lies_inside(output, source))
    return failed("error: cannot write DMG file %s: it lies inside the source folder %s\n", output, source);

  f->lock = host_sibling_path(output.c_str(), ".volpack-lock");
  f->lock_fd = host_lock_file(f->lock.c_str(), &f->lock_created);
  if (f->lock_fd < 0) {
    int e = host_errno();
    if (e == EAGAIN) return failed("error: %s is being written by another volpack run\n", output);
    return failed("error: cannot write DMG file %s: %s\n", output, host_strerror(e));
  }
  host_pin(f->lock.c_str(), f->lock_fd);
  if (f->lock_created) cleanup_register(f->lock.c_str());

  VOLPACK_RETURN_IF_ERROR(make_temporary(output, ".hfs", &f->scratch, &f->scratch_fd, skip));
  return make_temporary(output, ".volpack-part", &f->temp, &f->temp_fd, skip);
}

status run_files_size_scratch(const run_files& f, uint64_t bytes) {
  if (host_ftruncate(f.scratch_fd, bytes)) return status::ok();
  return failed("error: cannot write scratch file %s: %s\n", f.scratch, host_strerror(host_errno()));
}

status run_files_commit(run_files* f, const run_context& ctx) {
  if (!host_fsync(f->temp_fd)) {
    int e = host_errno();
    return failed("error: cannot write DMG file %s: %s\n", f->temp, host_strerror(e));
  }
  // The scratch volume goes first: once the image is in place nothing may fail.
  if (host_remove(f->scratch.c_str()) != 0) {
    int e = host_errno();
    return failed("error: cannot remove scratch file %s: %s\n", f->scratch, host_strerror(e));
  }
  close_temporary(&f->scratch, &f->scratch_fd);
  // The lock's name goes before the image takes its place (the lock itself is
  // held to the end), so that nothing of the run is left once the output is.
  if (f->lock_created && host_remove(f->lock.c_str()) != 0) {
    int e = host_errno();
    return failed("error: cannot remove lock file %s: %s\n", f->lock, host_strerror(e));
  }
  f->lock_created = false;
  cleanup_unregister(f->lock.c_str());
  bool synced = false;
  if (!host_rename_replace(f->temp.c_str(), f->output.c_str(), &synced)) {
    int e = host_errno();
    return failed("error: cannot write DMG file %s: %s\n", f->output, host_strerror(e));
  }
  close_temporary(&f->temp, &f->temp_fd);
  if (!synced) {
    host_failure why;
    host_take_failure(&why);
    ctx.reporter->warnf("WARNING: the folder of %s could not be synced (%s): the new image may not survive a power loss\n",
                        f->output.c_str(), host_strerror(why.error));
  }
  run_files_abandon(f);  // the lock
  return status::ok();
}

void run_files_abandon(run_files* f) {
  if (f->scratch_fd >= 0) host_remove(f->scratch.c_str());
  if (f->temp_fd >= 0) host_remove(f->temp.c_str());
  close_temporary(&f->scratch, &f->scratch_fd);
  close_temporary(&f->temp, &f->temp_fd);
  if (f->lock_fd >= 0) {
    if (f->lock_created) host_remove(f->lock.c_str());
    close_temporary(&f->lock, &f->lock_fd);
  }
  host_clear_failure();
}

}  // namespace volpack
