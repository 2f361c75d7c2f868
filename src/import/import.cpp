#include <cstring>

#include "import/import.h"
#include "io/stream.h"

namespace volpack {

bool is_executable_magic(const uint8_t* b, uint64_t got) {
  if (got < 4) return false;
  if (b[0] == '#' && b[1] == '!') return true;
  static const uint8_t kMagics[][4] = {
      {0xCE, 0xFA, 0xED, 0xFE},  // Mach-O 32-bit, little-endian
      {0xCF, 0xFA, 0xED, 0xFE},  // Mach-O 64-bit, little-endian
      {0xCA, 0xFE, 0xBA, 0xBE},  // universal
      {0xCA, 0xFE, 0xBA, 0xBF},  // universal, 64-bit headers
  };
  for (const auto& m : kMagics) {
    if (std::memcmp(b, m, 4) == 0) return true;
  }
  return false;
}

bool is_oneliner_symlink(stream_t* s) {
  uint64_t n = stream_length(s);
  if (n < 1 || n > kMaxLinkFileSize) return false;
  uint8_t b[kMaxLinkFileSize];
  bool complete = stream_read(s, b, n) == n;
  stream_seek(s, 0);
  if (!complete) return false;
  if (std::strchr(" \t\n\v\f\r#", b[0]) != nullptr) return false;
  auto starts = [&](const char* prefix, size_t len, uint64_t longer_than) {
    return n > longer_than && std::memcmp(b, prefix, len) == 0;
  };
  if (starts("\xEF\xBB\xBF", 3, 3)) return false;                              // UTF-8 byte-order mark
  if (starts("\xFF\xFE", 2, 2) || starts("\xFE\xFF", 2, 2)) return false;      // UTF-16 marks
  if (starts("\x00\x00\xFE\xFF", 4, 4) || starts("\xFF\xFE\x00\x00", 4, 4)) return false;  // UTF-32
  if (starts("//", 2, 2) || starts("/*", 2, 2)) return false;                    // comment openers
  for (uint64_t i = 0; i < n; ++i) {
    uint8_t c = b[i];
    // Characters Windows forbids in names; a drive letter's colon is allowed.
    bool forbidden = c < 0x20 || c == 0x7F || c == '"' || c == '*' || c == '<' || c == '>' || c == '?' ||
                     c == '|' || (c == ':' && i != 1);
    if (forbidden) return false;
  }
  return true;
}

}  // namespace volpack
