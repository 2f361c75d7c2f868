// The host operations that are the same on every platform.
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "io/host_fs.h"

namespace volpack {

int asprintf(std::string* out, const char* fmt, ...) {
  out->clear();
  // A first try in 16 bytes; longer texts are formatted again at their length.
  char small[16];
  va_list ap;
  va_start(ap, fmt);
  int len = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (len < 0) return -1;
  if (len < static_cast<int>(sizeof small)) {
    out->assign(small, static_cast<size_t>(len));
    return len;
  }
  try {
    std::string text(static_cast<size_t>(len) + 1, '\0');
    va_start(ap, fmt);
    int again = std::vsnprintf(&text[0], text.size(), fmt, ap);
    va_end(ap);
    if (again < 0) return -1;
    text.resize(static_cast<size_t>(again));
    *out = std::move(text);
    return again;
  } catch (...) {
    host_set_errno(ENOMEM);
    return -1;
  }
}

}  // namespace volpack
