// The files one run makes beside its output, and how they end.
//
// Before any work the run checks the output (an existing output must be a
// regular file; it must not lie inside the source folder, which would pack
// the run's own files and earlier images into the next image), takes the
// output's lock and creates its two temporaries: the scratch volume and the
// image being written. Both are new files under names unique to the run
// ("<output>.<unique>.hfs", "<output>.<unique>.volpack-part", shortened to
// fit 255 bytes), created exclusively so that nothing planted at those names
// is ever opened or followed, and bound to their descriptors (host_pin): every
// later open by name reaches exactly the file the run created, and they are
// removed only while their names still lead to it.
//
// The lock "<output>.volpack-lock" is held for the whole run, so that a second
// run writing the same output stops at once; it is removed at the end when
// this run created it.
//
// On success the image is synced, the scratch volume removed, the image
// renamed over the output and the folder synced; a failure before the rename
// leaves any earlier image untouched and removes the run's files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/run_context.h"

namespace volpack {

struct run_files {
  std::string output;
  std::string lock, scratch, temp;  // paths, empty until made
  int lock_fd = -1, scratch_fd = -1, temp_fd = -1;
  bool lock_created = false;
};

// Checks the output and creates the run's files, adding them to `skip` (the
// files the import never takes in). A failed status carries the message (the
// run's files made so far are registered for removal).
status run_files_open(run_files* f, const std::string& output, const std::string& source,
                      std::vector<host_file_id>* skip);
// Gives the scratch file its size before the formatter writes it, so that a
// size the host refuses is reported as such (path and reason).
status run_files_size_scratch(const run_files& f, uint64_t bytes);
// Syncs the complete image, removes the scratch volume and moves the image
// over the output (a folder that cannot be synced is a warning). A failed
// status carries the message; the output is then as it was.
status run_files_commit(run_files* f, const run_context& ctx);
// Removes what the run made (only files it created) and releases the lock.
void run_files_abandon(run_files* f);

}  // namespace volpack
