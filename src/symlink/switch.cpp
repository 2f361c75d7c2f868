#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "io/host_fs.h"
#include "symlink/symlink.h"

namespace volpack {

symlink_settings parse_symlink_switch(const char* value) {
  symlink_settings s;
  if (value == nullptr) return s;
  s.enabled = value[0] == '1' || value[0] == 't' || value[0] == 'T';
  const char* colon = std::strchr(value, ':');
  if (colon != nullptr) {
    s.trace_level = std::atoi(colon + 1);
    if (s.trace_level > 0) {
      const char* file = std::strchr(colon + 1, ':');
      if (file != nullptr && file[1] != '\0') s.trace_file = file + 1;
      s.program_name = host_program_name();
    }
  }
  return s;
}

const symlink_settings& symlink_current_settings() {
  static std::once_flag once;
  static symlink_settings settings;
  std::call_once(once, [] { settings = parse_symlink_switch(std::getenv("VELLORA_FOLLOWSYMLINKS")); });
  return settings;
}

void symlink_trace(const symlink_settings& s, int above, const char* func, unsigned line, const char* fmt,
                   ...) {
  if (s.trace_level <= above) return;
  std::FILE* out = std::fopen(s.trace_file.c_str(), "ab");
  std::FILE* dest = out != nullptr ? out : stdout;
  std::fprintf(dest, "SYMLINK DEBUG: %s[%d]: %s line %u: ", s.program_name.c_str(),
               static_cast<int>(host_thread_id()), func, line);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(dest, fmt, ap);
  va_end(ap);
  if (out != nullptr) {
    std::fclose(out);
  } else {
    std::fflush(stdout);
  }
}

void symlink_fatal(const symlink_settings& s, const char* func, unsigned line, const char* fmt, ...) {
  std::fprintf(stderr, "SYMLINK EMULATION CODE: %s[%d]: %s line %u: fatal: ", s.program_name.c_str(),
               static_cast<int>(host_thread_id()), func, line);
  va_list ap;
  va_start(ap, fmt);
  vdie_to(stderr, fmt, ap);
}

const char* follow_symlinks_with(const char* path, const symlink_settings& s) {
  if (path == nullptr) return nullptr;  // the host call that follows reports it
  symlink_trace(s, 0, "follow_symlinks()", __LINE__,
                "==============================================================================\n");
  symlink_trace(s, 0, "follow_symlinks()", __LINE__, "called for: \"%s\"\n", path);
  if (!s.enabled) {
    symlink_trace(s, 0, "follow_symlinks()", __LINE__,
                  "RETURNING: \"%s\" (symlink code disabled by environment variable, returning path verbatim)\n",
                  path);
    return path;
  }
  return resolve_emulated_links(path, s);
}

const char* follow_symlinks(const char* path) { return follow_symlinks_with(path, symlink_current_settings()); }

}  // namespace volpack
