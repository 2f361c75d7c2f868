// The host operations that are the same on every platform.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <unordered_map>

#include "io/host_fs.h"
#include "io/host_fs_internal.h"

namespace volpack {

// ---------------------------------------------------------------------------
// Faults and failure records

namespace {

std::atomic<host_fault_hook> g_fault_hook{nullptr};
std::atomic<void*> g_fault_user{nullptr};

std::mutex& record_mutex() {
  static std::mutex m;
  return m;
}
bool g_have_failure = false;
host_failure g_failure;
std::unordered_map<int, std::string>& fd_paths() {
  static std::unordered_map<int, std::string> paths;
  return paths;
}

// Pinned names, in fixed storage: the interrupt handler reads them.
constexpr int kMaxPins = 8;
constexpr size_t kMaxPinPath = 4096;
char g_pin_paths[kMaxPins][kMaxPinPath];
volatile int g_pin_fds[kMaxPins] = {-1, -1, -1, -1, -1, -1, -1, -1};

}  // namespace

const char* host_op_name(host_op op) {
  static const char* const kNames[kHostOpKinds] = {"open", "read", "write", "resize",
                                                   "sync", "readdir", "rename", "remove"};
  return kNames[static_cast<int>(op)];
}

void host_set_fault_hook(host_fault_hook hook, void* user) {
  g_fault_user.store(user);
  g_fault_hook.store(hook);
}

bool host_take_failure(host_failure* out) {
  std::lock_guard<std::mutex> lock(record_mutex());
  if (!g_have_failure) return false;
  *out = g_failure;
  g_have_failure = false;
  return true;
}

void host_clear_failure() {
  std::lock_guard<std::mutex> lock(record_mutex());
  g_have_failure = false;
}

bool host_pin(const char* path, int fd) {
  if (path == nullptr || std::strlen(path) >= kMaxPinPath || fd < 0) return false;
  for (int i = 0; i < kMaxPins; ++i) {
    if (g_pin_fds[i] < 0) {
      std::strcpy(g_pin_paths[i], path);
      g_pin_fds[i] = fd;
      return true;
    }
  }
  return false;
}

void host_unpin(const char* path) {
  for (int i = 0; i < kMaxPins; ++i) {
    if (g_pin_fds[i] >= 0 && std::strcmp(g_pin_paths[i], path) == 0) g_pin_fds[i] = -1;
  }
}

namespace host_internal {

int fault(host_op op, const char* path) {
  host_fault_hook hook = g_fault_hook.load(std::memory_order_acquire);
  return hook == nullptr ? 0 : hook(op, path, g_fault_user.load());
}

int fault_fd(host_op op, int fd) {
  host_fault_hook hook = g_fault_hook.load(std::memory_order_acquire);
  if (hook == nullptr) return 0;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(record_mutex());
    auto it = fd_paths().find(fd);
    if (it != fd_paths().end()) path = it->second;
  }
  return hook(op, path.empty() ? nullptr : path.c_str(), g_fault_user.load());
}

void note_failure(host_op op, int error, const char* path) {
  if (path == nullptr) return;
  std::lock_guard<std::mutex> lock(record_mutex());
  g_failure.op = op;
  g_failure.error = error;
  g_failure.path = path;
  g_have_failure = true;
}

void note_fd_failure(host_op op, int error, int fd) {
  std::lock_guard<std::mutex> lock(record_mutex());
  auto it = fd_paths().find(fd);
  if (it == fd_paths().end()) return;
  g_failure.op = op;
  g_failure.error = error;
  g_failure.path = it->second;
  g_have_failure = true;
}

void remember_path(int fd, const char* path) {
  if (fd < 0 || path == nullptr) return;
  std::lock_guard<std::mutex> lock(record_mutex());
  fd_paths()[fd] = path;
}

void forget_fd(int fd) {
  std::lock_guard<std::mutex> lock(record_mutex());
  fd_paths().erase(fd);
}

int pinned_fd(const char* path) {
  if (path == nullptr) return -1;
  for (int i = 0; i < kMaxPins; ++i) {
    int fd = g_pin_fds[i];
    if (fd >= 0 && std::strcmp(g_pin_paths[i], path) == 0) return fd;
  }
  return -1;
}

uint64_t unique_value() {
  static std::atomic<uint64_t> counter{0};
  uint64_t v = static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  v ^= counter.fetch_add(1) * 0x9E3779B97F4A7C15ull;
  try {
    std::random_device rd;
    v ^= (static_cast<uint64_t>(rd()) << 32) ^ rd();
  } catch (...) {
    // The clock and the counter still make the value unique to this process.
  }
  return v;
}

}  // namespace host_internal

uint64_t host_random_u64() {
  // The process ID keeps apart processes whose other sources agree; the
  // finaliser of SplitMix64 spreads every input bit over the whole value.
  uint64_t v = host_internal::unique_value() ^ (host_internal::process_id() * 0xD1B54A32D192ED03ull);
  v = (v ^ (v >> 30)) * 0xBF58476D1CE4E5B9ull;
  v = (v ^ (v >> 27)) * 0x94D049BB133111EBull;
  return v ^ (v >> 31);
}

// ---------------------------------------------------------------------------
// Stdio files: transfers through the fault seam, failures kept with the path

