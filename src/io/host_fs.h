// The host layer: every call volpack makes into the operating system's file
// system, clock and process services.
//
// One POSIX-shaped surface, met by host_fs_posix.cpp on Linux and macOS and by
// host_fs_win32.cpp on 64-bit Windows (CMake builds exactly one of them). No
// other file includes an OS header or calls the host's file API. A caller that
// wants paths redirected (the emulated link files of symlink/symlink.h) installs
// a `host_path_hook`; every operation that takes a path then hands it to the
// hook first. None is installed by default, and volpack installs none: every
// path reaches the host unchanged.
//
// Texts are UTF-8 on every host: paths given and names found. POSIX hosts pass
// bytes through; the Windows layer converts to and from UTF-16 and uses the
// wide calls (a path that is not valid UTF-8 is read in the active code page),
// so one file name gives one volume name everywhere. '/' and '\\' both
// separate components on Windows.
//
// Failures are reported through results and the host error number
// (`host_errno`); nothing here prints or ends the process. The failure of a
// transfer, sync, resize, rename or enumeration on a named file is also kept
// with the file's path (`host_take_failure`), so that the message users see can
// name the file and the host's reason. Tests can make any of these operations
// fail on purpose (`host_set_fault_hook`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "io/status.h"

namespace volpack {

// Entry types reported by host_readdir. A directory is DT_DIR and a regular
// file DT_REG; a host symbolic link is DT_LNK and is never followed; FIFOs,
// sockets and devices get their own values so that callers never open them.
constexpr uint8_t DT_UNKNOWN = 0;
constexpr uint8_t DT_FIFO = 1;
constexpr uint8_t DT_CHR = 2;
constexpr uint8_t DT_DIR = 4;
constexpr uint8_t DT_BLK = 6;
constexpr uint8_t DT_REG = 8;
constexpr uint8_t DT_LNK = 10;
constexpr uint8_t DT_SOCK = 12;

struct host_dirent {
  uint8_t d_type = DT_UNKNOWN;
  const char* d_name = nullptr;  // valid until the next host_readdir on the handle
};

struct host_dir;  // opaque enumeration state

// Opens an enumeration of `path` ("." and ".." included, host order). A path
// ending in '/' or '\\' gets "*" appended to its search pattern, any other
// "/*". Null with host_errno set (EINVAL for an empty path) on failure.
host_dir* host_opendir(const char* path);
// The next entry, or null at the end or on error. The first call returns the
// entry found when the enumeration was opened. At the end host_errno() is 0;
// after an error it holds the error, and so does host_dir_error.
host_dirent* host_readdir(host_dir* dir);
// 0 while the enumeration has met no error, else the error that ended it.
// Callers check it after the last entry: a folder read to an error is not a
// folder read to its end.
int host_dir_error(const host_dir* dir);
// 0, or -1 with EBADF for a null handle.
int host_closedir(host_dir* dir);

// What volpack reads of a file's status.
struct host_stat_t {
  uint64_t size = 0;        // bytes (for a link: the length of its target)
  uint8_t type = DT_UNKNOWN;
  bool owner_exec = false;  // the owner may execute it (always false on Windows)
  uint64_t device = 0;      // with inode: identifies the file (0 where unknown)
  uint64_t inode = 0;
  int64_t mtime_ns = 0;     // last modification, nanoseconds since 1970 (host resolution)
};

// Follows host links. 0 on success, -1 with host_errno set.
int host_stat(const char* path, host_stat_t* st);
// Does not follow a final host link.
int host_lstat(const char* path, host_stat_t* st);
// The target text of a host symbolic link; false when `path` is none.
bool host_readlink(const char* path, std::string* target);

// Buffered files, always untranslated (binary). Null on failure.
std::FILE* host_fopen(const char* path, const char* mode);
// Opens an input file for reading without waiting and without following a
// final host link, and checks on the open file that it is a regular file (a
// FIFO or device swapped in after the file was listed fails with ENXIO rather
// than blocking the caller). `st` receives the open file's status.
std::FILE* host_fopen_input(const char* path, host_stat_t* st);
// Sequential transfers and close on a buffered file, through this layer so
// that failures keep the file's path: the number of bytes moved.
uint64_t host_fread(std::FILE* fp, void* buf, uint64_t count);
uint64_t host_fwrite(std::FILE* fp, const void* buf, uint64_t count);
int host_fclose(std::FILE* fp);  // 0, or EOF when buffered data could not be written
// The status of an open buffered file (0, or -1 with host_errno set).
int host_fstat_file(std::FILE* fp, host_stat_t* st);
bool host_fseek64(std::FILE* fp, uint64_t offset);  // from the start
int64_t host_ftell64(std::FILE* fp);                 // -1 on failure
// Flushes the file's buffers to the host and to stable storage.
bool host_fflush_sync(std::FILE* fp);
// Positioned transfers on an open file, bypassing its stdio buffer (which the
// caller must not use alongside them): the number of bytes moved, short at
// end of file or on error.
uint64_t host_pread(std::FILE* fp, uint64_t offset, void* buf, uint64_t count);
uint64_t host_pwrite(std::FILE* fp, uint64_t offset, const void* buf, uint64_t count);

// Descriptors. Flags combine these values; creation uses `mode` (0644 style).
constexpr int HOST_O_RDONLY = 0x0;
constexpr int HOST_O_WRONLY = 0x1;
constexpr int HOST_O_RDWR = 0x2;
constexpr int HOST_O_CREAT = 0x100;
constexpr int HOST_O_EXCL = 0x200;
constexpr int HOST_O_TRUNC = 0x400;
constexpr int HOST_O_NOFOLLOW = 0x800;  // a final host link is not followed: the open fails
int host_open(const char* path, int flags, int mode);
int host_fstat(int fd, host_stat_t* st);  // 0, negative on failure
// Writes in pieces of at most 2^31 - 1 bytes; returns `count` on success and
// any other value on failure.
int64_t host_write_all(int fd, const void* buf, uint64_t count);
bool host_lseek(int fd, uint64_t offset);   // from the start
bool host_ftruncate(int fd, uint64_t length);
bool host_fsync(int fd);
int host_close(int fd);
// Takes an exclusive advisory lock on the open file without waiting; false
// when another process holds it.
bool host_try_lock(int fd);

// The run's own files.
//
// `host_sibling_path` names a file beside `path` (in its folder): the last
// component followed by `tail`, the component's own part shortened (at a
// character boundary, with a hash of the whole name so that names stay apart)
// when the result would pass 255 bytes, the limit of one component.
std::string host_sibling_path(const char* path, const std::string& tail);
// Creates a new file beside `path` for reading and writing, named
// host_sibling_path(path, "." + unique + suffix) with a part unique to this
// process and call and unpredictable to others. Exclusive: an existing file or
// link of that name is never opened (another name is tried). -1 with
// host_errno set; else the descriptor, and `*created` holds the name.
int host_create_unique(const char* path, const char* suffix, std::string* created);
// Opens `path`, creating it when missing (`*created` tells), and locks it for
// this process without waiting. Never follows a final link, never opens a
// file that is not regular, never truncates or writes it; checks after locking
// that the name still leads to the locked file, so that a lock file removed by
// its previous holder is never shared. -1 with EAGAIN when another process
// holds the lock, another error number when it cannot be opened.
int host_lock_file(const char* path, bool* created);

// Binds a name to an open file of this run: from now on host_open and
// host_fopen of exactly `path` open the file `fd` refers to (a duplicate
// descriptor at offset 0; truncated when the mode or flags ask for it) instead
// of whatever the name leads to, and host_remove, host_remove_raw and
// host_rename_replace act on the name only while it still leads to that file.
// So the layers that open files by name (the formatter, the volume, the image
// writer) reopen exactly the files the run created. `fd` stays owned by the
// caller and must stay open until host_unpin. At most 8 names at a time.
bool host_pin(const char* path, int fd);
void host_unpin(const char* path);

// Seconds since 1970-01-01 UTC.
int64_t host_time();
// UTC minus local standard time, in minutes, without any daylight-saving part.
int32_t host_timezone_bias_minutes();
// A value unlike any other this call gives, in this process or in another
// started at the same moment: the system's random source mixed with the
// clock's finest count, the process ID and a counter.
uint64_t host_random_u64();

int host_remove(const char* path);
// Removes without resolving emulated links; safe in an interrupt handler.
void host_remove_raw(const char* path);
// Moves `from` over `to`, replacing an existing file atomically where the
// host can, and makes the move durable: the folder of `to` is synced (on
// Windows the move is written through). False when the move fails; when only
// the folder's sync fails the move stands, the result is true and
// `*synced` (when given) is false.
bool host_rename_replace(const char* from, const char* to, bool* synced = nullptr);
// The absolute path of an existing folder or file with every ".", ".." and
// host link resolved (Windows: the full path). False with host_errno set.
bool host_realpath(const char* path, std::string* out);
// True for the characters that separate path components: '/' everywhere,
// and '\\' on Windows too.
bool host_is_separator(char c);
bool host_mkdir(const char* path);
// Creates a symbolic link at `path` holding `target`. Windows: false with
// errno ENOSYS (links there need privileges; callers write a link file).
bool host_symlink(const char* target, const char* path);

// The error number left by the last failed host call, and its text.
int host_errno();
void host_set_errno(int e);
const char* host_strerror(int e);

// Calls `handler` once on an interrupt, termination or hang-up request, prints
// "interrupted" on standard error, then ends the process with status 1 (130 is
// not used: every failure exits 1). Requests that were ignored when the process
// started (`nohup`, a shell's background job) stay ignored. Writing past the
// caller's file-size limit never ends the process: the write fails with EFBIG.
void host_on_interrupt(void (*handler)());

// Faults on purpose, for tests. The operations of this layer that move data
// or change names, by kind:
enum class host_op : uint8_t {
  open,     // host_open, host_fopen, host_fopen_input, host_create_unique
  read,     // host_pread, host_fread, host_read_all
  write,    // host_pwrite, host_fwrite, host_write_all, host_fclose's flush
  resize,   // host_ftruncate
  sync,     // host_fsync, host_fflush_sync, the folder sync of a rename
  readdir,  // host_readdir
  rename,   // host_rename_replace
  remove,   // host_remove
};
constexpr int kHostOpKinds = 8;
const char* host_op_name(host_op op);  // "open", "read", ...
// When set, `hook` is called before every operation of the kinds above (from
// any thread) with the path of the file or folder (null when this layer does
// not know it); a non-zero result makes the operation fail with that error
// number as the host would report it, without doing it. The hook may also act
// on the file first, as another process might. Null removes it.
using host_fault_hook = int (*)(host_op op, const char* path, void* user);
void host_set_fault_hook(host_fault_hook hook, void* user);

// The last failure of an operation above on a file whose path this layer
// knows, taken once: false when there is none (or it was taken already).
struct host_failure {
  host_op op = host_op::open;
  int error = 0;
  std::string path;
};
bool host_take_failure(host_failure* out);
// Forgets a failure that its caller has handled.
void host_clear_failure();

// Redirects host paths before every operation above that takes one. `resolve`
// returns the path to use (the caller's text or storage of the hook's own that
// stays valid on the calling thread until its next call), or a failed status:
// the operation then fails with the status's error number (EIO when it has
// none) and the hook is expected to have reported why.
class host_path_hook {
 public:
  virtual ~host_path_hook() = default;
  virtual result<const char*> resolve(const char* path) = 0;
};
// Installs `hook` (borrowed; null removes it). Install before any thread uses
// the host layer and keep the hook alive while it is installed.
void host_install_path_hook(host_path_hook* hook);
// `path` as the installed hook resolves it (unchanged when there is none); null
// with host_errno set when the hook fails. A null path stays null.
const char* host_hooked_path(const char* path);

// Raw queries for the symlink emulation. Unlike everything above they never
// pass the path through the hook (the resolver itself calls them, so going
// through it would recurse), and they are safe to call from any thread.
// A Windows host answers long paths through their wide "\\?\" form; there as
// everywhere in this layer paths are UTF-8 (or, failing that, the active code
// page).
//
// Status of `path` (following host links): 0, or -1 with host_errno set, or
// HOST_RAW_BAD_NAME when a long path cannot be put into its wide form (never on
// POSIX hosts).
constexpr int HOST_RAW_BAD_NAME = -2;
int host_stat_raw(const char* path, host_stat_t* st);
// Opens `path` for reading, untranslated, letting other processes read, write
// and delete it meanwhile. A descriptor for host_read_all and host_close, or -1.
int host_open_read_raw(const char* path);
// Reads until `count` bytes have arrived or the file ends; returns the number
// read, or -1 with host_errno set on a read error.
int64_t host_read_all(int fd, void* buf, uint64_t count);
// Converts UTF-16 text (host-order units, no terminator) into the narrow
// encoding of this layer, UTF-8 on every host; an unpaired surrogate becomes
// U+FFFD. False when the host cannot convert it.
bool host_narrow_from_utf16(const char16_t* units, size_t count, std::string* out);

// The calling thread's ID and the program's file name, for trace lines.
uint32_t host_thread_id();
std::string host_program_name();
// Gives the processor to another thread.
void host_yield();

// The command line as UTF-8 texts, the program first. POSIX hosts pass argv
// through; Windows rebuilds it from the UTF-16 command line, since the
// runtime's argv holds it in the active code page.
std::vector<std::string> host_command_line(int argc, char** argv);

// True when the open stream is an interactive terminal (a console on Windows;
// not a file, a pipe or the null device).
bool host_is_terminal(std::FILE* fp);

// Formats into a new text; -1 and an empty `out` on failure.
int asprintf(std::string* out, const char* fmt, ...) VOLPACK_PRINTF(2, 3);

}  // namespace volpack
