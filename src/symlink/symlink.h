// Emulated symbolic links on hosts whose file systems cannot hold real ones.
//
// A tree prepared on such a host stands in for a link with a small file: one
// whose whole content is the target path (a "one-liner"), or a file in the
// "!<symlink>" format. `follow_symlinks_with` resolves a host path through such
// files, component by component, so that the host layer reaches the real
// targets. The settings come from the value of the environment variable
// VELLORA_FOLLOWSYMLINKS, read when a caller asks for them: absent, or a value
// starting with '1', 't' or 'T', turns the resolution on; anything else turns
// it off. An optional ":LEVEL[:FILE]" suffix sets the trace level and file.
//
// Nothing here is wired in by default. A caller that wants host paths resolved
// installs an `emulated_links` object as the host layer's path hook
// (io/host_fs.h); volpack installs none, so its paths reach the host verbatim.
// Any thread may resolve; a result is either the caller's own text or a
// per-thread buffer valid until the next resolution on the same thread.
//
// Failure: resolution never ends the process. Exhausted memory, a short read
// of a file under test, a long path that cannot be put in wide form and a
// cycle of links give a failed status whose text is
// "SYMLINK EMULATION CODE: prog[tid]: FUNC line N: fatal: " and the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/host_fs.h"
#include "io/run_context.h"
#include "io/status.h"

namespace volpack {

// The switch and trace settings.
struct symlink_settings {
  bool enabled = true;
  int trace_level = 0;
  std::string trace_file = "SYMLINKS-DEBUG.txt";
  std::string program_name = "<unspecified>";
  // Receives the trace lines that cannot go to the trace file (as info lines)
  // and, through `emulated_links`, the failures (as error lines). Borrowed;
  // null drops them.
  reporter_t* reporter = nullptr;
};
// The settings a value of the variable gives (null: the variable is absent).
symlink_settings parse_symlink_switch(const char* value);
// The settings the process environment gives now.
symlink_settings symlink_settings_from_environment();

// The path to use for `path` under `settings`: unchanged when the resolution
// is off, else resolved through emulated link files.
[[nodiscard]] result<const char*> follow_symlinks_with(const char* path, const symlink_settings& settings);

// The resolution as a host path hook. Its settings are fixed when it is made:
// a later change of the environment has no effect. A failure is reported once
// to the settings' reporter, then returned (the host operation fails with its
// error number).
class emulated_links final : public host_path_hook {
 public:
  explicit emulated_links(symlink_settings settings) : settings_(std::move(settings)) {}
  result<const char*> resolve(const char* path) override;
  const symlink_settings& settings() const { return settings_; }

 private:
  symlink_settings settings_;
};

// Writes one trace line, "SYMLINK DEBUG: prog[tid]: FUNC line N: " and the
// message, when the trace level is above `above`: to the trace file (opened
// for appending around every line) or, when it cannot be opened, to the
// settings' reporter. `func` carries its parentheses ("follow_symlinks()").
void symlink_trace(const symlink_settings& settings, int above, const char* func, unsigned line,
                   const char* fmt, ...) VOLPACK_PRINTF(5, 6);

// The failure "SYMLINK EMULATION CODE: prog[tid]: FUNC line N: fatal: " and the
// reason; `os_error` is the error number a host operation fails with.
status symlink_failure(const symlink_settings& settings, const char* func, unsigned line, int os_error,
                       const char* fmt, ...) VOLPACK_PRINTF(5, 6);

// ---------------------------------------------------------------------------
// The resolution, with the switch on.
//
// A path is normalised ("\\?\" dropped, '\\' turned into '/'), split into
// components and rebuilt one component at a time; every prefix is examined
// (once per process: the item cache never forgets) and a prefix that is a link
// file is replaced by its target, relative to the link's folder unless the
// target starts with a drive ("C:"). The result keeps a leading separator
// ("//" for a network path), drops "." and cancels "name/..", keeps a trailing
// separator. Paths that cannot be examined, dead ends (a link file without a
// usable target in the middle of a path) and paths of 1024 bytes or more come
// back unchanged: the host operation that follows reports the failure. More
// than kMaxLinkSubstitutions substitutions in one resolution (a cycle) fail
// with "too many levels of symbolic links" (error number ELOOP).
[[nodiscard]] result<const char*> resolve_emulated_links(const char* path, const symlink_settings& settings);

// Longest path text the per-thread buffers hold, terminator included.
constexpr size_t kSymlinkPathBuffer = 1024;
// Sizes a link file may have.
constexpr uint64_t kEmulatedLinkMinSize = 1;
constexpr uint64_t kEmulatedLinkMaxSize = 2061;
constexpr int kMaxLinkSubstitutions = 64;

// One component of a split path: a view into some text that outlives it.
struct path_slot {
  const char* text;
  size_t length;
};

// The split form of a path. `text` and `length` are set by the caller;
// pathname_split fills the rest.
struct path_info {
  const char* text = nullptr;
  size_t length = 0;
  std::vector<path_slot> slots;  // grows in steps of 16; never "." or empty
  bool drive_qualified = false;     // the first component is "X:"
  bool trailing_separator = false;  // longer than one byte, ends in '/' or '\\'
  size_t leading_separators = 0;    // separators kept before the first component: 0, 1, or 2
};

// Splits `info->text`; with `hash` set, also returns the path hash (h = h * 101
// + c over every byte taken as signed, 32-bit wrap-around).
// Fails only when memory runs out.
[[nodiscard]] status pathname_split(const symlink_settings& settings, path_info* info, uint32_t* hash);

// One examined path. Items are never changed or removed once added.
struct fsitem {
  uint32_t hash = 0;
  std::string path;
  bool cannot_query = false;  // the host could not stat or open it
  bool is_link = false;       // a regular file that passed every link test
  std::string target_text;    // empty when the file holds no usable target
  path_info target;           // its slots point into target_text
};

// The process-wide item cache is guarded by one lock; waiters yield the
// processor. The resolution holds it from its cache lookup to its return;
// whoever calls fsitem_peekandcache directly must hold it too.
class symlink_cache_lock {
 public:
  symlink_cache_lock();
  ~symlink_cache_lock();
  symlink_cache_lock(const symlink_cache_lock&) = delete;
  symlink_cache_lock& operator=(const symlink_cache_lock&) = delete;
};

// The cache item for `path`, examining the host the first time the path is
// seen. The item lives for the rest of the process. Fails when memory runs
// out, when a file under test cannot be read in full, or when a long path has
// no wide form.
[[nodiscard]] result<const fsitem*> fsitem_peekandcache(const symlink_settings& settings, const char* path);

}  // namespace volpack
