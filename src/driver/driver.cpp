#include "driver/driver.h"

#include "driver/run_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "dmg/dmg.h"
#include "dmg/precode.h"
#include "driver/inspect.h"
#include "driver/progress.h"
#include "driver/reproducible.h"
#include "driver/version.h"
#include "hfs/format.h"
#include "hfs/volume.h"
#include "import/import.h"
#include "io/die.h"
#include "io/host_fs.h"
#include "io/io.h"
#include "io/stream.h"

namespace volpack {

command_line parse_command_line(int argc, char** argv) {
  command_line cl;
  // A request for help or the version stands anywhere; the first one wins.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      cl.help = true;
      return cl;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      cl.version = true;
      return cl;
    }
  }
  bool have_output = false;
  bool have_source = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-v") == 0) {
      cl.verbose = true;
    } else if (std::strncmp(argv[i], "--link-files", 12) == 0 && (argv[i][12] == '=' || argv[i][12] == '\0')) {
      const char* mode = argv[i][12] == '=' ? argv[i] + 13 : "";
      if (std::strcmp(mode, "tree") == 0) {
        cl.link_files = link_files_mode::tree;
      } else if (std::strcmp(mode, "all") == 0) {
        cl.link_files = link_files_mode::all;
      } else if (std::strcmp(mode, "none") == 0) {
        cl.link_files = link_files_mode::none;
      } else {
        return cl;  // an unknown mode is a usage error
      }
    } else if (!have_output) {
      cl.output = argv[i];
      have_output = true;
    } else if (!have_source) {
      cl.source = argv[i];
      have_source = true;
    } else {
      return cl;  // a third path stops the scan
    }
  }
  cl.ok = have_output && have_source;
  return cl;
}

const char kUsageText[] =
    "volpack - Vellora's .dmg file creator by Halvardson\n"
    "Usage: volpack <outfile.dmg> <pathname to app dir> [-v]\n"
    "  -v                 report each phase and each added item on standard output\n"
    "  --link-files=MODE  which one-liners become links: tree (default), all, none\n"
    "  -h, --help         print this text and exit\n"
    "  --version          print the versions of volpack and its compression library\n"
    "Example: volpack myMacApp.dmg C:\\Path\\To\\MyMacApp\\BuildOutput\n"
    "To create symlinks, put one-liner files containing just the symlink target.\n"
    "To set a custom DMG icon, put a .VolumeIcon.icns file in the root directory.\n"
    "To set a custom background, icons placement and sizes, place a .DS_Store\n"
    "file in the root directory (you can generate one with macOS and reuse it).\n"
    "Binary Mach-O files and files with a shebang (#!) get execution flags (0755).\n";

uint64_t volume_size_from_measure(uint64_t measure) {
  uint64_t size = measure + measure * 10 / 100;
  if (size % 512 != 0) size += 512 - size % 512;
  return size;
}

uint64_t volume_size_for_tree(uint64_t measure, const tree_census& c) {
  constexpr uint64_t kBlock = 4096;
  constexpr uint64_t kSmallestVolume = 523776;
  uint64_t items = c.files + c.folders + c.links;
  // A file's record, key, thread and thread key take 278 bytes plus 4 per
  // name unit (folders 118); a name has at most 255 units and at most two
  // per byte of its host name once decomposed.
  uint64_t units = std::min<uint64_t>(2 * c.name_bytes, 255 * items);
  uint64_t records = items * 278 + units * 4;
  // Nodes split in halves and index levels add up to about twice the leaves.
  uint64_t catalog = 3 * records + 16 * 8192;
  uint64_t need = (c.data_blocks + c.links) * kBlock + catalog + 64 * 1024;
  // Each B-tree file may hold one clump of up to 1/128 of the volume beyond
  // its use, besides the first clump of each that the formatter lays out; the
  // allocation file takes one bit per block.
  uint64_t volume = need + need / 32 + need / 32768 + kBlock;
  volume += volume * 10 / 100;
  volume = std::max({volume, volume_size_from_measure(measure), kSmallestVolume});
  // The device is one sector longer than the volume size. Keeping it a whole
  // number of 4 KiB blocks leaves no sectors past the last allocation block:
  // the alternate volume header then sits where every reader looks for it,
  // and volumes of 512 GiB and more must be so anyway.
  volume = (volume + 512 + 4095) / 4096 * 4096 - 512;
  return volume;
}

