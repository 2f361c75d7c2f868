#include "io/run_context.h"

#include <cstdio>

#include "io/host_fs.h"

namespace volpack {

namespace {

void vreport(reporter_t* r, report_kind kind, const char* fmt, va_list ap) {
  status text = status_verrorf(fmt, ap);
  r->report(kind, text.message());
}

}  // namespace

void reporter_t::infof(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vreport(this, report_kind::info, fmt, ap);
  va_end(ap);
}

void reporter_t::warnf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vreport(this, report_kind::warning, fmt, ap);
  va_end(ap);
}

void reporter_t::errorf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vreport(this, report_kind::error, fmt, ap);
  va_end(ap);
}

void stdio_reporter::report(report_kind kind, const std::string& text) {
  std::FILE* to = kind == report_kind::info ? stdout : stderr;
  std::fwrite(text.data(), 1, text.size(), to);
  std::fflush(to);
}

int32_t time_source_t::zone_bias_minutes() { return host_timezone_bias_minutes(); }

bool run_context::skips(const host_stat_t& st) const {
  if (st.device == 0 && st.inode == 0) return false;
  for (const host_file_id& f : skip)
    if (f.device == st.device && f.inode == st.inode) return true;
  return false;
}

}  // namespace volpack
