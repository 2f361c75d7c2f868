// The host layer on 64-bit Windows.
//
// Texts are UTF-8 on both sides of this layer. Paths from callers are turned
// into UTF-16 and handed to the wide ("W") variants of the runtime and KERNEL32
// calls; names found by enumeration come back as UTF-8. So a file name gives
// the same volume name on Windows as on a POSIX host, and names outside the
// active code page survive. A path that is not valid UTF-8 is taken to be in
// the active code page, which is how the C runtime hands over the command line
// and the environment. '/' and '\\' both separate components. A path of
// MAX_PATH characters or more reaches the host in its "\\?\" form.
//
// Files are opened with CreateFileW, sharing read, write and delete with other
// openers, and handed to the C runtime as untranslated (binary) descriptors and
// streams. Sharing delete lets the clean-up that runs on a fatal error or an
// interrupt remove the scratch volume while it is still open, as unlink does on
// POSIX hosts.
//
// Windows has no symbolic links volpack can use: enumeration and status report
// directories (links to directories included, by their attribute) as DT_DIR
// and everything else as DT_REG, and host_readlink never finds a link.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "io/host_fs.h"
#include "io/host_fs_internal.h"

namespace volpack {

using host_internal::failed_fd;
using host_internal::fault;
using host_internal::fault_fd;
using host_internal::note_failure;
using host_internal::note_fd_failure;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

namespace {

// ---------------------------------------------------------------------------
// Text conversion

// UTF-8 (or, failing that, the active code page) to UTF-16, into a buffer of
// `cap` units. Returns the length without the terminator, or 0 when it does not fit.
size_t narrow_to_wide(const char* s, wchar_t* out, size_t cap) {
  if (cap == 0) return 0;
  if (*s == '\0') {
    out[0] = L'\0';
    return 0;
  }
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, out, static_cast<int>(cap));
  if (n == 0 && GetLastError() == ERROR_NO_UNICODE_TRANSLATION)
    n = MultiByteToWideChar(CP_ACP, 0, s, -1, out, static_cast<int>(cap));
  return n > 0 ? static_cast<size_t>(n - 1) : 0;
}

bool to_wide(const char* s, std::wstring* out) {
  UINT page = CP_UTF8;
  int n = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
  if (n == 0 && GetLastError() == ERROR_NO_UNICODE_TRANSLATION) {
    page = CP_ACP;
    n = MultiByteToWideChar(page, 0, s, -1, nullptr, 0);
  }
  if (n <= 0) return false;
  out->assign(static_cast<size_t>(n), L'\0');
  if (MultiByteToWideChar(page, page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0, s, -1, &(*out)[0], n) != n)
    return false;
  out->resize(static_cast<size_t>(n - 1));
  return true;
}

std::string to_utf8(const wchar_t* w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
  s.resize(static_cast<size_t>(n - 1));
  return s;
}

// A path the wide calls accept: long paths get the "\\?\" prefix (which turns
// off the host's own parsing, so the full path is made first: that resolves
// "." and "..", the current directory and '/' separators).
bool host_path(const char* path, std::wstring* out) {
  if (path == nullptr || *path == '\0') {
    errno = path == nullptr ? EINVAL : ENOENT;
    return false;
  }
  if (!to_wide(path, out)) {
    errno = EINVAL;
    return false;
  }
  if (out->size() < MAX_PATH - 12 || out->compare(0, 4, L"\\\\?\\") == 0) return true;
  DWORD n = GetFullPathNameW(out->c_str(), 0, nullptr, nullptr);
  if (n == 0) return true;  // the host reports its own failure on use
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(out->c_str(), n, &full[0], nullptr);
  full.resize(n);
  if (full.compare(0, 2, L"\\\\") == 0)
    *out = L"\\\\?\\UNC\\" + full.substr(2);
  else
    *out = L"\\\\?\\" + full;
  return true;
}

// The path as the caller's link emulation resolves it, in host form.
bool resolved_path(const char* path, std::wstring* out) {
  if (path == nullptr || *path == '\0') return host_path(path, out);
  const char* resolved = host_hooked_path(path);
  if (resolved == nullptr) return false;
  return host_path(resolved, out);
}

// ---------------------------------------------------------------------------
// Error numbers

int errno_from_win32(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
    case ERROR_NO_MORE_FILES:
      return ENOENT;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return EPIPE;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK:
      return EINVAL;
    default:
      return EIO;
  }
}

