#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/host_fs.h"
#include "symlink/symlink.h"

namespace volpack {

namespace {

// The numbers in follow_symlinks()'s trace lines: fixed numbers that users and
// scripts see, not source lines; they never change when code moves.
enum : unsigned {
  kTraceSeparator = 64,  // the line of '=' that opens a call
  kTraceCalled = 66,     // called for
  kTraceDisabled = 68,   // the path returned as it is: the resolution is off
};

}  // namespace

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

symlink_settings symlink_settings_from_environment() {
  return parse_symlink_switch(std::getenv("VELLORA_FOLLOWSYMLINKS"));
}

void symlink_trace(const symlink_settings& s, int above, const char* func, unsigned line, const char* fmt,
                   ...) {
  if (s.trace_level <= above) return;
  status prefix = status_errorf("SYMLINK DEBUG: %s[%d]: %s line %u: ", s.program_name.c_str(),
                                static_cast<int>(host_thread_id()), func, line);
  va_list ap;
  va_start(ap, fmt);
  status text = status_verrorf(fmt, ap);
  va_end(ap);
  const std::string trace_line = prefix.message() + text.message();
  std::FILE* out = std::fopen(s.trace_file.c_str(), "ab");
  if (out != nullptr) {
    std::fwrite(trace_line.data(), 1, trace_line.size(), out);
    std::fclose(out);
  } else if (s.reporter != nullptr) {
    s.reporter->report(report_kind::info, trace_line);
  }
}

status symlink_failure(const symlink_settings& s, const char* func, unsigned line, int os_error, const char* fmt,
                       ...) {
  status prefix = status_errorf("SYMLINK EMULATION CODE: %s[%d]: %s line %u: fatal: ", s.program_name.c_str(),
                                static_cast<int>(host_thread_id()), func, line);
  va_list ap;
  va_start(ap, fmt);
  status reason = status_verrorf(fmt, ap);
  va_end(ap);
  return status::error(prefix.message() + reason.message(), os_error);
}

result<const char*> follow_symlinks_with(const char* path, const symlink_settings& s) {
  if (path == nullptr) return static_cast<const char*>(nullptr);  // the host call that follows reports it
  symlink_trace(s, 0, "follow_symlinks()", kTraceSeparator,
                "==============================================================================\n");
  symlink_trace(s, 0, "follow_symlinks()", kTraceCalled, "called for: \"%s\"\n", path);
  if (!s.enabled) {
    symlink_trace(s, 0, "follow_symlinks()", kTraceDisabled,
                  "RETURNING: \"%s\" (symlink code disabled by environment variable, returning path verbatim)\n", path);
    return path;
  }
  return resolve_emulated_links(path, s);
}

result<const char*> emulated_links::resolve(const char* path) {
  result<const char*> r = follow_symlinks_with(path, settings_);
  if (!r && settings_.reporter != nullptr) settings_.reporter->report(report_kind::error, r.error().message());
  return r;
}

}  // namespace volpack