bool volume_name_from_path(const char* path, std::string* name) {
  if (path == nullptr || *path == '\0') {
    *name = ".";
    return true;
  }
  auto is_sep = host_is_separator;
  size_t end = std::strlen(path) - 1;
  while (end > 0 && is_sep(path[end])) --end;
  if (end == 0 && is_sep(path[0])) {
    *name = path[0] == '/' ? "/" : "\\";
    return true;
  }
  size_t start = end;
  while (start > 0 && !is_sep(path[start - 1])) --start;
  size_t len = end - start + 1;
  // ".", "./" and "x/.." name a folder only through another: take its real name.
  std::string real;
  if ((len == 1 && path[start] == '.') || (len == 2 && path[start] == '.' && path[start + 1] == '.')) {
    if (host_realpath(path, &real) && real != path && !real.empty()) return volume_name_from_path(real.c_str(), name);
  }
  if (len >= 1024) {
    errno = ENAMETOOLONG;
    return false;
  }
  name->assign(path + start, len);
  return true;
}

namespace {

// The host's own clock.
class host_clock final : public time_source_t {
 public:
  int64_t now() override { return host_time(); }
};

// Prints a fatal message; the phase that calls it then fails.
bool fail(const run_context& ctx, const char* fmt, ...) VOLPACK_PRINTF(2, 3);
bool fail(const run_context& ctx, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  status text = status_verrorf(fmt, ap);
  va_end(ap);
  ctx.reporter->report(report_kind::error, text.message());
  return false;
}

bool fail(const run_context& ctx, const status& s) {
  // A few of the formatter's messages carry no line end; the next line (the
  // host's reason) must still start on a line of its own.
  std::string text = s.message();
  if (!text.empty() && text.back() != '\n') text += '\n';
  ctx.reporter->report(report_kind::error, text);
  return false;
}

// A verbose line.
void progress(const run_context& ctx, const std::string& text) {
  if (ctx.options.verbose) ctx.reporter->report(report_kind::info, text);
}

// Names the file and the host's reason behind the failure just reported,
// removes what the run made (only its own files) and ends it with status 1.
int abandon(const run_context& ctx, run_files* f) {
  std::string reason;
  if (take_host_failure_line(&reason)) ctx.reporter->report(report_kind::error, reason);
  run_files_abandon(f);
  return 1;
}

// One phase of the progress display, from construction to end() or scope exit.
class phase {
 public:
  phase(const run_context& ctx, progress_phase which, uint64_t total_items, uint64_t total_bytes)
      : progress_(ctx.progress) {
    if (progress_ != nullptr) progress_->begin(which, total_items, total_bytes);
  }
  ~phase() { end(); }
  void end() {
    if (progress_ != nullptr) progress_->end();
    progress_ = nullptr;
  }