using host_internal::failed_fd;
using host_internal::fault_fd;
using host_internal::file_descriptor;

uint64_t host_fread(std::FILE* fp, void* buf, uint64_t count) {
  if (count == 0) return 0;
  if (int f = fault_fd(host_op::read, file_descriptor(fp))) {
    errno = f;
    return failed_fd<uint64_t>(host_op::read, file_descriptor(fp), 0);
  }
  size_t n = std::fread(buf, 1, static_cast<size_t>(count), fp);
  if (n < count && std::ferror(fp)) return failed_fd<uint64_t>(host_op::read, file_descriptor(fp), n);
  return n;
}

uint64_t host_fwrite(std::FILE* fp, const void* buf, uint64_t count) {
  if (count == 0) return 0;
  if (int f = fault_fd(host_op::write, file_descriptor(fp))) {
    errno = f;
    return failed_fd<uint64_t>(host_op::write, file_descriptor(fp), 0);
  }
  size_t n = std::fwrite(buf, 1, static_cast<size_t>(count), fp);
  if (n < count) return failed_fd<uint64_t>(host_op::write, file_descriptor(fp), n);
  return n;
}

int host_fclose(std::FILE* fp) {
  int fd = file_descriptor(fp);
  int r = 0;
  if (int f = fault_fd(host_op::write, fd)) {
    errno = f;
    r = failed_fd<int>(host_op::write, fd, EOF);
    std::fclose(fp);
  } else if (std::fflush(fp) != 0) {
    r = failed_fd<int>(host_op::write, fd, EOF);
    std::fclose(fp);
  } else if (std::fclose(fp) != 0) {
    r = failed_fd<int>(host_op::write, fd, EOF);
  }
  host_internal::forget_fd(fd);
  return r;
}

int host_fstat_file(std::FILE* fp, host_stat_t* st) { return host_fstat(file_descriptor(fp), st); }

bool host_fflush_sync(std::FILE* fp) {
  int fd = file_descriptor(fp);
  if (std::fflush(fp) != 0) return failed_fd(host_op::write, fd, false);
  return host_fsync(fd);
}

// ---------------------------------------------------------------------------
// Names of the run's own files

namespace {

// FNV-1a, to keep shortened names of different files apart.
uint64_t name_hash(const std::string& s) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

}  // namespace

std::string host_sibling_path(const char* path, const std::string& tail) {
  constexpr size_t kMaxComponent = 255;
  std::string p = path != nullptr ? path : "";
  size_t cut = p.size();
  while (cut > 0 && !host_is_separator(p[cut - 1])) --cut;
  std::string folder = p.substr(0, cut), name = p.substr(cut);
  if (name.size() + tail.size() > kMaxComponent) {
    char hash[24];
    std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(name_hash(name)));
    size_t keep = kMaxComponent > tail.size() + std::strlen(hash) ? kMaxComponent - tail.size() - std::strlen(hash) : 0;
    if (keep > name.size()) keep = name.size();
    // Never cut a UTF-8 sequence in two.
    while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    name = name.substr(0, keep) + hash;
  }
  return folder + name + tail;
}

namespace {
host_path_hook* g_path_hook = nullptr;
}  // namespace

void host_install_path_hook(host_path_hook* hook) { g_path_hook = hook; }

const char* host_hooked_path(const char* path) {
  if (g_path_hook == nullptr || path == nullptr) return path;
  result<const char*> resolved = g_path_hook->resolve(path);
  if (!resolved) {
    host_set_errno(resolved.error().os_error() != 0 ? resolved.error().os_error() : EIO);
    return nullptr;
  }
  return resolved.value();
}

int asprintf(std::string* out, const char* fmt, ...) {
  out->clear();
  // A first try in 16 bytes; longer texts are formatted again at their length.
  char small[16];
  va_list ap;
  va_start(ap, fmt);
  int len = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (len < 0) return -1;
  if (len < static_cast<int>(sizeof small)) {
    out->assign(small, static_cast<size_t>(len));
    return len;
  }
  try {
    std::string text(static_cast<size_t>(len) + 1, '\0');
    va_start(ap, fmt);
    int again = std::vsnprintf(&text[0], text.size(), fmt, ap);
    va_end(ap);
    if (again < 0) return -1;
    text.resize(static_cast<size_t>(again));
    *out = std::move(text);
    return again;
  } catch (...) {
    host_set_errno(ENOMEM);
    return -1;
  }
}

// UTF-8 is the narrow encoding of this layer on every host.
bool host_narrow_from_utf16(const char16_t* units, size_t count, std::string* out) {
  out->clear();
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(units[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

int host_create_unique(const char* path, const char* suffix, std::string* created) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    char unique[40];
    std::snprintf(unique, sizeof unique, ".%lx-%012llx", static_cast<unsigned long>(host_internal::process_id()),
                  static_cast<unsigned long long>(host_internal::unique_value() & 0xFFFFFFFFFFFFull));
    std::string name = host_sibling_path(path, std::string(unique) + suffix);
    int fd = host_open(name.c_str(), HOST_O_RDWR | HOST_O_CREAT | HOST_O_EXCL | HOST_O_NOFOLLOW, 0644);
    if (fd >= 0) {
      *created = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

}  // namespace volpack
