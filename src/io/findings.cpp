#include "io/findings.h"

#include <cstdarg>
#include <cstdio>

namespace volpack {

void findings_t::add(finding_severity s, const char* fmt, va_list ap) {
  if (list_.size() >= kMaxKept) {
    ++dropped_;
    if (s == finding_severity::error) ++dropped_errors_;
    return;
  }
  char buf[1024];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  list_.push_back({s, buf});
}

void findings_t::error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  add(finding_severity::error, fmt, ap);
  va_end(ap);
}

void findings_t::warning(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  add(finding_severity::warning, fmt, ap);
  va_end(ap);
}

size_t findings_t::errors() const {
  size_t n = dropped_errors_;
  for (const finding& f : list_) n += f.severity == finding_severity::error;
  return n;
}

}  // namespace volpack
