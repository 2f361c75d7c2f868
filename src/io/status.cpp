#include "io/status.h"

#include <cstdio>
#include <vector>

namespace volpack {

status status_verrorf(const char* fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n < 0) return status::error(fmt);
  std::vector<char> text(static_cast<size_t>(n) + 1);
  std::vsnprintf(text.data(), text.size(), fmt, ap);
  return status::error(std::string(text.data(), static_cast<size_t>(n)));
}

status status_errorf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  status s = status_verrorf(fmt, ap);
  va_end(ap);
  return s;
}

}  // namespace volpack
