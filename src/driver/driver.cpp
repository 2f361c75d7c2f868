#include "driver/driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "import/import.h"
#include "io/die.h"
#include "io/host_fs.h"
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
  auto is_sep = [](char c) { return c == '/' || c == '\\'; };
  size_t end = std::strlen(path) - 1;
  while (end > 0 && is_sep(path[end])) --end;
  if (end == 0 && is_sep(path[0])) {
    std::strcpy(buffer, path[0] == '/' ? "/" : "\\");
    return buffer;
  }
  size_t start = end;
  while (start > 0 && !is_sep(path[start - 1])) --start;
  size_t len = end - start + 1;
  if (len >= 1024) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  std::memcpy(buffer, path + start, len);
  buffer[len] = '\0';
  return buffer;
}

int volpack_main(int argc, char** argv) {
  static char env_setting[] = "VELLORA_FOLLOWSYMLINKS=0";
  putenv(env_setting);

  command_line cl = parse_command_line(argc, argv);
  if (!cl.ok) {
    print_usage();
    return 1;
  }
  verbose = cl.verbose;

  if (verbose) std::printf("Measuring required size...\n");
  uint64_t measure = 2048;
  if (!compute_directory_size(cl.source.c_str(), &measure)) {
    std::fprintf(stderr, "Error: cannot compute directory size of \"%s\" (errno %d)\n", cl.source.c_str(),
                 host_errno());
    return 1;
  }
  uint64_t size = volume_size_from_measure(measure);
  if (verbose) std::printf("Computed size: %lld Kb\n", static_cast<long long>(size / 1024));
  return 0;
}

}  // namespace volpack
