// The host layer on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "io/host_fs.h"
#include "io/host_fs_internal.h"

namespace volpack {

using host_internal::failed_fd;
using host_internal::fault;
using host_internal::fault_fd;
using host_internal::note_failure;
using host_internal::note_fd_failure;

struct host_dir {
  DIR* dir = nullptr;
  std::string path;     // the directory, for typing entries whose type the host leaves open
  std::string pattern;  // the search pattern it was opened with
  std::string name;
  host_dirent entry;
  int error = 0;  // the error that ended the enumeration
};

namespace {

uint8_t type_from_mode(mode_t m) {
  if (S_ISDIR(m)) return DT_DIR;
  if (S_ISREG(m)) return DT_REG;
  if (S_ISLNK(m)) return DT_LNK;
  if (S_ISFIFO(m)) return DT_FIFO;
  if (S_ISCHR(m)) return DT_CHR;
  if (S_ISBLK(m)) return DT_BLK;
  if (S_ISSOCK(m)) return DT_SOCK;
  return DT_UNKNOWN;
}

uint8_t type_from_dirent(unsigned char t) {
  switch (t) {
    case ::DT_DIR: return DT_DIR;
    case ::DT_REG: return DT_REG;
    case ::DT_LNK: return DT_LNK;
    case ::DT_FIFO: return DT_FIFO;
    case ::DT_CHR: return DT_CHR;
    case ::DT_BLK: return DT_BLK;
    case ::DT_SOCK: return DT_SOCK;
    default: return DT_UNKNOWN;
  }
}

void fill_stat(const struct stat& s, host_stat_t* st) {
  st->size = static_cast<uint64_t>(s.st_size);
  st->type = type_from_mode(s.st_mode);
  st->owner_exec = (s.st_mode & S_IXUSR) != 0;
  st->device = static_cast<uint64_t>(s.st_dev);
  st->inode = static_cast<uint64_t>(s.st_ino);
  st->mtime_ns = static_cast<int64_t>(s.st_mtim.tv_sec) * 1000000000 + s.st_mtim.tv_nsec;
}

// A duplicate of a pinned descriptor, at offset 0 and emptied when asked.
int open_pinned(int pinned, bool truncate) {
  int fd = fcntl(pinned, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return -1;
  if ((truncate && ftruncate(fd, 0) != 0) || lseek(fd, 0, SEEK_SET) < 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

// Whether `path` still names the file open as `fd` (safe in a signal handler).
bool names_file(const char* path, int fd) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && lstat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

host_dir* host_opendir(const char* path) {
  if (path == nullptr || *path == '\0') {
    errno = EINVAL;
    return nullptr;
  }
  host_dir* d = new (std::nothrow) host_dir;
  if (d == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  d->path = path;
  char last = d->path.back();
  d->pattern = d->path + ((last == '/' || last == '\\') ? "*" : "/*");
  const char* resolved = host_hooked_path(path);
  d->dir = resolved != nullptr ? opendir(resolved) : nullptr;
  if (d->dir == nullptr) {
    int e = errno;
    delete d;
    errno = e;
    return nullptr;
  }
  return d;
}

host_dirent* host_readdir(host_dir* d) {
  if (d == nullptr || d->dir == nullptr) {
    errno = EBADF;
    return nullptr;
  }
  struct dirent* e = nullptr;
  if (d->error == 0) {
    d->error = fault(host_op::readdir, d->path.c_str());
    if (d->error == 0) {
      errno = 0;
      e = readdir(d->dir);
      if (e == nullptr && errno == 0) return nullptr;  // the end
      if (e == nullptr) d->error = errno;
    }
    if (d->error != 0) note_failure(host_op::readdir, d->error, d->path.c_str());
  }
  if (d->error != 0) {
    errno = d->error;
    return nullptr;
  }
  d->name = e->d_name;
  uint8_t type = type_from_dirent(e->d_type);
  if (type == DT_UNKNOWN) {
    // Some file systems leave the type open: ask without following links.
    std::string full = d->path + "/" + d->name;
    struct stat s;
    const char* resolved = host_hooked_path(full.c_str());
    if (resolved != nullptr && lstat(resolved, &s) == 0) type = type_from_mode(s.st_mode);
  }
  d->entry.d_type = type == DT_UNKNOWN ? DT_REG : type;
  d->entry.d_name = d->name.c_str();
  return &d->entry;
}

int host_dir_error(const host_dir* d) { return d == nullptr ? EBADF : d->error; }

int host_closedir(host_dir* d) {
  if (d == nullptr) {
    errno = EBADF;
    return -1;
  }
  int r = d->dir != nullptr ? closedir(d->dir) : 0;
  delete d;
  if (r != 0) {
    errno = EBADF;
    return -1;
  }
  return 0;
}

int host_stat(const char* path, host_stat_t* st) {
  struct stat s;
  const char* resolved = host_hooked_path(path);
  if (resolved == nullptr || stat(resolved, &s) != 0) return -1;
  fill_stat(s, st);
  return 0;
}

int host_lstat(const char* path, host_stat_t* st) {
  struct stat s;
  const char* resolved = host_hooked_path(path);
  if (resolved == nullptr || lstat(resolved, &s) != 0) return -1;
  fill_stat(s, st);
  return 0;
}

bool host_readlink(const char* path, std::string* target) {
  char buf[PATH_MAX + 1];
  const char* resolved = host_hooked_path(path);
  if (resolved == nullptr) return false;
  ssize_t n = readlink(resolved, buf, sizeof buf);
  if (n < 0 || static_cast<size_t>(n) >= sizeof buf) return false;
  target->assign(buf, static_cast<size_t>(n));
  return true;
}

namespace {

// A buffered file over `fd` (which it then owns), in stdio mode `mode`.
std::FILE* fdopen_mode(int fd, const char* mode, const char* path) {
  std::string m;
  for (const char* c = mode; *c != '\0'; ++c) {
    if (*c != 'x' && *c != 'e') m += *c;
  }
  std::FILE* fp = fdopen(fd, m.c_str());
  if (fp == nullptr) {
    int e = errno;
    close(fd);
    errno = e;
    return nullptr;
  }
  host_internal::remember_path(fd, path);
  return fp;
}

int open_flags(const char* mode) {
  bool plus = std::strchr(mode, '+') != nullptr;
  switch (mode[0]) {
    case 'r': return plus ? O_RDWR : O_RDONLY;
    case 'w': return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC | (std::strchr(mode, 'x') ? O_EXCL : 0);
    case 'a': return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default: return -1;
  }
}

}  // namespace

std::FILE* host_fopen(const char* path, const char* mode) {
  int flags = mode != nullptr ? open_flags(mode) : -1;
  if (flags < 0) {
    errno = EINVAL;
    return nullptr;
  }
  if (int f = fault(host_op::open, path)) {
    note_failure(host_op::open, f, path);
    errno = f;
    return nullptr;
  }
  int pinned = host_internal::pinned_fd(path);
  const char* resolved = pinned >= 0 ? path : host_hooked_path(path);
  if (resolved == nullptr) return nullptr;
  int fd = pinned >= 0 ? open_pinned(pinned, mode[0] == 'w') : open(resolved, flags | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return nullptr;
  return fdopen_mode(fd, mode, path);
}

std::FILE* host_fopen_input(const char* path, host_stat_t* st) {
  if (int f = fault(host_op::open, path)) {
    note_failure(host_op::open, f, path);
    errno = f;
    return nullptr;
  }
  // Without waiting: opening a FIFO for reading would wait for a writer.
  const char* resolved = host_hooked_path(path);
  if (resolved == nullptr) return nullptr;
  int fd = open(resolved, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat s;
  bool known = fstat(fd, &s) == 0;
  if (!known || !S_ISREG(s.st_mode)) {
    int e = known ? ENXIO : errno;
    close(fd);
    errno = e;
    return nullptr;
  }
  // O_NONBLOCK stays: reads of a regular file never wait or fail for it, and
  // clearing it would cost two calls per file.
  fill_stat(s, st);
  return fdopen_mode(fd, "rb", path);
}

int host_internal::file_descriptor(std::FILE* fp) { return fileno(fp); }

bool host_fseek64(std::FILE* fp, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return fseeko(fp, static_cast<off_t>(offset), SEEK_SET) == 0;
}

int64_t host_ftell64(std::FILE* fp) { return static_cast<int64_t>(ftello(fp)); }

uint64_t host_pread(std::FILE* fp, uint64_t offset, void* buf, uint64_t count) {
  int fd = fileno(fp);
  if (count == 0) return 0;
  if (int f = fault_fd(host_op::read, fd)) {
    errno = f;
    return failed_fd<uint64_t>(host_op::read, fd, 0);
  }
  uint8_t* p = static_cast<uint8_t*>(buf);
  uint64_t done = 0;
  while (done < count) {
    ssize_t n = pread(fd, p + done, static_cast<size_t>(std::min<uint64_t>(count - done, 1u << 30)),
                      static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed_fd(host_op::read, fd, done);
    if (n == 0) break;
    done += static_cast<uint64_t>(n);
  }
  return done;
}

uint64_t host_pwrite(std::FILE* fp, uint64_t offset, const void* buf, uint64_t count) {
  int fd = fileno(fp);
  if (count == 0) return 0;
  if (int f = fault_fd(host_op::write, fd)) {
    errno = f;
    return failed_fd<uint64_t>(host_op::write, fd, 0);
  }
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  uint64_t done = 0;
  while (done < count) {
    ssize_t n = pwrite(fd, p + done, static_cast<size_t>(std::min<uint64_t>(count - done, 1u << 30)),
                       static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return failed_fd(host_op::write, fd, done);
    }
    done += static_cast<uint64_t>(n);
  }
  return done;
}

int host_open(const char* path, int flags, int mode) {
  int f = 0;
  switch (flags & 0x3) {
    case HOST_O_WRONLY: f = O_WRONLY; break;
    case HOST_O_RDWR: f = O_RDWR; break;
    default: f = O_RDONLY; break;
  }
  if (flags & HOST_O_CREAT) f |= O_CREAT;
  if (flags & HOST_O_EXCL) f |= O_EXCL;
  if (flags & HOST_O_TRUNC) f |= O_TRUNC;
  if (flags & HOST_O_NOFOLLOW) f |= O_NOFOLLOW;
  f |= O_CLOEXEC | O_NOCTTY;
  if (int e = fault(host_op::open, path)) {
    note_failure(host_op::open, e, path);
    errno = e;
    return -1;
  }
  int pinned = host_internal::pinned_fd(path);
  const char* resolved = pinned >= 0 ? path : host_hooked_path(path);
  int fd = resolved == nullptr ? -1
           : pinned >= 0       ? open_pinned(pinned, (flags & HOST_O_TRUNC) != 0)
                               : open(resolved, f, static_cast<mode_t>(mode));
  if (fd < 0) {
    int e = errno;
    note_failure(host_op::open, e, path);
    errno = e;
    return -1;
  }
  host_internal::remember_path(fd, path);
  return fd;
}

int host_fstat(int fd, host_stat_t* st) {
  struct stat s;
  if (fstat(fd, &s) != 0) return -1;
  fill_stat(s, st);
  return 0;
}

int64_t host_write_all(int fd, const void* buf, uint64_t count) {
  if (int f = fault_fd(host_op::write, fd)) {
    errno = f;
    return failed_fd<int64_t>(host_op::write, fd, -1);
  }
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  uint64_t done = 0;
  while (done < count) {
    uint64_t piece = count - done;
    if (piece > 0x7FFFFFFFu) piece = 0x7FFFFFFFu;
    ssize_t n = write(fd, p + done, static_cast<size_t>(piece));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      // A failed piece counts as -1, so that a failure never returns `count`.
      return failed_fd(host_op::write, fd, static_cast<int64_t>(done) - 1);
    }
    // A short write is followed by one for the rest, which reports why.
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool host_lseek(int fd, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

bool host_ftruncate(int fd, uint64_t length) {
  if (int f = fault_fd(host_op::resize, fd)) {
    errno = f;
    return failed_fd(host_op::resize, fd, false);
  }
  if (length > static_cast<uint64_t>(INT64_MAX)) {
    errno = EFBIG;
    return failed_fd(host_op::resize, fd, false);
  }
  if (ftruncate(fd, static_cast<off_t>(length)) != 0) return failed_fd(host_op::resize, fd, false);
  return true;
}

bool host_fsync(int fd) {
  if (int f = fault_fd(host_op::sync, fd)) {
    errno = f;
    return failed_fd(host_op::sync, fd, false);
  }
  // Pipes and character devices cannot be synced; that is no failure.
  if (fsync(fd) == 0 || errno == EINVAL || errno == EROFS) return true;
  return failed_fd(host_op::sync, fd, false);
}

int host_close(int fd) {
  host_internal::forget_fd(fd);
  return close(fd);
}

int host_lock_file(const char* path, bool* created) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *created = true;
    int fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0 && errno == EEXIST) {
      *created = false;
      fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      if (fd < 0 && errno == ENOENT) continue;  // removed meanwhile by its holder
    }
    if (fd < 0) return -1;
    struct stat s;
    bool known = fstat(fd, &s) == 0;
    if (!known || !S_ISREG(s.st_mode)) {
      int e = known ? EEXIST : errno;
      close(fd);
      errno = e;
      return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int e = errno == EWOULDBLOCK ? EAGAIN : errno;
      close(fd);
      errno = e;
      return -1;
    }
    if (names_file(path, fd)) return fd;
    close(fd);  // its holder removed it between our open and our lock: again
  }
  errno = EAGAIN;
  return -1;
}

int64_t host_time() { return static_cast<int64_t>(::time(nullptr)); }

uint64_t host_internal::process_id() { return static_cast<uint64_t>(getpid()); }

int32_t host_timezone_bias_minutes() {
  // tzset() fills `timezone` with the standard-time offset west of UTC in
  // seconds, without any daylight-saving part.
  tzset();
  return static_cast<int32_t>(timezone / 60);
}

int host_remove(const char* path) {
  if (int f = fault(host_op::remove, path)) {
    note_failure(host_op::remove, f, path);
    errno = f;
    return -1;
  }
  int pinned = host_internal::pinned_fd(path);
  if (pinned >= 0 && !names_file(path, pinned)) {
    errno = ENOENT;  // the name no longer leads to this run's file
    return -1;
  }
  const char* resolved = pinned >= 0 ? path : host_hooked_path(path);
  if (resolved == nullptr) return -1;
  if (unlink(resolved) == 0) return 0;
  int e = errno;
  if (e == EISDIR || e == EPERM) {
    if (rmdir(resolved) == 0) return 0;
    if (errno != ENOTDIR) e = errno;
  }
  note_failure(host_op::remove, e, path);
  errno = e;
  return -1;
}

void host_remove_raw(const char* path) {
  int pinned = host_internal::pinned_fd(path);
  if (pinned >= 0 && !names_file(path, pinned)) return;
  unlink(path);
}

namespace {

// Syncs the folder that holds `path`, so that a name just made there survives a power loss.
bool sync_folder_of(const char* path) {
  std::string p = path;
  size_t cut = p.rfind('/');
  std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : p.substr(0, cut);
  if (int f = fault(host_op::sync, folder.c_str())) {
    note_failure(host_op::sync, f, folder.c_str());
    errno = f;
    return false;
  }
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    note_failure(host_op::sync, errno, folder.c_str());
    return false;
  }
  bool ok = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  int e = errno;
  close(fd);
  if (!ok) note_failure(host_op::sync, e, folder.c_str());
  errno = e;
  return ok;
}

}  // namespace

bool host_rename_replace(const char* from, const char* to, bool* synced) {
  if (synced != nullptr) *synced = false;
  if (int f = fault(host_op::rename, from)) {
    note_failure(host_op::rename, f, to);
    errno = f;
    return false;
  }
  int pinned = host_internal::pinned_fd(from);
  if (pinned >= 0 && !names_file(from, pinned)) {
    errno = ENOENT;
    note_failure(host_op::rename, errno, from);
    return false;
  }
  const char* resolved = pinned >= 0 ? from : host_hooked_path(from);
  if (resolved == nullptr || rename(resolved, to) != 0) {
    note_failure(host_op::rename, errno, to);
    return false;
  }
  bool ok = sync_folder_of(to);
  if (synced != nullptr) *synced = ok;
  return true;
}

bool host_realpath(const char* path, std::string* out) {
  const char* resolved = host_hooked_path(path);
  char* r = resolved != nullptr ? realpath(resolved, nullptr) : nullptr;
  if (r == nullptr) return false;
  *out = r;
  std::free(r);
  return true;
}

bool host_is_separator(char c) { return c == '/'; }

bool host_mkdir(const char* path) {
  const char* resolved = host_hooked_path(path);
  return resolved != nullptr && mkdir(resolved, 0755) == 0;
}

bool host_symlink(const char* target, const char* path) {
  const char* resolved = host_hooked_path(path);
  return resolved != nullptr && symlink(target, resolved) == 0;
}

int host_errno() { return errno; }
void host_set_errno(int e) { errno = e; }
const char* host_strerror(int e) { return std::strerror(e); }

namespace {
void (*g_interrupt_handler)() = nullptr;
volatile sig_atomic_t g_interrupted = 0;

extern "C" void volpack_on_signal(int sig) {
  (void)sig;
  if (g_interrupted) return;  // the first request is being handled
  g_interrupted = 1;
  if (g_interrupt_handler != nullptr) g_interrupt_handler();
  static const char kText[] = "interrupted\n";
  ssize_t w = write(2, kText, sizeof kText - 1);
  (void)w;
  _exit(1);
}
}  // namespace

void host_on_interrupt(void (*handler)()) {
  g_interrupt_handler = handler;
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = volpack_on_signal;
  sigfillset(&sa.sa_mask);  // one handler at a time
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    // A request the caller chose to ignore (nohup, a background job) stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
  // Past the file-size limit a write fails with EFBIG and is reported as such.
  signal(SIGXFSZ, SIG_IGN);
}

int host_stat_raw(const char* path, host_stat_t* st) {
  struct stat s;
  if (stat(path, &s) != 0) return -1;
  fill_stat(s, st);
  return 0;
}

int host_open_read_raw(const char* path) {
  // Non-blocking, so that a file swapped for a FIFO after its stat cannot hang
  // the caller; regular files ignore the flag.
  return open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

int64_t host_read_all(int fd, void* buf, uint64_t count) {
  if (int f = fault_fd(host_op::read, fd)) {
    errno = f;
    return -1;
  }
  uint8_t* p = static_cast<uint8_t*>(buf);
  uint64_t done = 0;
  while (done < count) {
    uint64_t piece = count - done;
    if (piece > 0x7FFFFFFFu) piece = 0x7FFFFFFFu;
    ssize_t n = read(fd, p + done, static_cast<size_t>(piece));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

uint32_t host_thread_id() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

std::string host_program_name() {
  char buf[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return "<unspecified>";
  buf[n] = '\0';
  const char* slash = std::strrchr(buf, '/');
  return slash != nullptr ? slash + 1 : buf;
}

void host_yield() { sched_yield(); }

std::vector<std::string> host_command_line(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

bool host_is_terminal(std::FILE* fp) { return fp != nullptr && isatty(fileno(fp)) == 1; }

}  // namespace volpack