void set_errno_from_last_error() { errno = errno_from_win32(GetLastError()); }

HANDLE handle_of(int fd) {
  if (fd < 0) return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// ---------------------------------------------------------------------------
// Status

bool stat_handle(HANDLE h, host_stat_t* st) {
  switch (GetFileType(h)) {
    case FILE_TYPE_CHAR:
      *st = host_stat_t();
      st->type = DT_CHR;
      return true;
    case FILE_TYPE_PIPE:
      *st = host_stat_t();
      st->type = DT_FIFO;
      return true;
    default:
      break;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) {
    set_errno_from_last_error();
    return false;
  }
  st->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  st->type = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? DT_DIR : DT_REG;
  st->owner_exec = false;
  st->device = info.dwVolumeSerialNumber;
  st->inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  // 100 ns units since 1601.
  uint64_t t = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
  st->mtime_ns = (static_cast<int64_t>(t) - 116444736000000000LL) * 100;
  return true;
}

// Status of a path in host form, following host links. Asking for no access
// at all lets the query through files that others hold open without sharing.
int stat_wide(const std::wstring& w, host_stat_t* st) {
  HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if ((e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) &&
        GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) {
      *st = host_stat_t();
      st->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
      st->type = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? DT_DIR : DT_REG;
      return 0;
    }
    errno = errno_from_win32(e);
    return -1;
  }
  bool ok = stat_handle(h, st);
  int e = errno;
  CloseHandle(h);
  errno = e;
  return ok ? 0 : -1;
}

int stat_path(const char* path, host_stat_t* st) {
  std::wstring w;
  if (!resolved_path(path, &w)) return -1;
  return stat_wide(w, st);
}

