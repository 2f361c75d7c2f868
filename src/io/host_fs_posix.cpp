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

namespace volpack {

struct host_dir {
  DIR* dir = nullptr;
  std::string path;     // the directory, for typing entries whose type the host leaves open
  std::string pattern;  // the search pattern it was opened with
  std::string name;
  host_dirent entry;
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
  errno = 0;
  struct dirent* e = readdir(d->dir);
  if (e == nullptr) return nullptr;
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

std::FILE* host_fopen(const char* path, const char* mode) {
  const char* resolved = host_hooked_path(path);
  return resolved != nullptr ? std::fopen(resolved, mode) : nullptr;
}

bool host_fseek64(std::FILE* fp, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return fseeko(fp, static_cast<off_t>(offset), SEEK_SET) == 0;
}

int64_t host_ftell64(std::FILE* fp) { return static_cast<int64_t>(ftello(fp)); }

bool host_fflush_sync(std::FILE* fp) {
  if (std::fflush(fp) != 0) return false;
  int fd = fileno(fp);
  // Pipes and character devices cannot be synced; that is no failure.
  if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS) return false;
  return true;
}

uint64_t host_pread(std::FILE* fp, uint64_t offset, void* buf, uint64_t count) {
  int fd = fileno(fp);
  uint8_t* p = static_cast<uint8_t*>(buf);
  uint64_t done = 0;
  while (done < count) {
    ssize_t n = pread(fd, p + done, static_cast<size_t>(std::min<uint64_t>(count - done, 1u << 30)),
                      static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint64_t>(n);
  }
  return done;
}

uint64_t host_pwrite(std::FILE* fp, uint64_t offset, const void* buf, uint64_t count) {
  int fd = fileno(fp);
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  uint64_t done = 0;
  while (done < count) {
    ssize_t n = pwrite(fd, p + done, static_cast<size_t>(std::min<uint64_t>(count - done, 1u << 30)),
                       static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
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
  f |= O_CLOEXEC;
  const char* resolved = host_hooked_path(path);
  return resolved != nullptr ? open(resolved, f, static_cast<mode_t>(mode)) : -1;
}

int host_fstat(int fd, host_stat_t* st) {
  struct stat s;
  if (fstat(fd, &s) != 0) return -1;
  fill_stat(s, st);
  return 0;
}

int64_t host_write_all(int fd, const void* buf, uint64_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  uint64_t done = 0;
  while (done < count) {
    uint64_t piece = count - done;
    if (piece > 0x7FFFFFFFu) piece = 0x7FFFFFFFu;
    ssize_t n = write(fd, p + done, static_cast<size_t>(piece));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || static_cast<uint64_t>(n) != piece) {
      // A failed piece counts as -1, so that a failure never returns `count`.
      return static_cast<int64_t>(done) - 1;
    }
    done += piece;
  }
  return static_cast<int64_t>(done);
}

bool host_lseek(int fd, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

bool host_ftruncate(int fd, uint64_t length) {
  if (length > static_cast<uint64_t>(INT64_MAX)) return false;
  return ftruncate(fd, static_cast<off_t>(length)) == 0;
}

bool host_fsync(int fd) { return fsync(fd) == 0 || errno == EINVAL || errno == EROFS; }

int host_close(int fd) { return close(fd); }

bool host_try_lock(int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; }

int64_t host_time() { return static_cast<int64_t>(::time(nullptr)); }

int32_t host_timezone_bias_minutes() {
  // tzset() fills `timezone` with the standard-time offset west of UTC in
  // seconds, without any daylight-saving part.
  tzset();
  return static_cast<int32_t>(timezone / 60);
}

int host_remove(const char* path) {
  const char* resolved = host_hooked_path(path);
  return resolved != nullptr ? std::remove(resolved) : -1;
}

void host_remove_raw(const char* path) { unlink(path); }

bool host_rename_replace(const char* from, const char* to) {
  const char* resolved = host_hooked_path(from);
  return resolved != nullptr && rename(resolved, to) == 0;
}

bool host_mkdir(const char* path) {
  const char* resolved = host_hooked_path(path);
  return resolved != nullptr && mkdir(resolved, 0755) == 0;
}

int host_errno() { return errno; }
void host_set_errno(int e) { errno = e; }
const char* host_strerror(int e) { return std::strerror(e); }

namespace {
void (*g_interrupt_handler)() = nullptr;

extern "C" void volpack_on_signal(int sig) {
  if (g_interrupt_handler != nullptr) g_interrupt_handler();
  (void)sig;
  _exit(1);
}
}  // namespace

void host_on_interrupt(void (*handler)()) {
  g_interrupt_handler = handler;
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = volpack_on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
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

}  // namespace volpack