 private:
  progress_t* progress_;
};

// Measures the source tree and sizes the volume.
bool measure_source(const run_context& ctx, const std::string& source, uint64_t* size, tree_census* totals) {
  progress(ctx, "Measuring required size...\n");
  uint64_t measure = 2048;
  tree_census census;
  census.progress = ctx.progress;
  phase counting(ctx, progress_phase::counting, 0, 0);
  // One walk: the census measures too.
  if (!census_directory(source.c_str(), &census)) {
    int e = host_errno();
    fail(ctx, "Error: cannot compute directory size of \"%s\" (errno %d)\n", source.c_str(), e);
    // Name the entry that could not be read.
    tree_census where;
    if (census.failed_path.empty() && !census_directory(source.c_str(), &where)) census = where;
    if (!census.failed_path.empty() && census.failed_path != source)
      fail(ctx, "Error: cannot read \"%s\": %s\n", census.failed_path.c_str(), host_strerror(e));
    return false;
  }
  measure += census.measure;
  *size = volume_size_for_tree(measure, census);
  *totals = census;
  progress(ctx, "Computed size: " + std::to_string(*size / 1024) + " Kb\n");
  return true;
}

// The scratch file of a volume of `size` bytes: one sector more.
uint64_t scratch_bytes(uint64_t size) { return (size / 512 + 1) * 512; }

// While the import runs on one core, the others code chunks ahead.
unsigned precoding_threads(const run_context& ctx) {
  unsigned threads = ctx.options.compression_threads;
  if (threads == 0) threads = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
  return threads > 1 ? threads - 1 : 1;
}

// Codes of chunks kept until the image is written (their raw bytes are read
// again then, not kept).
constexpr size_t kPrecodeBudget = 16u << 20;

// Formats an empty HFS+ volume of `size` bytes into the scratch file; a null
// name gives the formatter's default.
bool format_volume(const run_context& ctx, const run_files& files, const char* volume_name, uint64_t size) {
  progress(ctx, "Creating new HFS+ volume...\n");
  status sized = run_files_size_scratch(files, scratch_bytes(size));
  if (!sized) return fail(ctx, sized);
  format_options options;
  options.volume_name = volume_name;
  options.size = size;
  options.owner = 0;
  options.group = 0;
  status formatted = volume_format_file(files.scratch.c_str(), options, ctx);
  if (!formatted) {
    return fail(ctx, formatted);  // the formatter's own words
  }
  progress(ctx, "Initialized a " + std::to_string(size) + " bytes non-journaled HFS+ volume\n");
  return true;
}

// Copies the source tree into the volume's root folder. A reproducible run
// then draws the volume's identifier again, from its whole input.
bool import_tree(const run_context& ctx, const run_files& files, const std::string& source, const tree_census& totals,
                 reproducible_sources* reproducible, chunk_precoder* precoder) {
  progress(ctx, "Adding files...\n");
  // The chunks the import is done with are coded meanwhile.
  std::unique_ptr<io_t> device = precoder->watch(create_io_from_path(files.scratch.c_str()));
  result<std::unique_ptr<volume_t>> opened = volume_open(device.get(), ctx.reporter);
  if (!opened) {
    fail(ctx, opened.error());
    (void)io_close(std::move(device));
    return false;
  }
  std::unique_ptr<volume_t> volume = opened.take();
  volume->clock = ctx.clock;
  phase copying(ctx, progress_phase::copying, totals.files, totals.data_bytes);
  status imported = volume_add_dir_contents_recursive(ctx, volume.get(), source.c_str(), "/");
  copying.end();
  if (!imported) {
    fail(ctx, imported);
    if (imported.wants_summary()) fail(ctx, "error: unable to create DMG\n");
    volume_close(std::move(volume));
    (void)io_close(std::move(device));
    return false;
  }
  bool identified = true;
  if (reproducible != nullptr && ctx.input_digest != nullptr) {
    reproducible->input_complete();
    draw_volume_identifier(&volume->header, ctx.ids);
    identified = volume_update(volume.get());
  }
  volume_close(std::move(volume));
  if (!io_close(std::move(device)) || !identified)
    return fail(ctx, "error: cannot write scratch file %s: %s\n", files.scratch.c_str(), host_strerror(host_errno()));
  progress(ctx, "Done adding files\n");
  return true;
}

// Compresses the scratch volume into the temporary image.
bool write_image(const run_context& ctx, const run_files& files, chunk_precoder* precoder) {
  progress(ctx, "Embedding HFS+ volume into compressed DMG file...\n");
  std::unique_ptr<stream_t> in = create_stream_from_fp(host_fopen(files.scratch.c_str(), "rb"));
  if (!in) return fail(ctx, "error: can't open HFS+ file: %s\n", files.scratch.c_str());
  std::unique_ptr<stream_t> out = create_stream_from_fp(host_fopen(files.temp.c_str(), "wb"));
  if (!out) {
    (void)stream_close(std::move(in));
    return fail(ctx, "error: can't open DMG file for writing: %s\n", files.output.c_str());
  }
  phase compressing(ctx, progress_phase::compressing, 0, stream_length(in.get()) / kSectorSize * kSectorSize);
  precoder->stop();
  status converted = convert_to_DMG(std::move(in), std::move(out), ctx, precoder);
  compressing.end();
  if (!converted) return fail(ctx, converted);
  return true;
}

// Removes the scratch volume and puts the image in place.
bool finish_run(const run_context& ctx, run_files* files) {
  status committed = run_files_commit(files, ctx);
  return committed ? true : fail(ctx, committed);
}

}  // namespace

