// The run context: what one packaging run hands down to every layer instead
// of process-wide state.
//
// The driver builds one `run_context` per run and passes it (by reference) to
// the importer, the formatter and the image writer. It holds:
// - `options`: what the command line chose (verbose lines, the link-file rule);
// - `reporter`: where layers send info, warning and error lines. Layers never
//   write to standard output or standard error themselves;
// - `ids` and `clock`: the source of identifiers and of the current time, so
//   that tests (and reproducible runs) can fix them;
// - `input_digest`: when set, the importer feeds it what it takes in, so that
//   a reproducible run can derive its identifiers from its input;
// - `skip`: host files the import never takes in (the run's own scratch
//   volume and temporary image when they lie inside the source tree);
// - `progress`: where the long phases report how far they are, or null when
//   nothing shows it.
// Nothing here is global; two runs in one process use two contexts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/status.h"

namespace volpack {

struct host_stat_t;
class sha256;

// Which one-line files become symbolic links.
enum class link_files_mode {
  tree,  // those whose target is absolute or names an entry of the source tree
  all,   // every one-line file (the convention taken literally)
  none,  // none: every regular file is copied as it is
};

struct run_options {
  bool verbose = false;
  link_files_mode link_files = link_files_mode::tree;
  // Threads that deflate the image's chunks; 0: one per core (at most 8).
  // The image is the same for every value.
  unsigned compression_threads = 0;
};

enum class report_kind {
  info,     // a verbose line ("Added file: ..."); shown only with -v by the caller's choice
  warning,  // a "WARNING:" line; the run goes on
  error,    // a line that explains a failure the caller is about to return
};

// Receives every line a layer wants to show. Texts carry their own line end.
class reporter_t {
 public:
  virtual ~reporter_t() = default;
  virtual void report(report_kind kind, const std::string& text) = 0;

  void infof(const char* fmt, ...) VOLPACK_PRINTF(2, 3);
  void warnf(const char* fmt, ...) VOLPACK_PRINTF(2, 3);
  void errorf(const char* fmt, ...) VOLPACK_PRINTF(2, 3);
};

// Info lines on standard output, warnings and errors on standard error: what
// the command-line program shows.
class stdio_reporter final : public reporter_t {
 public:
  void report(report_kind kind, const std::string& text) override;
};

// Identifiers written into the image (the volume's finder-info words, the
// image's segment identifier).
class id_source_t {
 public:
  virtual ~id_source_t() = default;
  virtual uint32_t next_u32() = 0;
};

// The current time, seconds since 1970-01-01 UTC, and the zone that the
// volume's creation date, kept in local standard time, is counted in.
class time_source_t {
 public:
  virtual ~time_source_t() = default;
  virtual int64_t now() = 0;
  // UTC minus local standard time, in minutes: the host's zone
  // (host_timezone_bias_minutes) unless a clock says otherwise.
  virtual int32_t zone_bias_minutes();
};

// The long phases of a run, as a progress display names them.
enum class progress_phase {
  counting,     // measuring the tree: entries so far
  copying,      // importing: files and bytes of the totals
  compressing,  // writing the image: bytes of the volume's total
};

// Receives how far a run is. The driver starts and ends each phase; the layers
// doing the work only call `progress_advance` as they go, which costs one
// pointer test when no display is attached.
class progress_t {
 public:
  virtual ~progress_t() = default;
  // A phase starts; its totals are 0 where they are not known beforehand.
  virtual void begin(progress_phase phase, uint64_t total_items, uint64_t total_bytes) = 0;
  // `items` more entries or files and `bytes` more bytes are done.
  virtual void advance(uint64_t items, uint64_t bytes) = 0;
  // The phase is over, or the run failed in it: the display is put away.
  virtual void end() = 0;
};

inline void progress_advance(progress_t* progress, uint64_t items, uint64_t bytes) {
  if (progress != nullptr) progress->advance(items, bytes);
}

// A host file, by device and inode (both 0 where the host cannot tell).
struct host_file_id {
  uint64_t device = 0;
  uint64_t inode = 0;
};

struct run_context {
  run_options options;
  reporter_t* reporter = nullptr;  // borrowed; never null during a run
  id_source_t* ids = nullptr;      // borrowed
  time_source_t* clock = nullptr;  // borrowed
  progress_t* progress = nullptr;  // borrowed; null when no progress is shown
  sha256* input_digest = nullptr;  // borrowed; null when nobody asks for it
  std::vector<host_file_id> skip;

  // True when `st` is one of the files in `skip`.
  bool skips(const host_stat_t& st) const;
};

}  // namespace volpack
