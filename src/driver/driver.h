// The command-line driver: `volpack <outfile.dmg> <pathname to app dir> [-v] [--link-files=MODE]`,
// `volpack --help` and `volpack --version`.
//
// `volpack_main` runs the whole job on one thread, one phase after another:
// it measures the directory, formats an HFS+ volume into the scratch file
// "<outfile>.hfs", imports the tree, converts the volume into a compressed
// UDIF image and removes the scratch file. It builds the run's context
// (options, reporter, identifier source, clock, files to skip) and hands it
// down. The driver is the only layer that prints a fatal message and the only
// one that picks the exit status: 0 on success, 1 on every failure. Either way
// no scratch file and no half-written image is left behind, and an existing
// image of the same name survives a failed run. Paths are used verbatim: no
// link resolver is installed into the host layer. With SOURCE_DATE_EPOCH set
// the image depends on the input tree and that time only (driver/reproducible.h).
//
// The pieces below are exposed for the tests.
#pragma once

#include <cstdint>
#include <string>

#include "io/run_context.h"

namespace volpack {

int volpack_main(int argc, char** argv);

// What a run draws on instead of the host: null members take the host's own
// (standard output and error, the clock, its random source). Tests give their
// own to see every line and to fix the identifiers and dates the layers take
// from the run context (the volume's identifier and dates from the formatter,
// the records' dates from the importer, then the image's segment ID).
// `source_date_epoch` is the value of SOURCE_DATE_EPOCH (null when unset;
// volpack_main reads the environment): when set, it must be a valid time,
// which then replaces the clock, and unless `ids` is given the identifiers
// derive from the input (driver/reproducible.h). An invalid value stops the
// run with status 1 before any file is made.
struct run_sources {
  reporter_t* reporter = nullptr;
  id_source_t* ids = nullptr;
  time_source_t* clock = nullptr;
  const char* source_date_epoch = nullptr;
  unsigned compression_threads = 0;  // 0: as many as the machine has cores
};
int volpack_run(int argc, char** argv, const run_sources& sources);

struct command_line {
  bool help = false;     // "-h" or "--help": print the usage text and exit 0
  bool version = false;  // "--version": print the versions and exit 0
  bool ok = false;       // false (and neither of the above): print the usage text and exit 1
  bool verbose = false;
  link_files_mode link_files = link_files_mode::tree;  // --link-files=tree|all|none
  std::string output;
  std::string source;
};
command_line parse_command_line(int argc, char** argv);
// The usage text: what the program is, its command line with one line per
// option, an example and the input conventions.
extern const char kUsageText[];

// The measured size plus 10 %, raised to a multiple of 512.
uint64_t volume_size_from_measure(uint64_t measure);

struct tree_census;
// The size of the volume to format for a tree: never below the measured size
// rule above, nor below the smallest volume the formatter accepts (523,776
// bytes), and large enough that the tree always fits: data in whole 4096-byte
// blocks, the catalog's records at their real size in half-full nodes, the
// B-tree files growing by whole clumps, the allocation file, and 10 % on top.
// At 512 GiB and above the device is kept a whole number of 4 KiB.
uint64_t volume_size_for_tree(uint64_t measure, const tree_census& census);

// The last component of `path` (trailing '/' and '\\' ignored) into `*name`;
// false (errno ENAMETOOLONG) when it is 1024 bytes or longer.
bool volume_name_from_path(const char* path, std::string* name);

}  // namespace volpack