int volpack_run(int argc, char** argv, const run_sources& sources) {
  stdio_reporter stdio;
  host_clock clock;
  host_random_ids ids;
  run_context ctx;
  ctx.reporter = sources.reporter != nullptr ? sources.reporter : &stdio;
  ctx.clock = sources.clock != nullptr ? sources.clock : &clock;
  ctx.ids = sources.ids != nullptr ? sources.ids : &ids;

  command_line cl = parse_command_line(argc, argv);
  if (cl.help || cl.version) {
    ctx.reporter->report(report_kind::info, cl.help ? std::string(kUsageText) : version_text());
    // Asked for on purpose, so a text that could not be written is a failure.
    if (ctx.reporter == &stdio && (std::fflush(stdout) != 0 || std::ferror(stdout))) {
      fail(ctx, "error: cannot write to standard output: %s\n", host_strerror(errno));
      return 1;
    }
    return 0;
  }
  if (!cl.ok) {
    ctx.reporter->report(report_kind::info, kUsageText);
    return 1;
  }
  ctx.options.verbose = cl.verbose;
  ctx.options.compression_threads = sources.compression_threads;
  ctx.options.link_files = cl.link_files;

  std::string volume_name;
  const bool named = volume_name_from_path(cl.source.c_str(), &volume_name);
  // SOURCE_DATE_EPOCH: its time for every date, identifiers from the input.
  std::unique_ptr<reproducible_sources> reproducible;
  if (sources.source_date_epoch != nullptr) {
    result<int64_t> time = parse_source_date_epoch(sources.source_date_epoch);
    if (!time) {
      fail(ctx, time.error());
      return 1;
    }
    reproducible = std::make_unique<reproducible_sources>(time.value(), named ? volume_name : std::string());
    ctx.clock = reproducible->clock();
    if (sources.ids == nullptr) {
      ctx.ids = reproducible->ids();
      ctx.input_digest = reproducible->input_digest();
    }
  }

  run_files files;
  status opened = run_files_open(&files, cl.output, cl.source, &ctx.skip);
  if (!opened) {
    fail(ctx, opened);
    return abandon(ctx, &files);
  }

  // On a terminal (and without -v) a progress line shows how far the run is;
  // every message then goes through a reporter that erases it first.
  std::unique_ptr<terminal_progress> display;
  if (sources.reporter == nullptr) display = make_stderr_progress(cl.verbose);
  progress_safe_reporter safe_reporter(ctx.reporter, display.get());
  if (display) {
    ctx.progress = display.get();
    ctx.reporter = &safe_reporter;
  }

  uint64_t size = 0;
  tree_census totals;
  if (!measure_source(ctx, cl.source, &size, &totals) ||
      !format_volume(ctx, files, named ? volume_name.c_str() : nullptr, size))
    return abandon(ctx, &files);
  chunk_precoder precoder(scratch_bytes(size), precoding_threads(ctx), kPrecodeBudget);
  if (!import_tree(ctx, files, cl.source, totals, reproducible.get(), &precoder) ||
      !write_image(ctx, files, &precoder) || !finish_run(ctx, &files))
    return abandon(ctx, &files);
  progress(ctx, "Done.\n");
  return 0;
}

int volpack_main(int argc, char** argv) {
  // "volpack verify|list|extract IMAGE ...": an image named so is written as ./verify.
  if (is_inspect_command(argc, argv)) return inspect_main(argc, argv);
  run_sources sources;
  sources.source_date_epoch = std::getenv("SOURCE_DATE_EPOCH");
  return volpack_run(argc, argv, sources);
}

}  // namespace volpack
