// Directory import: a host directory tree becomes the contents of a folder of
// an open HFS+ volume, and the measurement that sizes the volume beforehand.
//
// `compute_directory_size` walks the tree and adds, into the caller's counter,
// 512 bytes per entry plus each file's size rounded up to 512 (host links
// count as the small files they are and are never followed). It returns false
// at the first failure, leaving the host error number of the failing call.
#pragma once

#include <cstdint>
#include <string>

namespace volpack {

[[nodiscard]] bool compute_directory_size(const char* path, uint64_t* counter);

// What the volume must hold for a tree, counted in the units the volume
// allocates: whole 4096-byte blocks of data and catalog records whose size
// depends on the names. Host links are counted as links and never followed.
struct tree_census {
  uint64_t files = 0;        // regular files and emulated link files
  uint64_t folders = 0;      // subfolders at any depth
  uint64_t links = 0;        // host symbolic links
  uint64_t others = 0;       // FIFOs, sockets, devices (skipped by the import)
  uint64_t data_blocks = 0;  // sum over files and links of ceil(size / 4096)
  uint64_t name_bytes = 0;   // sum of the entries' host name lengths
  std::string failed_path;   // after a failure: the path that could not be read
};
[[nodiscard]] bool census_directory(const char* path, tree_census* census);

// True when the first four bytes mark a file to be made executable: "#!", or
// a thin little-endian Mach-O (CE FA ED FE, CF FA ED FE) or universal Mach-O
// (CA FE BA BE, CA FE BA BF) magic number.
bool is_executable_magic(const uint8_t* first4, uint64_t got);

class stream_t;
struct volume_t;
struct host_stat_t;

// Copies the host directory `host_dir` into the volume folder `volume_path`
// ("/" for the root): folders, file data, one-line link files and host links
// as symbolic links, executables with mode 0755, the volume icon. Verbose
// lines go to standard output. False, after one message naming the host path
// on standard error, when an entry cannot be imported; some failures of the
// layers below end the process.
[[nodiscard]] bool volume_add_dir_contents_recursive(volume_t* volume, const char* host_dir,
                                                     const char* volume_path);

// Host files the import must never take in (the run's own scratch volume and
// temporary image, when the output lies inside the source folder).
void import_skip_host_file(const host_stat_t& st);
// The largest file taken as a one-line link file.
constexpr uint64_t kMaxLinkFileSize = 2061;
// True when the open file (positioned at 0) is a one-line link file: 1 to
// 2,061 bytes, not starting with white space, '#', a byte-order mark or a
// comment opener, and holding no byte that Windows forbids in names (control
// characters, '"', '*', ':', '<', '>', '?', '|', DEL), except a drive letter's
// colon at index 1. The stream is moved back to 0.
bool is_oneliner_symlink(stream_t* s);

}  // namespace volpack
