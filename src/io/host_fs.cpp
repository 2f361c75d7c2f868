// The host operations that are the same on every platform.
#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "io/host_fs.h"

namespace volpack {

namespace {
host_path_hook* g_path_hook = nullptr;
}  // namespace

void host_install_path_hook(host_path_hook* hook) { g_path_hook = hook; }

const char* host_hooked_path(const char* path) {
  if (g_path_hook == nullptr || path == nullptr) return path;
  result<const char*> resolved = g_path_hook->resolve(path);
  if (!resolved) {
    host_set_errno(resolved.error().os_error() != 0 ? resolved.error().os_error() : EIO);
    return nullptr;
  }
  return resolved.value();
}

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

// UTF-8 is the narrow encoding of this layer on every host.
bool host_narrow_from_utf16(const char16_t* units, size_t count, std::string* out) {
  out->clear();
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(units[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

}  // namespace volpack
