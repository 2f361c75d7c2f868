// Helpers for the UDIF writer's tests: a run context with counted
// identifiers, test data, zlib's own CRC-32 and inflation of chunks (an
// oracle independent of the writer), and a whole image taken apart through
// the record decoders and the property-list parser (both pinned by their own
// tests against typed bytes).
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dmg/udif_format.h"
#include "dmg/udif_read.h"
#include "io/run_context.h"
#include "support/support.h"

namespace volpack {
namespace test {

struct test_context {
  CountingIds ids;
  run_context ctx;
  test_context() { ctx.ids = &ids; }
};

// Deterministic test data: `random_run` bytes of noise, then `zero_run` zeros, repeating.
inline std::vector<uint8_t> mixed_data(size_t bytes, uint32_t seed, size_t random_run = 3000, size_t zero_run = 5000) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(bytes, 0);
  size_t i = 0;
  while (i < bytes) {
    for (size_t k = 0; k < random_run && i < bytes; ++k) v[i++] = static_cast<uint8_t>(rng());
    i += zero_run;
  }
  return v;
}

inline uint32_t zlib_crc(const uint8_t* p, size_t n) {
  return static_cast<uint32_t>(::crc32(0L, p, static_cast<uInt>(n)));
}

// Inflates one complete zlib stream; empty with ok=false on any error or trailing bytes.
inline std::vector<uint8_t> inflate_all(const uint8_t* p, size_t n, bool* ok) {
  std::vector<uint8_t> out(1 << 20);
  z_stream z;
  std::memset(&z, 0, sizeof z);
  *ok = false;
  if (inflateInit(&z) != Z_OK) return {};
  z.next_in = const_cast<Bytef*>(p);
  z.avail_in = static_cast<uInt>(n);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int ret = inflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  *ok = ret == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return out;
}

// A whole image read from the end: the trailer, then the property list.
struct image_view {
  bool ok = false;
  udif_trailer_t trailer;
  std::string xml;
  plist_value resources;  // the "resource-fork" dictionary: type -> array of resources
  // A field ("Attributes", "Data", "ID", "Name") of the first resource of `type`.
  const plist_value& field(const std::string& type, const std::string& key) const {
    static const plist_value none;
    const plist_value* list = resources.find(type);
    const plist_value* f = list != nullptr && !list->items.empty() ? list->items[0].find(key) : nullptr;
    return f != nullptr ? *f : none;
  }
};

inline image_view read_image(const std::vector<uint8_t>& f) {
  image_view v;
  if (f.size() < 512) return v;
  v.trailer = udif_trailer_decode(f.data() + f.size() - 512);
  if (v.trailer.xml_offset > f.size() || v.trailer.xml_length > f.size() - v.trailer.xml_offset) return v;
  v.xml.assign(reinterpret_cast<const char*>(f.data() + v.trailer.xml_offset), v.trailer.xml_length);
  result<plist_value> doc = plist_parse(v.xml.data(), v.xml.size());
  if (!doc || doc.value().find("resource-fork") == nullptr) return v;
  v.resources = *doc.value().find("resource-fork");
  v.ok = true;
  return v;
}

}  // namespace test
}  // namespace volpack
