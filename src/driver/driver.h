// The command-line driver: `volpack <outfile.dmg> <pathname to app dir> [-v] [--link-files=MODE]`.
//
// `volpack_main` runs the whole job on one thread: it switches emulated-link
// resolution off, measures the directory, formats an HFS+ volume into the
// scratch file "<outfile>.hfs", imports the tree, converts the volume into a
// compressed UDIF image and removes the scratch file. It returns the exit
// status (0 on success, 1 on every failure); failures deep inside the lower
// layers end the process themselves with status 1. Either way no scratch file
// and no half-written image is left behind, and an existing image of the same
// name survives a failed run.
//
// The pieces below are exposed for the tests.
#pragma once

#include <cstdint>
#include <string>

#include "io/run_context.h"

namespace volpack {

// Set by "-v"; read by the driver (the importer reads the run context). Verbose lines go to standard output.
extern bool verbose;

int volpack_main(int argc, char** argv);

struct command_line {
  bool ok = false;  // false: print the usage text and exit 1
  bool verbose = false;
  link_files_mode link_files = link_files_mode::tree;  // --link-files=tree|all|none
  std::string output;
  std::string source;
};
command_line parse_command_line(int argc, char** argv);
void print_usage();

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

// The last component of `path` (trailing '/' and '\\' ignored), in a buffer
// shared by all calls; null (errno ENAMETOOLONG) when it does not fit.
const char* volume_name_from_path(const char* path);

}  // namespace volpack
