// Helpers for the UDIF writer's tests: a stream double that reports how it is
// used, an image reader written from the UDIF layouts (independent of
// the writer's own encoders), Base64 decoding and zlib inflation of chunks.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "io/bytes.h"
#include "io/run_context.h"
#include "io/stream.h"

namespace volpack {
namespace test {

// A stream over a byte vector that records its traffic and can fail its close.
// Identifiers 1, 2, 3, ... and a run context that draws on them.
class CountingIds final : public id_source_t {
 public:
  uint32_t next_u32() override { return next_++; }

 private:
  uint32_t next_ = 1;
};

struct test_context {
  CountingIds ids;
  run_context ctx;
  test_context() { ctx.ids = &ids; }
};

class RecordingStream final : public stream_t {
 public:
  struct Log {
    std::vector<std::string> events;  // "close:<tag>" in call order
    uint64_t largest_read = 0;
  };
  RecordingStream(std::vector<uint8_t>* bytes, Log* log, std::string tag, bool close_ok = true)
      : bytes_(bytes), log_(log), tag_(std::move(tag)), close_ok_(close_ok) {}
  uint64_t write(const void* buf, uint64_t n) override {
    if (n == 0) return 0;
    if (pos_ + n > bytes_->size()) bytes_->resize(pos_ + n);
    std::memcpy(bytes_->data() + pos_, buf, n);
    pos_ += n;
    return n;
  }
  uint64_t read(void* buf, uint64_t n) override {
    if (log_ && n > log_->largest_read) log_->largest_read = n;
    uint64_t m = pos_ >= bytes_->size() ? 0 : bytes_->size() - pos_;
    if (m > n) m = n;
    if (m) std::memcpy(buf, bytes_->data() + pos_, m);
    pos_ += m;
    return m;
  }
  bool seek(uint64_t offset) override {
    pos_ = offset;
    return true;
  }
  uint64_t tell() override { return pos_; }
  uint64_t length() override { return bytes_->size(); }
  bool close() override {
    if (log_) log_->events.push_back("close:" + tag_);
    return close_ok_;
  }

