// Catalog names: host text to decomposed UTF-16, and the case-insensitive order.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "hfs/catalog.h"
#include "hfs/unicode_tables.h"
#include "hfs/volume.h"

namespace volpack {

namespace {

constexpr uint32_t kHangulBase = 0xAC00;
constexpr uint32_t kHangulCount = 11172;
constexpr uint32_t kHangulLeadBase = 0x1100;
constexpr uint32_t kHangulVowelBase = 0x1161;
constexpr uint32_t kHangulTrailBase = 0x11A7;
constexpr uint32_t kHangulVowelCount = 21;
constexpr uint32_t kHangulTrailCount = 28;

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool decode_utf8(const unsigned char* s, size_t n, std::vector<uint32_t>* out) {
  size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    uint32_t cp;
    size_t extra;
    uint32_t min;
    if (b < 0x80) {
      out->push_back(b);
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      cp = b & 0x1F, extra = 1, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      cp = b & 0x0F, extra = 2, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      cp = b & 0x07, extra = 3, min = 0x10000;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char c = s[i + k];
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out->push_back(cp);
    i += extra + 1;
  }
  return true;
}

const unicode_decomposition_t* find_decomposition(uint32_t cp) {
  const unicode_decomposition_t* end = kUnicodeDecompositions + kUnicodeDecompositionCount;
  const unicode_decomposition_t* it = std::lower_bound(
      kUnicodeDecompositions, end, cp,
      [](const unicode_decomposition_t& d, uint32_t c) { return d.code_point < c; });
  return (it != end && it->code_point == cp) ? it : nullptr;
}

uint8_t combining_class(uint32_t cp) {
  const unicode_combining_range_t* end = kUnicodeCombiningClasses + kUnicodeCombiningClassCount;
  const unicode_combining_range_t* it = std::lower_bound(
      kUnicodeCombiningClasses, end, cp,
      [](const unicode_combining_range_t& r, uint32_t c) { return r.last < c; });
  return (it != end && it->first <= cp) ? it->combining_class : 0;
}

void decompose(uint32_t cp, std::vector<uint32_t>* out) {
  if (cp >= kHangulBase && cp < kHangulBase + kHangulCount) {
    uint32_t s = cp - kHangulBase;
    out->push_back(kHangulLeadBase + s / (kHangulVowelCount * kHangulTrailCount));
    out->push_back(kHangulVowelBase + (s % (kHangulVowelCount * kHangulTrailCount)) / kHangulTrailCount);
    if (s % kHangulTrailCount != 0) out->push_back(kHangulTrailBase + s % kHangulTrailCount);
    return;
  }
  // The table holds full decompositions and leaves out the ranges HFS+ keeps.
  if (const unicode_decomposition_t* d = find_decomposition(cp)) {
    out->insert(out->end(), kUnicodeDecompositionPool + d->offset,
                kUnicodeDecompositionPool + d->offset + d->length);
  } else {
    out->push_back(cp);
  }
}

// Each run of combining marks is put in order of combining class; marks of
// one class keep their order.
void canonical_order(std::vector<uint32_t>* cps) {
  size_t i = 0;
  while (i < cps->size()) {
    if (combining_class((*cps)[i]) == 0) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < cps->size() && combining_class((*cps)[j]) != 0) ++j;
    std::stable_sort(cps->begin() + static_cast<std::ptrdiff_t>(i), cps->begin() + static_cast<std::ptrdiff_t>(j),
                     [](uint32_t a, uint32_t b) { return combining_class(a) < combining_class(b); });
    i = j;
  }
}

}  // namespace

bool unistr_from_host(HFSUniStr255* name, const char* text, size_t length) {
  *name = HFSUniStr255();
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  // ASCII, most names, decodes to itself and has nothing to decompose or reorder.
  if (length <= kHFSMaxNameUnits && std::all_of(bytes, bytes + length, [](unsigned char c) { return c < 0x80; })) {
    std::copy(bytes, bytes + length, name->unicode.begin());
    name->length = static_cast<uint16_t>(length);
    return true;
  }
  std::vector<uint32_t> decoded;
  if (!decode_utf8(bytes, length, &decoded)) {
    // Not UTF-8: take each byte as the code point of the same value.
    decoded.assign(bytes, bytes + length);
  }
  std::vector<uint32_t> cps;
  for (uint32_t cp : decoded) decompose(cp, &cps);
  canonical_order(&cps);

  size_t units = 0;
  for (uint32_t cp : cps) {
    if (units + (cp > 0xFFFF ? 2 : 1) > kHFSMaxNameUnits) {
      *name = HFSUniStr255();
      return false;
    }
    if (cp > 0xFFFF) {
      cp -= 0x10000;
      name->unicode[units++] = static_cast<uint16_t>(0xD800 + (cp >> 10));
      name->unicode[units++] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      name->unicode[units++] = static_cast<uint16_t>(cp);
    }
  }
  name->length = static_cast<uint16_t>(units);
  return true;
}

bool unistr_printf(HFSUniStr255* name, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  int n = std::vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  std::vector<char> text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
  }
  va_end(again);
  if (n < 0) {
    *name = HFSUniStr255();
    return false;
  }
  return unistr_from_host(name, text.data(), static_cast<size_t>(n));
}

std::string unistr_to_utf8(const HFSUniStr255& name) {
  std::string out;
  size_t n = std::min<size_t>(name.length, kHFSMaxNameUnits);
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = name.unicode[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && name.unicode[i + 1] >= 0xDC00 &&
        name.unicode[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (name.unicode[i + 1] - 0xDC00u);
      ++i;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

uint16_t hfs_case_fold(uint16_t unit) {
  uint16_t sub = hfs_case_fold_table[unit >> 8];
  return sub == 0 ? unit : hfs_case_fold_table[sub + (unit & 0xFF)];
}

int unicode_compare_folded(const uint16_t* a, size_t la, const uint16_t* b, size_t lb) {
  // Equal units fold alike (or are ignored in both): a common start says
  // nothing, and names in one folder often share a long one.
  while (la > 0 && lb > 0 && *a == *b) {
    ++a, ++b;
    --la, --lb;
  }
  for (;;) {
    uint16_t c1 = 0;
    while (la > 0 && c1 == 0) {
      c1 = hfs_case_fold(*a++);
      --la;
    }
    uint16_t c2 = 0;
    while (lb > 0 && c2 == 0) {
      c2 = hfs_case_fold(*b++);
      --lb;
    }
    if (c1 == ':') c1 = '/';
    if (c2 == ':') c2 = '/';
    if (c1 != c2) return c1 > c2 ? 1 : -1;
    if (c1 == 0) return 0;
  }
}

std::u16string catalog_name_identity(const volume_t* volume, const HFSUniStr255& name) {
  const bool folded = volume->catalog_tree.header.keyCompareType == kHFSCaseFolding;
  std::u16string form;
  size_t n = std::min<size_t>(name.length, kHFSMaxNameUnits);
  form.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    uint16_t unit = folded ? hfs_case_fold(name.unicode[i]) : name.unicode[i];
    if (folded && unit == 0) continue;  // ignorable
    form.push_back(static_cast<char16_t>(unit == ':' ? '/' : unit));
  }
  return form;
}

}  // namespace volpack
