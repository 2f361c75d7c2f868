// Directory import: a host directory tree becomes the contents of a folder of
// an open HFS+ volume, and the census that sizes the volume beforehand.
//
// `census_directory` walks the tree once and counts what the volume must
// hold; its `measure` is 512 bytes per entry plus each entry's size rounded
// up to 512 (host links count as the small files they are and are never
// followed). It returns false at the first failure, leaving the host error
// number of the failing call and the path that could not be read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/run_context.h"
#include "io/status.h"

namespace volpack {

// What the volume must hold for a tree, counted in the units the volume
// allocates: whole 4096-byte blocks of data and catalog records whose size
// depends on the names. Host links are counted as links and never followed.
struct tree_census {
  uint64_t files = 0;        // regular files and emulated link files
  uint64_t folders = 0;      // subfolders at any depth
  uint64_t links = 0;        // host symbolic links
  uint64_t others = 0;       // FIFOs, sockets, devices (skipped by the import)
  uint64_t data_blocks = 0;  // sum over files and links of ceil(size / 4096)
  uint64_t data_bytes = 0;   // sum of the regular files' sizes
  uint64_t name_bytes = 0;   // sum of the entries' host name lengths
  uint64_t measure = 0;      // 512 per entry plus its size rounded up to 512 (see above)
  std::string failed_path;   // after a failure: the path that could not be read
  progress_t* progress = nullptr;  // when set, advanced by one for each entry counted
};
[[nodiscard]] bool census_directory(const char* path, tree_census* census);

// True when the first four bytes mark a file to be made executable: "#!", or
// a thin little-endian Mach-O (CE FA ED FE, CF FA ED FE) or universal Mach-O
// (CA FE BA BE, CA FE BA BF) magic number.
bool is_executable_magic(const uint8_t* first4, uint64_t got);

class stream_t;
struct volume_t;
struct host_stat_t;

// What a host entry becomes on the volume.
enum class entry_kind {
  file,        // a regular file, mode 0644
  executable,  // a regular file, mode 0755
  link,        // a symbolic link to `target`
  folder,
  skipped,     // not taken in (FIFOs, sockets, devices; the run's own files)
};
struct entry_plan {
  entry_kind kind = entry_kind::skipped;
  std::string target;   // link: the text the link holds
  std::string warning;  // a "WARNING: ..." line (with its line end) to show, or empty
};

// The import's rules for one host entry, for the import itself and for
// anything that checks an image against its tree: `relative` is the entry's
// path below `tree_root` ('/'-separated), `skip` the files never taken in.
// It reads the host tree and changes nothing. Rules:
// - a host link is a link holding its own target (never followed);
// - a regular file is executable when it starts with "#!" or a Mach-O magic
//   number, or its owner may execute it;
// - otherwise a one-line link file (`is_oneliner_symlink`) of at most 1,023
//   bytes is a link to its text: with `link_files_mode::all` always, with
//   `tree` when the text is absolute ('/', '\\' or a drive letter) or names an
//   entry of the tree, resolved from the file's folder ('/' and '\\' both
//   separate, "." and ".." step, link files and host links on the way are
//   followed, at most 32 of them, never leaving the tree); with `none` never.
//   Under `tree` and `all`, a one-line file that does not become a link (its
//   text too long, or not in the tree) is a file and carries a warning.
// Fails, with the message naming the host path, when the entry cannot be read.
[[nodiscard]] result<entry_plan> plan_host_entry(const std::string& tree_root, const std::string& relative,
                                                 link_files_mode mode, const std::vector<host_file_id>& skip);

// Copies the host directory `host_dir` into the volume folder `volume_path`
// ("/" for the root): folders, file data, links and executables as
// `plan_host_entry` decides, the volume icon. Each folder's entries are taken
// in the bytewise order of their names, whatever order the host lists them
// in, so new IDs and the catalog's layout follow from the tree alone. When
// `ctx.input_digest` is set, each entry taken in is added to it in that
// order: kind, permission bits, size and volume path, then its bytes (a
// file's data as it is copied, a link's target). Within one folder no two
// entries may be one name on the volume (letter case, Unicode form and
// ignorable characters aside): the second is refused, naming both host
// paths. Verbose lines (with `ctx.options.verbose`) and warnings go to
// `ctx.reporter`. On failure the status carries the message for the user;
// the volume is then unfinished and is to be discarded.
[[nodiscard]] status volume_add_dir_contents_recursive(const run_context& ctx, volume_t* volume,
                                                       const char* host_dir, const char* volume_path);

// The largest file taken as a one-line link file.
constexpr uint64_t kMaxLinkFileSize = 2061;
// The longest text a link on the volume holds.
constexpr uint64_t kMaxLinkTargetSize = 1023;
// True when the open file (positioned at 0) is a one-line link file: 1 to
// 2,061 bytes, not starting with white space, '#', a byte-order mark or a
// comment opener, and holding no byte that Windows forbids in names (control
// characters, '"', '*', ':', '<', '>', '?', '|', DEL), except a drive letter's
// colon at index 1. The stream is moved back to 0.
bool is_oneliner_symlink(stream_t* s);
// The same test on a file's whole content, `n` bytes at `text`.
bool is_oneliner_text(const uint8_t* text, uint64_t n);

}  // namespace volpack