bool is_directory(const std::wstring& w) {
  DWORD a = GetFileAttributesW(w.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool exists(const std::wstring& w) { return GetFileAttributesW(w.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Gives the handle to the C runtime as a binary descriptor.
int descriptor_from_handle(HANDLE h, int crt_flags) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), crt_flags | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) {
    CloseHandle(h);
    errno = EMFILE;
    return -1;
  }
  _setmode(fd, _O_BINARY);
  return fd;
}

// Opens `w` and gives the handle to the C runtime as a binary descriptor.
int open_descriptor(const std::wstring& w, DWORD access, DWORD disposition, DWORD attributes, int crt_flags) {
  HANDLE h = CreateFileW(w.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         disposition, attributes, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    // Opening a folder as a file: the POSIX answer.
    errno = (e == ERROR_ACCESS_DENIED && is_directory(w)) ? EISDIR : errno_from_win32(e);
    return -1;
  }
  return descriptor_from_handle(h, crt_flags);
}

// Whether `w` (host form) names the file open as `h`; no allocation, so that
// the interrupt path can ask.
bool names_handle(const wchar_t* w, HANDLE h) {
  BY_HANDLE_FILE_INFORMATION a, b;
  if (!GetFileInformationByHandle(h, &a)) return false;
  HANDLE o = CreateFileW(w, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (o == INVALID_HANDLE_VALUE) return false;
  bool same = GetFileInformationByHandle(o, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
              a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(o);
  return same;
}

// A duplicate of a pinned descriptor, at offset 0 and emptied when asked.
int open_pinned(int pinned, bool truncate, int crt_flags) {
  HANDLE dup = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(GetCurrentProcess(), handle_of(pinned), GetCurrentProcess(), &dup, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    set_errno_from_last_error();
    return -1;
  }
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(dup, zero, nullptr, FILE_BEGIN) || (truncate && !SetEndOfFile(dup))) {
    set_errno_from_last_error();
    CloseHandle(dup);
    return -1;
  }
  return descriptor_from_handle(dup, crt_flags);
}

}  // namespace

// ---------------------------------------------------------------------------
// Enumeration

struct host_dir {
  HANDLE search = INVALID_HANDLE_VALUE;
  bool returned_first = false;
  bool empty = false;    // a drive root without entries
  int error = 0;         // the error that ended the enumeration
  std::string path;      // the folder, for failure records
  std::wstring pattern;  // the search pattern it was opened with
  WIN32_FIND_DATAW found;
  std::string name;
  host_dirent entry;
};

host_dir* host_opendir(const char* path) {
  if (path == nullptr || *path == '\0') {
    errno = EINVAL;
    return nullptr;
  }
  const char* resolved = host_hooked_path(path);
  if (resolved == nullptr) return nullptr;
  size_t len = std::strlen(resolved);
  char last = len > 0 ? resolved[len - 1] : '\0';
  std::string pattern = std::string(resolved) + ((last == '/' || last == '\\') ? "*" : "/*");
  host_dir* d = new (std::nothrow) host_dir;
  if (d == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  d->path = path;
  if (!host_path(pattern.c_str(), &d->pattern)) {
    int e = errno;
    delete d;
    errno = e;
    return nullptr;
  }
  d->search = FindFirstFileW(d->pattern.c_str(), &d->found);
  if (d->search == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    int e = errno_from_win32(code);
    std::wstring w;
    bool folder = host_path(resolved, &w) && is_directory(w);
    if (code == ERROR_FILE_NOT_FOUND && folder) {
      d->empty = true;  // no entries at all, not even "." (a drive root)
      return d;
    }
    // The host cannot tell a file from a missing folder; the caller can.
    if (!folder && host_path(resolved, &w) && exists(w)) e = ENOTDIR;
    delete d;
    errno = e;
    return nullptr;
  }
  return d;
}

host_dirent* host_readdir(host_dir* d) {
  if (d == nullptr || (d->search == INVALID_HANDLE_VALUE && !d->empty)) {
    errno = EBADF;
    return nullptr;
  }
  if (d->empty) {
    errno = 0;
    return nullptr;
  }
  if (d->error == 0) {
    d->error = fault(host_op::readdir, d->path.c_str());
    if (d->error == 0 && d->returned_first && !FindNextFileW(d->search, &d->found)) {
      if (GetLastError() == ERROR_NO_MORE_FILES) {
        errno = 0;
        return nullptr;  // the end
      }
      d->error = errno_from_win32(GetLastError());
    }
    if (d->error != 0) note_failure(host_op::readdir, d->error, d->path.c_str());
  }
  if (d->error != 0) {
    errno = d->error;
    return nullptr;
  }
  d->returned_first = true;
  d->name = to_utf8(d->found.cFileName);
  d->entry.d_type = (d->found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? DT_DIR : DT_REG;
  d->entry.d_name = d->name.c_str();
  return &d->entry;
}

int host_dir_error(const host_dir* d) { return d == nullptr ? EBADF : d->error; }

int host_closedir(host_dir* d) {
  if (d == nullptr) {
    errno = EBADF;
    return -1;
  }
  bool ok = d->search == INVALID_HANDLE_VALUE || FindClose(d->search);
  delete d;
  if (!ok) {
    errno = EBADF;
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Status

int host_stat(const char* path, host_stat_t* st) { return stat_path(path, st); }

// Windows links are typed by their attributes and followed like any other
// entry, so the status of a path is that of what it reaches.
int host_lstat(const char* path, host_stat_t* st) { return stat_path(path, st); }

bool host_readlink(const char* path, std::string* target) {
  (void)path;
  (void)target;
  errno = EINVAL;
  return false;
}

// ---------------------------------------------------------------------------
// Buffered files

std::FILE* host_fopen(const char* path, const char* mode) {
  if (mode == nullptr || std::strchr("rwa", mode[0]) == nullptr || mode[0] == '\0') {
    errno = EINVAL;
    return nullptr;
  }
  bool plus = std::strchr(mode, '+') != nullptr;
  bool excl = std::strchr(mode, 'x') != nullptr;
  DWORD access = 0, disposition = 0;
  int crt = 0;
  std::string crt_mode(1, mode[0]);
  switch (mode[0]) {
    case 'r':
      access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
      disposition = OPEN_EXISTING;
      crt = plus ? 0 : _O_RDONLY;
      break;
    case 'w':
      access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      disposition = excl ? CREATE_NEW : CREATE_ALWAYS;
      break;
    default:  // 'a'
      access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      disposition = OPEN_ALWAYS;
      crt = _O_APPEND;
      break;
  }
  if (plus) crt_mode += '+';
  crt_mode += 'b';  // always untranslated
  if (int f = fault(host_op::open, path)) {
    note_failure(host_op::open, f, path);
    errno = f;
    return nullptr;
  }
  int fd = -1;
  int pinned = host_internal::pinned_fd(path);
  if (pinned >= 0) {
    fd = open_pinned(pinned, mode[0] == 'w', crt);
  } else {
    std::wstring w;
    if (!resolved_path(path, &w)) return nullptr;
    fd = open_descriptor(w, access, disposition, FILE_ATTRIBUTE_NORMAL, crt);
  }
  if (fd < 0) return nullptr;
  if (crt & _O_APPEND) _lseeki64(fd, 0, SEEK_END);
  std::FILE* fp = _fdopen(fd, crt_mode.c_str());
  if (fp == nullptr) {
    int e = errno;
    _close(fd);
    errno = e;
    return nullptr;
  }
  host_internal::remember_path(fd, path);
  return fp;
}

// Windows keeps FIFOs out of the file system's names; a device or a pipe
// reached by a path is refused all the same.
std::FILE* host_fopen_input(const char* path, host_stat_t* st) {
  if (int f = fault(host_op::open, path)) {
    note_failure(host_op::open, f, path);
    errno = f;
    return nullptr;
  }
  std::wstring w;
  if (!resolved_path(path, &w)) return nullptr;
  int fd = open_descriptor(w, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, _O_RDONLY);
  if (fd < 0) return nullptr;
  if (host_fstat(fd, st) != 0 || st->type != DT_REG) {
    int e = st->type != DT_REG ? ENXIO : errno;
    _close(fd);
    errno = e;
    return nullptr;
  }
  std::FILE* fp = _fdopen(fd, "rb");
  if (fp == nullptr) {
    int e = errno;
    _close(fd);
    errno = e;
    return nullptr;
  }
  host_internal::remember_path(fd, path);
  return fp;
}

int host_internal::file_descriptor(std::FILE* fp) { return _fileno(fp); }

bool host_fseek64(std::FILE* fp, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return _fseeki64(fp, static_cast<int64_t>(offset), SEEK_SET) == 0;
}

int64_t host_ftell64(std::FILE* fp) { return _ftelli64(fp); }

// Positioned transfers on the file's handle. Windows moves the handle's file
// pointer with them, which no caller relies on: the stdio buffer is unused.
uint64_t host_pread(std::FILE* fp, uint64_t offset, void* buf, uint64_t count) {
  if (count == 0) return 0;
  if (int f = fault_fd(host_op::read, _fileno(fp))) {
    errno = f;
    return failed_fd<uint64_t>(host_op::read, _fileno(fp), 0);
  }
  HANDLE h = handle_of(_fileno(fp));
  uint8_t* p = static_cast<uint8_t*>(buf);
  uint64_t done = 0;
  while (done < count) {
    OVERLAPPED at;
    std::memset(&at, 0, sizeof at);
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD piece = static_cast<DWORD>(std::min<uint64_t>(count - done, 1u << 30)), n = 0;
    if (!ReadFile(h, p + done, piece, &n, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      set_errno_from_last_error();
      return failed_fd(host_op::read, _fileno(fp), done);
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

uint64_t host_pwrite(std::FILE* fp, uint64_t offset, const void* buf, uint64_t count) {
  if (count == 0) return 0;
  if (int f = fault_fd(host_op::write, _fileno(fp))) {
    errno = f;
    return failed_fd<uint64_t>(host_op::write, _fileno(fp), 0);
  }
  HANDLE h = handle_of(_fileno(fp));
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  uint64_t done = 0;
  while (done < count) {
    OVERLAPPED at;
    std::memset(&at, 0, sizeof at);
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD piece = static_cast<DWORD>(std::min<uint64_t>(count - done, 1u << 30)), n = 0;
    if (!WriteFile(h, p + done, piece, &n, &at) || n == 0) {
      if (n == 0) errno = ENOSPC;
      set_errno_from_last_error();
      return failed_fd(host_op::write, _fileno(fp), done);
    }
    done += n;
  }
  return done;
}

// ---------------------------------------------------------------------------
// Descriptors

int host_open(const char* path, int flags, int mode) {
  DWORD access = 0;
  int crt = 0;
  switch (flags & 0x3) {
    case HOST_O_WRONLY:
      access = GENERIC_WRITE;
      crt = _O_WRONLY;
      break;
    case HOST_O_RDWR:
      access = GENERIC_READ | GENERIC_WRITE;
      crt = _O_RDWR;
      break;
    default:
      access = GENERIC_READ;
      crt = _O_RDONLY;
      break;
  }
  DWORD disposition = OPEN_EXISTING;
  bool create = (flags & HOST_O_CREAT) != 0, trunc = (flags & HOST_O_TRUNC) != 0;
  if (create && (flags & HOST_O_EXCL))
    disposition = CREATE_NEW;
  else if (create && trunc)
    disposition = CREATE_ALWAYS;
  else if (create)
    disposition = OPEN_ALWAYS;
  else if (trunc)
    disposition = TRUNCATE_EXISTING;
  // Of the permission bits the host keeps only whether the owner may write.
  DWORD attributes = (create && (mode & 0200) == 0) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
  if (flags & HOST_O_NOFOLLOW) attributes |= FILE_FLAG_OPEN_REPARSE_POINT;
  if (int f = fault(host_op::open, path)) {
    note_failure(host_op::open, f, path);
    errno = f;
    return -1;
  }
  int fd = -1;
  int pinned = host_internal::pinned_fd(path);
  if (pinned >= 0) {
    fd = open_pinned(pinned, trunc, crt);
  } else {
    std::wstring w;
    if (!resolved_path(path, &w)) return -1;
    fd = open_descriptor(w, access, disposition, attributes, crt);
  }
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
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  return stat_handle(h, st) ? 0 : -1;
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
    int n = _write(fd, p + done, static_cast<unsigned>(piece));
    if (n <= 0) {
      // A failed piece counts as -1, so that a failure never returns `count`.
      if (n == 0) errno = ENOSPC;
      return failed_fd(host_op::write, fd, static_cast<int64_t>(done) - 1);
    }
    // A short write is followed by one for the rest, which reports why.
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool host_lseek(int fd, uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return false;
  }
  return _lseeki64(fd, static_cast<int64_t>(offset), SEEK_SET) != -1;
}

// The runtime's _chsize_s grows a file by writing zeros through it; setting the
// end of file leaves the new range to the file system, which reads it as zeros
// and need not write it, so growing a volume to its full size costs nothing.
bool host_ftruncate(int fd, uint64_t length) {
  if (int f = fault_fd(host_op::resize, fd)) {
    errno = f;
    return failed_fd(host_op::resize, fd, false);
  }
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  if (length > static_cast<uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return false;
  }
  LARGE_INTEGER zero, here, end;
  zero.QuadPart = 0;
  end.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFilePointerEx(h, zero, &here, FILE_CURRENT) || !SetFilePointerEx(h, end, nullptr, FILE_BEGIN)) {
    set_errno_from_last_error();
    return false;
  }
  bool ok = SetEndOfFile(h) != 0;
  if (!ok) set_errno_from_last_error();
  // The descriptor's position stays where it was, as with ftruncate.
  int e = errno;
  SetFilePointerEx(h, here, nullptr, FILE_BEGIN);
  errno = e;
  return ok || failed_fd(host_op::resize, fd, false);
}

bool host_fsync(int fd) {
  if (int f = fault_fd(host_op::sync, fd)) {
    errno = f;
    return failed_fd(host_op::sync, fd, false);
  }
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  // Consoles and pipes have nothing to flush to storage; that is no failure.
  if (GetFileType(h) != FILE_TYPE_DISK) return true;
  if (!FlushFileBuffers(h)) {
    set_errno_from_last_error();
    return failed_fd(host_op::sync, fd, false);
  }
  return true;
}

int host_close(int fd) {
  host_internal::forget_fd(fd);
  return _close(fd);
}

int host_lock_file(const char* path, bool* created) {
  std::wstring w;
  if (!host_path(path, &w)) return -1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    *created = true;
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = CreateFileW(w.c_str(), GENERIC_READ, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
      *created = false;
      h = CreateFileW(w.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                      nullptr);
      if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) continue;
    }
    if (h == INVALID_HANDLE_VALUE) {
      // A file pending deletion by its holder cannot be opened: it is in use.
      errno = GetLastError() == ERROR_ACCESS_DENIED ? EAGAIN : errno_from_win32(GetLastError());
      return -1;
    }
    host_stat_t st;
    if (!stat_handle(h, &st) || st.type != DT_REG) {
      int e = st.type != DT_REG ? EEXIST : errno;
      CloseHandle(h);
      errno = e;
      return -1;
    }
    // Windows locks are mandatory for the range they cover, so the lock sits on one
    // byte far past any end of file: it excludes other lockers and no reader or writer.
    OVERLAPPED at;
    std::memset(&at, 0, sizeof at);
    at.OffsetHigh = 0x40000000u;  // byte 2^62
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      DWORD e = GetLastError();
      CloseHandle(h);
      errno = e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING ? EAGAIN : errno_from_win32(e);
      return -1;
    }
    if (names_handle(w.c_str(), h)) return descriptor_from_handle(h, _O_RDONLY);
    CloseHandle(h);
  }
  errno = EAGAIN;
  return -1;
}

// ---------------------------------------------------------------------------
// Time

int64_t host_time() { return static_cast<int64_t>(_time64(nullptr)); }

uint64_t host_internal::process_id() { return static_cast<uint64_t>(GetCurrentProcessId()); }

int32_t host_timezone_bias_minutes() {
  TIME_ZONE_INFORMATION tz;
  if (GetTimeZoneInformation(&tz) == TIME_ZONE_ID_INVALID) return 0;
  // Bias is UTC minus local time in minutes; the daylight-saving part is
  // kept apart in DaylightBias, and StandardBias is 0 in every zone Windows ships.
  return static_cast<int32_t>(tz.Bias);
}

// ---------------------------------------------------------------------------
// Names

int host_remove(const char* path) {
  if (int f = fault(host_op::remove, path)) {
    note_failure(host_op::remove, f, path);
    errno = f;
    return -1;
  }
  std::wstring w;
  if (!resolved_path(path, &w)) return -1;
  int pinned = host_internal::pinned_fd(path);
  if (pinned >= 0 && !names_handle(w.c_str(), handle_of(pinned))) {
    errno = ENOENT;  // the name no longer leads to this run's file
    return -1;
  }
  if (DeleteFileW(w.c_str())) return 0;
  DWORD e = GetLastError();
  if (e == ERROR_ACCESS_DENIED && is_directory(w)) {
    if (RemoveDirectoryW(w.c_str())) return 0;
    e = GetLastError();
  }
  errno = errno_from_win32(e);
  note_failure(host_op::remove, errno, path);
  return -1;
}

// No allocation: this runs from the interrupt handler and from the exit path.
void host_remove_raw(const char* path) {
  wchar_t w[4200];
  size_t n = narrow_to_wide(path, w, sizeof w / sizeof w[0]);
  if (n == 0) return;
  wchar_t full[4200] = L"\\\\?\\";
  const wchar_t* name = w;
  if (n >= MAX_PATH - 12) {
    DWORD m = GetFullPathNameW(w, static_cast<DWORD>(sizeof full / sizeof full[0] - 8), full + 4, nullptr);
    if (m == 0 || m >= sizeof full / sizeof full[0] - 8) return;
    name = full;
  }
  int pinned = host_internal::pinned_fd(path);
  if (pinned >= 0 && !names_handle(name, handle_of(pinned))) return;
  DeleteFileW(name);
}

bool host_rename_replace(const char* from, const char* to, bool* synced) {
  if (synced != nullptr) *synced = false;
  if (int f = fault(host_op::rename, from)) {
    note_failure(host_op::rename, f, to);
    errno = f;
    return false;
  }
  std::wstring wf, wt;
  if (!resolved_path(from, &wf) || !host_path(to, &wt)) return false;
  int pinned = host_internal::pinned_fd(from);
  if (pinned >= 0 && !names_handle(wf.c_str(), handle_of(pinned))) {
    errno = ENOENT;
    note_failure(host_op::rename, errno, from);
    return false;
  }
  // Written through: the move is on the disk when the call returns.
  if (!MoveFileExW(wf.c_str(), wt.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    set_errno_from_last_error();
    note_failure(host_op::rename, errno, to);
    return false;
  }
  if (synced != nullptr) *synced = true;
  return true;
}

bool host_realpath(const char* path, std::string* out) {
  std::wstring w;
  if (!resolved_path(path, &w)) return false;
  if (!exists(w)) {
    set_errno_from_last_error();
    return false;
  }
  DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) {
    set_errno_from_last_error();
    return false;
  }
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(w.c_str(), n, &full[0], nullptr);
  full.resize(n);
  if (full.compare(0, 8, L"\\\\?\\UNC\\") == 0)
    full = L"\\\\" + full.substr(8);
  else if (full.compare(0, 4, L"\\\\?\\") == 0)
    full = full.substr(4);
  *out = to_utf8(full.c_str());
  return true;
}

bool host_is_separator(char c) { return c == '/' || c == '\\'; }

bool host_symlink(const char* target, const char* path) {
  (void)target;
  (void)path;
  errno = ENOSYS;
  return false;
}

bool host_mkdir(const char* path) {
  std::wstring w;
  if (!resolved_path(path, &w)) return false;
  if (!CreateDirectoryW(w.c_str(), nullptr)) {
    set_errno_from_last_error();
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Errors

int host_errno() { return errno; }
void host_set_errno(int e) { errno = e; }
const char* host_strerror(int e) { return std::strerror(e); }

// ---------------------------------------------------------------------------
// Interrupts

namespace {

void (*g_interrupt_handler)() = nullptr;
volatile LONG g_interrupted = 0;
bool g_ctrl_c_ignored = false;

// Runs the handler once, whichever way the request came, then ends the
// process; a second request waits for the first to finish the job.
void interrupted() {
  if (InterlockedExchange(&g_interrupted, 1) == 0) {
    if (g_interrupt_handler != nullptr) g_interrupt_handler();
    static const char kText[] = "interrupted\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), kText, sizeof kText - 1, &written, nullptr);
    ExitProcess(1);
  }
  for (;;) Sleep(INFINITE);
}

// Ctrl-C and Ctrl-Break, the console window closing, log-off and shut-down
// arrive on a thread of their own.
BOOL WINAPI on_console_event(DWORD event) {
  // A process started with Ctrl-C ignored (a background job) keeps ignoring it.
  if (event == CTRL_C_EVENT && g_ctrl_c_ignored) return TRUE;
  interrupted();
  return TRUE;
}

extern "C" void volpack_on_signal(int sig) {
  (void)sig;
  interrupted();
}

}  // namespace

void host_on_interrupt(void (*handler)()) {
  g_interrupt_handler = handler;
  // A request ignored when the process started stays ignored.
  for (int sig : {SIGTERM, SIGINT, SIGBREAK}) {
    void (*old)(int) = signal(sig, volpack_on_signal);
    if (old == SIG_IGN) {
      signal(sig, SIG_IGN);
      if (sig == SIGINT) g_ctrl_c_ignored = true;
    }
  }
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

// ---------------------------------------------------------------------------
// Raw queries for the link emulation

int host_stat_raw(const char* path, host_stat_t* st) {
  std::wstring w;
  if (!host_path(path, &w)) return errno == EINVAL && path != nullptr ? HOST_RAW_BAD_NAME : -1;
  return stat_wide(w, st);
}

int host_open_read_raw(const char* path) {
  std::wstring w;
  if (!host_path(path, &w)) return -1;
  return open_descriptor(w, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, _O_RDONLY);
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
    int n = _read(fd, p + done, static_cast<unsigned>(piece));
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(done);
}

// ---------------------------------------------------------------------------
// Process

uint32_t host_thread_id() { return static_cast<uint32_t>(GetCurrentThreadId()); }

std::string host_program_name() {
  std::wstring buf(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, &buf[0], static_cast<DWORD>(buf.size()));
  if (n == 0 || n >= buf.size()) return "<unspecified>";
  buf.resize(n);
  size_t cut = buf.find_last_of(L"\\/");
  return to_utf8(buf.c_str() + (cut == std::wstring::npos ? 0 : cut + 1));
}

void host_yield() {
  if (!SwitchToThread()) Sleep(0);
}

std::vector<std::string> host_command_line(int argc, char** argv) {
  std::vector<std::string> args;
  int n = 0;
  wchar_t** wargv = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wargv != nullptr && n == argc) {
    for (int i = 0; i < n; ++i) args.push_back(to_utf8(wargv[i]));
  } else {
    // The runtime parsed the line otherwise: keep its texts, in UTF-8.
    for (int i = 0; i < argc; ++i) {
      std::wstring w;
      args.push_back(to_wide(argv[i], &w) ? to_utf8(w.c_str()) : std::string(argv[i]));
    }
  }
  if (wargv != nullptr) LocalFree(wargv);
  return args;
}

bool host_is_terminal(std::FILE* fp) {
  // _isatty also says yes for the NUL device; only a console has a console mode.
  if (fp == nullptr) return false;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(fp)));
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

}  // namespace volpack
