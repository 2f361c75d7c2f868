#include "driver/driver.h"

#include "driver/run_files.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <algorithm>

#include "dmg/dmg.h"
#include "hfs/format.h"
#include "hfs/volume.h"
#include "import/import.h"
#include "io/io.h"
#include "io/stream.h"
#include "io/die.h"
#include "io/host_fs.h"
#include "io/run_context.h"
#include "symlink/symlink.h"

namespace volpack {

bool verbose = false;

command_line parse_command_line(int argc, char** argv) {
  command_line cl;
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

void print_usage() {
  std::fputs(
      "volpack - Vellora's .dmg file creator by Halvardson\n"
      "Usage: volpack <outfile.dmg> <pathname to app dir> [-v]\n"
      "Example: volpack myMacApp.dmg C:\\Path\\To\\MyMacApp\\BuildOutput\n"
      "To create symlinks, put one-liner files containing just the symlink target.\n"
      "--link-files=tree|all|none: link one-liners naming an item of the tree or an absolute path (tree, default), all, or none.\n"
      "To set a custom DMG icon, put a .VolumeIcon.icns file in the root directory.\n"
      "To set a custom background, icons placement and sizes, place a .DS_Store\n"
      "file in the root directory (you can generate one with macOS and reuse it).\n"
      "Binary Mach-O files and files with a shebang (#!) get execution flags (0755).\n",
      stdout);
}

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

const char* volume_name_from_path(const char* path) {
  static char* buffer = nullptr;
  path = follow_symlinks(path);
  if (buffer == nullptr) {
    buffer = static_cast<char*>(std::malloc(1024));
    if (buffer == nullptr) return nullptr;
  }
  if (path == nullptr || *path == '\0') {
    std::strcpy(buffer, ".");
    return buffer;
  }
  size_t end = std::strlen(path) - 1;
  while (end > 0 && host_is_separator(path[end])) --end;
  if (end == 0 && host_is_separator(path[0])) {
    std::strcpy(buffer, path[0] == '/' ? "/" : "\\");
    return buffer;
  }
  size_t start = end;
  while (start > 0 && !host_is_separator(path[start - 1])) --start;
  size_t len = end - start + 1;
  // ".", "./" and "x/.." name a folder only through another: take its real name.
  std::string real;
  if ((len == 1 && path[start] == '.') || (len == 2 && path[start] == '.' && path[start + 1] == '.')) {
    if (host_realpath(path, &real) && real != path && !real.empty()) return volume_name_from_path(real.c_str());
  }
  if (len >= 1024) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  std::memcpy(buffer, path + start, len);
  buffer[len] = '\0';
  return buffer;
}

namespace {

// Names the file and the host's reason behind the failure just reported,
// removes what the run made and ends it with status 1.
int abandon(run_files* f) {
  report_host_failure(stderr);
  run_files_abandon(f);
  return 1;
}

}  // namespace

int volpack_main(int argc, char** argv) {
  static char env_setting[] = "VELLORA_FOLLOWSYMLINKS=0";
  putenv(env_setting);

  command_line cl = parse_command_line(argc, argv);
  if (!cl.ok) {
    print_usage();
    return 1;
  }
  verbose = cl.verbose;
  stdio_reporter reporter;
  run_context ctx;
  ctx.options.verbose = cl.verbose;
  ctx.options.link_files = cl.link_files;
  ctx.reporter = &reporter;

  run_files files;
  if (!run_files_open(&files, cl.output, cl.source, &ctx.skip)) return abandon(&files);

  if (verbose) std::printf("Measuring required size...\n");
  uint64_t measure = 2048;
  tree_census census;
  if (!compute_directory_size(cl.source.c_str(), &measure) || !census_directory(cl.source.c_str(), &census)) {
    int e = host_errno();
    std::fprintf(stderr, "Error: cannot compute directory size of \"%s\" (errno %d)\n", cl.source.c_str(), e);
    // Name the entry that could not be read.
    tree_census where;
    if (census.failed_path.empty() && !census_directory(cl.source.c_str(), &where)) census = where;
    if (!census.failed_path.empty() && census.failed_path != cl.source)
      std::fprintf(stderr, "Error: cannot read \"%s\": %s\n", census.failed_path.c_str(), host_strerror(e));
    return abandon(&files);
  }
  uint64_t size = volume_size_for_tree(measure, census);
  if (verbose) std::printf("Computed size: %lld Kb\n", static_cast<long long>(size / 1024));

  if (verbose) std::printf("Creating new HFS+ volume...\n");
  const char* volume_name = volume_name_from_path(cl.source.c_str());
  if (!run_files_size_scratch(&files, (size / 512 + 1) * 512)) return abandon(&files);
  if (volume_format(files.scratch.c_str(), volume_name, size, 0, 0, 0xFFFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                    stderr) != 0) {
    std::fprintf(stderr, "error: unable to create new HFS filesystem\n");
    return abandon(&files);
  }
  if (verbose) std::printf("Initialized a %lld bytes non-journaled HFS+ volume\n", static_cast<long long>(size));

  if (verbose) std::printf("Adding files...\n");
  std::unique_ptr<io_t> device = create_io_from_path(files.scratch.c_str());
  std::unique_ptr<volume_t> volume = volume_open(device.get());
  if (!volume) {
    std::fprintf(stderr, "error: unable to open newly created HFS filesystem\n");
    (void)io_close(std::move(device));
    return abandon(&files);
  }
  status imported = volume_add_dir_contents_recursive(ctx, volume.get(), cl.source.c_str(), "/");
  if (!imported) {
    reporter.report(report_kind::error, imported.message());
    std::fprintf(stderr, "error: unable to create DMG\n");
    volume_close(std::move(volume));
    (void)io_close(std::move(device));
    return abandon(&files);
  }
  volume_close(std::move(volume));
  if (!io_close(std::move(device))) {
    std::fprintf(stderr, "error: cannot write scratch file %s: %s\n", files.scratch.c_str(),
                 host_strerror(host_errno()));
    return abandon(&files);
  }
  if (verbose) std::printf("Done adding files\nEmbedding HFS+ volume into compressed DMG file...\n");

  std::unique_ptr<stream_t> in = create_stream_from_fp(host_fopen(files.scratch.c_str(), "rb"));
  if (!in) {
    std::fprintf(stderr, "error: can't open HFS+ file: %s\n", files.scratch.c_str());
    return abandon(&files);
  }
  std::unique_ptr<stream_t> out = create_stream_from_fp(host_fopen(files.temp.c_str(), "wb"));
  if (!out) {
    std::fprintf(stderr, "error: can't open DMG file for writing: %s\n", cl.output.c_str());
    (void)stream_close(std::move(in));
    return abandon(&files);
  }
  convert_to_DMG_or_die(std::move(in), std::move(out));

  if (!run_files_commit(&files)) return abandon(&files);
  if (verbose) std::printf("Done.\n");
  return 0;
}

}  // namespace volpack