 private:
  std::vector<uint8_t>* bytes_;
  Log* log_;
  std::string tag_;
  bool close_ok_;
  uint64_t pos_ = 0;
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

inline std::vector<uint8_t> random_data(size_t bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(bytes);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
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

// RFC 4648 decoding that skips white space; ok=false on any other character.
inline std::vector<uint8_t> base64_decode(const std::string& text, bool* ok) {
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  int bits = 0;
  *ok = true;
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (char c : text) {
    if (c == '=' || c == '\n' || c == '\t' || c == ' ') continue;
    size_t v = alphabet.find(c);
    if (v == std::string::npos) {
      *ok = false;
      return {};
    }
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  return out;
}

struct plist_resource {
  std::string attributes;  // as written, "0x0050"
  std::string id;
  std::string name;
  std::vector<uint8_t> data;
};

// Chunk entry and block table read at their on-disk offsets.
struct chunk_entry {
  uint32_t type;
  uint64_t sector_start, sector_count, offset, length;
};
struct blkx_view {
  uint32_t signature, block_descriptors, checksum_type, checksum_word0;
  uint64_t first_sector, sector_count;
  std::vector<chunk_entry> chunks;
};
inline blkx_view read_blkx(const std::vector<uint8_t>& d) {
  blkx_view t{};
  EXPECT_GE(d.size(), 204u);
  if (d.size() < 204) return t;
  const uint8_t* p = d.data();
  t.signature = get_be32(p + 0);
  t.first_sector = get_be64(p + 8);
  t.sector_count = get_be64(p + 16);
  t.block_descriptors = get_be32(p + 36);
  t.checksum_type = get_be32(p + 64);
  t.checksum_word0 = get_be32(p + 72);
  uint32_t count = get_be32(p + 200);
  EXPECT_EQ(d.size(), 204u + 40u * count);
  for (uint32_t i = 0; i < count && 204 + 40 * (i + 1) <= d.size(); ++i) {
    const uint8_t* c = p + 204 + 40 * i;
    t.chunks.push_back({get_be32(c), get_be64(c + 8), get_be64(c + 16), get_be64(c + 24), get_be64(c + 32)});
  }
  return t;
}

// A whole image, read from the end: the trailer, then the property list.
struct image_view {
  bool ok = false;
  std::string signature;
  uint32_t version, header_size, flags, segment_number, segment_count, image_variant;
  uint64_t running_offset, data_fork_offset, data_fork_length, rsrc_offset, rsrc_length;
  uint64_t xml_offset, xml_length, sector_count;
  uint32_t data_checksum_type, data_checksum_bits, data_checksum;
  uint32_t master_checksum_type, master_checksum_bits, master_checksum;
  std::string xml;
  std::vector<std::string> type_order;
  std::map<std::string, std::vector<plist_resource>> resources;
};

inline std::string text_between(const std::string& s, size_t* pos, const std::string& open, const std::string& close) {
  size_t a = s.find(open, *pos);
  if (a == std::string::npos) return {};
  a += open.size();
  size_t b = s.find(close, a);
  if (b == std::string::npos) return {};
  *pos = b + close.size();
  return s.substr(a, b - a);
}

inline image_view read_image(const std::vector<uint8_t>& f) {
  image_view v{};
  if (f.size() < 512) return v;
  const uint8_t* t = f.data() + f.size() - 512;
  v.signature.assign(reinterpret_cast<const char*>(t), 4);
  v.version = get_be32(t + 4);
  v.header_size = get_be32(t + 8);
  v.flags = get_be32(t + 12);
  v.running_offset = get_be64(t + 16);
  v.data_fork_offset = get_be64(t + 24);
  v.data_fork_length = get_be64(t + 32);
  v.rsrc_offset = get_be64(t + 40);
  v.rsrc_length = get_be64(t + 48);
  v.segment_number = get_be32(t + 56);
  v.segment_count = get_be32(t + 60);
  v.data_checksum_type = get_be32(t + 80);
  v.data_checksum_bits = get_be32(t + 84);
  v.data_checksum = get_be32(t + 88);
  v.xml_offset = get_be64(t + 216);
  v.xml_length = get_be64(t + 224);
  v.master_checksum_type = get_be32(t + 352);
  v.master_checksum_bits = get_be32(t + 356);
  v.master_checksum = get_be32(t + 360);
  v.image_variant = get_be32(t + 488);
  v.sector_count = get_be64(t + 492);
  if (v.xml_offset > f.size() || v.xml_length > f.size() - v.xml_offset) return v;
  v.xml.assign(reinterpret_cast<const char*>(f.data() + v.xml_offset), v.xml_length);

  size_t pos = v.xml.find("<key>resource-fork</key>");
  if (pos == std::string::npos) return v;
  for (;;) {
    size_t key = v.xml.find("\t\t<key>", pos);
    if (key == std::string::npos) break;
    size_t p = key;
    std::string type = text_between(v.xml, &p, "\t\t<key>", "</key>\n\t\t<array>\n");
    std::string body = text_between(v.xml, &p, "", "\t\t</array>\n");
    pos = p;
    v.type_order.push_back(type);
    size_t q = 0;
    for (;;) {
      size_t d = body.find("\t\t\t<dict>\n", q);
      if (d == std::string::npos) break;
      q = d;
      plist_resource r;
      r.attributes = text_between(body, &q, "<key>Attributes</key>\n\t\t\t\t<string>", "</string>");
      std::string data_text = text_between(body, &q, "<key>Data</key>\n\t\t\t\t<data>\n", "\t\t\t\t</data>\n");
      r.id = text_between(body, &q, "<key>ID</key>\n\t\t\t\t<string>", "</string>");
      r.name = text_between(body, &q, "<key>Name</key>\n\t\t\t\t<string>", "</string>");
      bool ok = false;
      r.data = base64_decode(data_text, &ok);
      EXPECT_TRUE(ok) << "bad Base64 in " << type;
      v.resources[type].push_back(r);
    }
  }
  v.ok = true;
  return v;
}

}  // namespace test
}  // namespace volpack
