// Reading UDIF images: the trailer, the block tables, the chunks.
#include "dmg/udif_read.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <list>
#include <new>

#ifdef VOLPACK_HAVE_BZIP2
#include <bzlib.h>
#endif

#include "io/host_fs.h"

namespace volpack {

namespace {

constexpr uint64_t kMaxPlistLength = 256u << 20;
constexpr size_t kCachedChunks = 16;             // decoded chunks kept for reading
constexpr size_t kCachedBytes = size_t{32} << 20;  // and at most this many bytes of them

// a + b, false when it overflows.
bool add_ok(uint64_t a, uint64_t b, uint64_t* sum) {
  if (a > UINT64_MAX - b) return false;
  *sum = a + b;
  return true;
}

bool is_data_chunk(uint32_t type) {
  return type == UDIF_CHUNK_ZERO_FILL || type == UDIF_CHUNK_RAW || type == UDIF_CHUNK_IGNORE ||
         type == UDIF_CHUNK_ZLIB || type == UDIF_CHUNK_BZIP2 || type == UDIF_CHUNK_ADC ||
         type == UDIF_CHUNK_LZFSE || type == UDIF_CHUNK_LZMA;
}
bool is_stored(uint32_t type) { return type != UDIF_CHUNK_ZERO_FILL && type != UDIF_CHUNK_IGNORE; }

const char* unsupported_kind(uint32_t type) {
  switch (type) {
    case UDIF_CHUNK_ADC:
      return "ADC";
    case UDIF_CHUNK_LZFSE:
      return "LZFSE";
    case UDIF_CHUNK_LZMA:
      return "LZMA";
#ifndef VOLPACK_HAVE_BZIP2
    case UDIF_CHUNK_BZIP2:
      return "bzip2 (this build has no libbz2)";
#endif
    default:
      return nullptr;
  }
}

class host_file_io final : public io_t {
 public:
  explicit host_file_io(std::FILE* fp) : fp_(fp) {}
  ~host_file_io() override {
    if (fp_ != nullptr) std::fclose(fp_);
  }
  bool read(uint64_t offset, uint64_t count, void* buf) override {
    return count == 0 || host_pread(fp_, offset, buf, count) == count;
  }
  bool write(uint64_t, uint64_t, const void*) override { return false; }
  bool close() override {
    bool ok = std::fclose(fp_) == 0;
    fp_ = nullptr;
    return ok;
  }

 private:
  std::FILE* fp_;
};

// The CRC-32 of `crc`'s bytes followed by `n` zero bytes.
uint32_t crc32_zeros(uint32_t crc, uint64_t n) {
  static const std::vector<uint8_t> kZeros(1 << 16);
  // CRCs of 2^16 .. 2^30 zero bytes, by doubling through zlib's combination.
  static const std::vector<uLong> kPowers = [] {
    std::vector<uLong> p{crc32(crc32(0, nullptr, 0), kZeros.data(), static_cast<uInt>(kZeros.size()))};
    for (uint64_t len = kZeros.size(); len < (uint64_t{1} << 30); len *= 2)
      p.push_back(crc32_combine(p.back(), p.back(), static_cast<z_off_t>(len)));
    return p;
  }();
  constexpr uint64_t kPiece = uint64_t{1} << 30;
  uLong c = crc;
  while (n >= kPiece) {
    c = crc32_combine(c, kPowers.back(), static_cast<z_off_t>(kPiece));
    n -= kPiece;
  }
  for (size_t k = kPowers.size(); k-- > 0;) {
    uint64_t len = uint64_t{kZeros.size()} << k;
    if (n >= len) {
      c = crc32_combine(c, kPowers[k], static_cast<z_off_t>(len));
      n -= len;
    }
  }
  if (n > 0) c = crc32(c, kZeros.data(), static_cast<uInt>(n));
  return static_cast<uint32_t>(c);
}

uint32_t rotl(uint32_t v, unsigned r) {
  r &= 31;
  return r == 0 ? v : (v << r) | (v >> (32 - r));
}

std::string chunk_where(const udif_partition_t& p, size_t i, const udif_blkx_chunk_t& c) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "block table %d (\"%.60s\"), chunk %zu (sectors %" PRIu64 "+%" PRIu64 ")", p.id,
                p.name.c_str(), i, c.sector_start, c.sector_count);
  return buf;
}

}  // namespace

result<std::unique_ptr<io_t>> open_read_only_file(const char* path, uint64_t* size) {
  host_stat_t st;
  if (host_stat(path, &st) != 0) return status_errorf("%s: %s\n", path, host_strerror(host_errno()));
  if (st.type == DT_DIR) return status_errorf("%s: %s\n", path, host_strerror(EISDIR));
  std::FILE* fp = host_fopen(path, "rb");
  if (fp == nullptr) return status_errorf("%s: %s\n", path, host_strerror(host_errno()));
  *size = st.size;
  return std::unique_ptr<io_t>(new host_file_io(fp));
}

status udif_decode_chunk(uint32_t type, const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size) {
  switch (type) {
    case UDIF_CHUNK_ZERO_FILL:
    case UDIF_CHUNK_IGNORE:
      std::memset(out, 0, out_size);
      return status::ok();
    case UDIF_CHUNK_RAW:
      if (in_size != out_size) return status_errorf("raw chunk stores %zu bytes for %zu", in_size, out_size);
      std::memcpy(out, in, out_size);
      return status::ok();
    case UDIF_CHUNK_ZLIB: {
      z_stream z{};
      if (inflateInit(&z) != Z_OK) return status_errorf("zlib cannot start");
      z.next_in = const_cast<Bytef*>(in);
      z.avail_in = static_cast<uInt>(in_size);
      z.next_out = out;
      z.avail_out = static_cast<uInt>(out_size);
      int ret = inflate(&z, Z_FINISH);
      uint64_t produced = z.total_out;
      uint64_t used = z.total_in;
      std::string why = z.msg != nullptr ? z.msg : "";
      inflateEnd(&z);
      if (ret == Z_STREAM_END && produced == out_size) {
        if (used != in_size) return status_errorf("zlib stream ends %" PRIu64 " bytes before the chunk", in_size - used);
        return status::ok();
      }
      if (ret == Z_STREAM_END) return status_errorf("inflates to %" PRIu64 " bytes instead of %zu", produced, out_size);
      if (ret == Z_BUF_ERROR && z.avail_out == 0) return status_errorf("inflates to more than %zu bytes", out_size);
      if (ret == Z_BUF_ERROR) return status_errorf("zlib stream is cut short");
      return status_errorf("does not inflate (zlib: %s)", why.empty() ? "error" : why.c_str());
    }
#ifdef VOLPACK_HAVE_BZIP2
    case UDIF_CHUNK_BZIP2: {
      if (in_size > UINT32_MAX || out_size > UINT32_MAX) return status_errorf("bzip2 chunk too large");
      unsigned int produced = static_cast<unsigned int>(out_size);
      int ret = BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out), &produced,
                                           const_cast<char*>(reinterpret_cast<const char*>(in)),
                                           static_cast<unsigned int>(in_size), 0, 0);
      if (ret == BZ_OUTBUFF_FULL) return status_errorf("decompresses to more than %zu bytes", out_size);
      if (ret != BZ_OK) return status_errorf("does not decompress (bzip2 error %d)", ret);
      if (produced != out_size) return status_errorf("decompresses to %u bytes instead of %zu", produced, out_size);
      return status::ok();
    }
#endif
    default:
      return status_errorf("chunk type 0x%08x cannot be decoded", type);
  }
}

// ------------------------------------------------------------------ open

namespace {

// Checks one table's entries; fills `spans` with its data chunks in order.
void check_table(const udif_trailer_t& t, uint64_t fork_start, uint64_t fork_end, udif_partition_t* p,
                 findings_t* findings, std::vector<uint32_t>* unsupported) {
  const udif_blkx_table_t& b = p->table;
  p->usable = true;
  char who[128];
  std::snprintf(who, sizeof who, "block table %d (\"%.60s\")", p->id, p->name.c_str());
  if (b.signature != UDIF_BLKX_SIGNATURE) {
    findings->error("%s: signature is 0x%08x, not \"mish\"", who, b.signature);
    p->usable = false;
    return;
  }
  if (b.version != 1) findings->warning("%s: version %u (1 expected)", who, b.version);
  uint64_t end_sector;
  if (b.sector_count > kUdifMaxSectors || !add_ok(b.first_sector, b.sector_count, &end_sector) ||
      end_sector > kUdifMaxSectors) {
    findings->error("%s: covers %" PRIu64 " sectors from %" PRIu64 ", more than an image can hold", who,
                    b.sector_count, b.first_sector);
    p->usable = false;
    return;
  }
  (void)t;
  uint64_t next = 0;
  bool terminated = false;
  bool holes = false;
  for (size_t i = 0; i < b.chunks.size(); ++i) {
    const udif_blkx_chunk_t& c = b.chunks[i];
    if (terminated) {
      findings->error("%s: entry %zu follows the terminator", who, i);
      p->usable = false;
      break;
    }
    if (c.type == UDIF_CHUNK_TERMINATOR) {
      terminated = true;
      if (c.sector_count != 0) findings->warning("%s: the terminator covers %" PRIu64 " sectors", who, c.sector_count);
      continue;
    }
    if (c.type == UDIF_CHUNK_COMMENT) continue;
    if (!is_data_chunk(c.type)) {
      findings->error("%s: chunk %zu has the unknown type 0x%08x", who, i, c.type);
      p->usable = false;
      continue;
    }
    if (unsupported_kind(c.type) != nullptr &&
        std::find(unsupported->begin(), unsupported->end(), c.type) == unsupported->end())
      unsupported->push_back(c.type);
    std::string where = chunk_where(*p, i, c);
    uint64_t chunk_end;
    if (!add_ok(c.sector_start, c.sector_count, &chunk_end) || chunk_end > b.sector_count) {
      findings->error("%s: lies past the table's %" PRIu64 " sectors", where.c_str(), b.sector_count);
      p->usable = false;
      continue;
    }
    if (c.sector_start > next) {
      holes = true;
      findings->error("%s: sectors %" PRIu64 " to %" PRIu64 " of the table are in no chunk", who, next,
                      c.sector_start - 1);
    } else if (c.sector_start < next) {
      findings->error("%s: overlaps the chunk before it", where.c_str());
      p->usable = false;
      continue;
    }
    next = chunk_end;
    if (is_stored(c.type)) {
      uint64_t start, end;
      if (!add_ok(fork_start, b.data_start, &start) || !add_ok(start, c.compressed_offset, &start) ||
          !add_ok(start, c.compressed_length, &end) || end > fork_end) {
        findings->error("%s: its stored bytes lie outside the data fork", where.c_str());
        p->usable = false;
        continue;
      }
      if (c.sector_count > kUdifMaxChunkSectors) {
        findings->error("%s: larger than %" PRIu64 " sectors", where.c_str(), kUdifMaxChunkSectors);
        p->usable = false;
        continue;
      }
      if (c.type == UDIF_CHUNK_RAW && c.compressed_length != c.sector_count * kSectorSize) {
        findings->error("%s: a raw chunk storing %" PRIu64 " bytes", where.c_str(), c.compressed_length);
        p->usable = false;
        continue;
      }
    }
    if (c.sector_count > 0) p->spans.push_back(c);
  }
  if (!terminated) findings->error("%s: no terminator entry", who);
  p->whole = p->usable && !holes && next == b.sector_count;
  if (next < b.sector_count)
    findings->error("%s: sectors %" PRIu64 " to %" PRIu64 " of the table are in no chunk", who, next,
                    b.sector_count - 1);
}

}  // namespace

result<std::unique_ptr<udif_image_t>> udif_open(std::unique_ptr<io_t> file, uint64_t file_size,
                                                findings_t* findings) {
  auto image = std::make_unique<udif_image_t>(std::move(file), file_size);
  uint8_t head[8] = {};
  if (file_size >= 8 && image->file()->read(0, 8, head) && std::memcmp(head, "encrcdsa", 8) == 0)
    return status_errorf("the image is encrypted; encrypted images are not supported\n");
  if (file_size < kUdifTrailerSize) return status_errorf("too short to be a disk image (%" PRIu64 " bytes)\n", file_size);
  uint8_t raw[kUdifTrailerSize];
  if (!image->file()->read(file_size - kUdifTrailerSize, kUdifTrailerSize, raw))
    return status_errorf("cannot read the trailer\n");
  if (std::memcmp(raw + kUdifTrailerSize - 8, "cdsaencr", 8) == 0)
    return status_errorf("the image is encrypted; encrypted images are not supported\n");
  udif_trailer_t& t = image->trailer_;
  t = udif_trailer_decode(raw);
  if (t.signature != UDIF_TRAILER_SIGNATURE) return status_errorf("no UDIF trailer (\"koly\") at the end of the file\n");
  if (t.version != 4) findings->warning("trailer: version %u (4 expected)", t.version);
  if (t.header_size != kUdifTrailerSize) findings->error("trailer: header size %u (512 expected)", t.header_size);
  if (t.segment_count > 1 || t.segment_number > 1)
    return status_errorf("segment %u of %u: segmented images are not supported\n", t.segment_number, t.segment_count);
  for (size_t i = 232; i < 352; ++i) {
    if (raw[i] != 0) {
      findings->warning("trailer: reserved bytes 232 to 351 are not zero");
      break;
    }
  }
  const uint64_t body = file_size - kUdifTrailerSize;
  uint64_t xml_end, fork_end;
  if (t.xml_length == 0) return status_errorf("no XML property list (an older image format, not supported)\n");
  if (!add_ok(t.xml_offset, t.xml_length, &xml_end) || xml_end > body)
    return status_errorf("the property list (%" PRIu64 " bytes at %" PRIu64 ") lies outside the file\n", t.xml_length,
                         t.xml_offset);
  if (t.xml_length > kMaxPlistLength) return status_errorf("the property list is larger than 256 MiB\n");
  uint64_t fork_start = t.data_fork_offset;
  if (!add_ok(t.data_fork_offset, t.data_fork_length, &fork_end) || fork_end > body) {
    findings->error("trailer: the data fork (%" PRIu64 " bytes at %" PRIu64 ") lies outside the file",
                    t.data_fork_length, t.data_fork_offset);
    fork_start = 0;
    fork_end = body;
  } else if (t.xml_offset < fork_end && fork_start < xml_end && t.data_fork_length > 0) {
    findings->error("trailer: the data fork and the property list overlap");
  }

  std::vector<char> xml;
  try {
    xml.resize(static_cast<size_t>(t.xml_length));
  } catch (const std::bad_alloc&) {
    return status_errorf("out of memory for the property list\n");
  }
  if (!image->file()->read(t.xml_offset, t.xml_length, xml.data())) return status_errorf("cannot read the property list\n");
  result<plist_value> doc = plist_parse(xml.data(), xml.size());
  if (!doc) return status_errorf("the property list is not readable: %s\n", doc.error().message().c_str());
  const plist_value* fork = doc.value().find("resource-fork");
  if (doc.value().type != plist_value::kind::dict || fork == nullptr || fork->type != plist_value::kind::dict)
    return status_errorf("the property list has no \"resource-fork\" dictionary\n");
  const plist_value* blkx = fork->find("blkx");
  if (blkx == nullptr || blkx->type != plist_value::kind::array || blkx->items.empty())
    return status_errorf("the property list has no \"blkx\" resources\n");

  for (size_t k = 0; k < fork->keys.size(); ++k) {
    const plist_value& list = fork->items[k];
    if (list.type != plist_value::kind::array) {
      findings->error("resource type \"%.40s\" is not an array", fork->keys[k].c_str());
      continue;
    }
    for (size_t i = 0; i < list.items.size(); ++i) {
      const plist_value& r = list.items[i];
      const plist_value* data = r.type == plist_value::kind::dict ? r.find("Data") : nullptr;
      if (data == nullptr || data->type != plist_value::kind::data || data->bad_data) {
        findings->error("resource \"%.40s\" %zu: no readable Base64 data", fork->keys[k].c_str(), i);
        continue;
      }
      if (fork->keys[k] == "cSum" && image->csum_.empty()) image->csum_ = data->bytes;
      if (fork->keys[k] != "blkx") continue;
      udif_partition_t p;
      const plist_value* id = r.find("ID");
      const plist_value* name = r.find("Name");
      if (id != nullptr) p.id = static_cast<int32_t>(std::strtol(id->text.c_str(), nullptr, 10));
      if (name != nullptr) p.name = name->text;
      if (!udif_blkx_table_from_disk(data->bytes.data(), data->bytes.size(), &p.table)) {
        findings->error("block table %d (\"%.60s\"): its %zu bytes do not hold its chunk count", p.id, p.name.c_str(),
                        data->bytes.size());
        continue;
      }
      image->partitions_.push_back(std::move(p));
    }
  }
  if (image->partitions_.empty()) return status_errorf("no block table is readable\n");

  std::vector<uint32_t> unsupported;
  for (udif_partition_t& p : image->partitions_) check_table(t, fork_start, fork_end, &p, findings, &unsupported);
  if (!unsupported.empty()) {
    std::string kinds;
    for (uint32_t type : unsupported) {
      char one[96];
      std::snprintf(one, sizeof one, "%s%s (0x%08x)", kinds.empty() ? "" : ", ", unsupported_kind(type), type);
      kinds += one;
    }
    return status_errorf("chunks compressed with %s: not supported\n", kinds.c_str());
  }

  // The tables together cover the image's sectors once, from sector 0.
  std::vector<const udif_partition_t*> order;
  for (const udif_partition_t& p : image->partitions_) {
    if (p.table.signature == UDIF_BLKX_SIGNATURE && p.table.sector_count <= kUdifMaxSectors &&
        p.table.first_sector <= kUdifMaxSectors)
      order.push_back(&p);
  }
  std::sort(order.begin(), order.end(), [](const udif_partition_t* a, const udif_partition_t* b) {
    return a->table.first_sector < b->table.first_sector;
  });
  uint64_t covered = 0;
  for (const udif_partition_t* p : order) {
    if (p->table.sector_count == 0) continue;
    if (p->table.first_sector > covered)
      findings->error("image sectors %" PRIu64 " to %" PRIu64 " are in no block table", covered,
                      p->table.first_sector - 1);
    else if (p->table.first_sector < covered)
      findings->error("block table %d (\"%.60s\") overlaps another table", p->id, p->name.c_str());
    covered = std::max(covered, p->table.first_sector + p->table.sector_count);
  }
  if (t.sector_count != 0 && t.sector_count != covered)
    findings->error("trailer: %" PRIu64 " sectors, the block tables cover %" PRIu64, t.sector_count, covered);
  return image;
}

int udif_image_t::hfs_partition() const {
  int found = -1;
  for (size_t i = 0; i < partitions_.size(); ++i) {
    const std::string& n = partitions_[i].name;
    if (n.find("Apple_HFS") != std::string::npos) {
      if (found >= 0) return -1;  // more than one: not told apart here
      found = static_cast<int>(i);
    }
  }
  if (found < 0 && partitions_.size() == 1) found = 0;
  return found;
}

// ------------------------------------------------------------------ data

namespace {

// Reads and decodes chunk `c` of partition `p` into `out`.
status read_chunk(udif_image_t* image, const udif_partition_t& p, const udif_blkx_chunk_t& c, std::vector<uint8_t>* out,
                  std::vector<uint8_t>* scratch) {
  uint64_t size = c.sector_count * kSectorSize;
  try {
    out->resize(static_cast<size_t>(size));
    if (is_stored(c.type)) scratch->resize(static_cast<size_t>(c.compressed_length));
  } catch (const std::bad_alloc&) {
    return status_errorf("out of memory");
  }
  if (!is_stored(c.type)) {
    std::memset(out->data(), 0, out->size());
    return status::ok();
  }
  uint64_t at = image->trailer_.data_fork_offset + p.table.data_start + c.compressed_offset;
  if (!image->file()->read(at, c.compressed_length, scratch->data())) return status_errorf("cannot be read from the file");
  return udif_decode_chunk(c.type, scratch->data(), scratch->size(), out->data(), out->size());
}

class partition_io final : public io_t {
 public:
  partition_io(udif_image_t* image, size_t index) : image_(image), p_(image->partitions_[index]) {}
  bool read(uint64_t offset, uint64_t count, void* buf) override {
    uint8_t* dst = static_cast<uint8_t*>(buf);
    uint64_t size = p_.table.sector_count * kSectorSize, end;
    if (!add_ok(offset, count, &end) || end > size) return false;
    while (count > 0) {
      uint64_t sector = offset / kSectorSize;
      auto it = std::upper_bound(p_.spans.begin(), p_.spans.end(), sector,
                                 [](uint64_t s, const udif_blkx_chunk_t& c) { return s < c.sector_start; });
      if (it == p_.spans.begin()) return false;
      --it;
      const udif_blkx_chunk_t& c = *it;
      if (sector >= c.sector_start + c.sector_count) return false;  // a hole
      uint64_t in_chunk = offset - c.sector_start * kSectorSize;
      uint64_t n = std::min<uint64_t>(count, c.sector_count * kSectorSize - in_chunk);
      if (!is_stored(c.type)) {
        std::memset(dst, 0, static_cast<size_t>(n));
      } else {
        const std::vector<uint8_t>* data = decoded(c);
        if (data == nullptr) return false;
        std::memcpy(dst, data->data() + in_chunk, static_cast<size_t>(n));
      }
      dst += n;
      offset += n;
      count -= n;
    }
    return true;
  }
  bool write(uint64_t, uint64_t, const void*) override { return false; }
  bool close() override { return true; }

 private:
  struct cached {
    uint64_t sector_start;
    std::vector<uint8_t> bytes;
  };
  const std::vector<uint8_t>* decoded(const udif_blkx_chunk_t& c) {
    for (auto it = cache_.begin(); it != cache_.end(); ++it) {
      if (it->sector_start == c.sector_start) {
        cache_.splice(cache_.begin(), cache_, it);
        return &cache_.front().bytes;
      }
    }
    cached entry{c.sector_start, {}};
    if (!read_chunk(image_, p_, c, &entry.bytes, &scratch_)) return nullptr;
    cached_bytes_ += entry.bytes.size();
    cache_.push_front(std::move(entry));
    while (cache_.size() > 1 && (cache_.size() > kCachedChunks || cached_bytes_ > kCachedBytes)) {
      cached_bytes_ -= cache_.back().bytes.size();
      cache_.pop_back();
    }
    return &cache_.front().bytes;
  }

  udif_image_t* image_;
  const udif_partition_t& p_;
  std::list<cached> cache_;
  size_t cached_bytes_ = 0;
  std::vector<uint8_t> scratch_;
};

}  // namespace

std::unique_ptr<io_t> udif_image_t::open_partition(size_t index) {
  if (index >= partitions_.size() || !partitions_[index].usable) return nullptr;
  return std::make_unique<partition_io>(this, index);
}

void udif_image_t::verify_data(findings_t* findings) {
  const udif_trailer_t& t = trailer_;
  // The data fork as stored.
  uint64_t fork_end;
  if (t.data_fork_checksum.type == UDIF_CHECKSUM_CRC32 && add_ok(t.data_fork_offset, t.data_fork_length, &fork_end) &&
      fork_end <= file_size_ - kUdifTrailerSize) {
    std::vector<uint8_t> piece(1 << 20);
    uLong crc = crc32(0, nullptr, 0);
    bool read_all = true;
    for (uint64_t at = t.data_fork_offset; at < fork_end;) {
      uint64_t n = std::min<uint64_t>(piece.size(), fork_end - at);
      if (!file_->read(at, n, piece.data())) {
        findings->error("the data fork cannot be read at byte %" PRIu64, at);
        read_all = false;
        break;
      }
      crc = crc32(crc, piece.data(), static_cast<uInt>(n));
      at += n;
    }
    if (read_all && crc != t.data_fork_checksum.data[0])
      findings->error("trailer: data fork checksum is 0x%08x, the data fork's CRC-32 is 0x%08x",
                      t.data_fork_checksum.data[0], static_cast<uint32_t>(crc));
  } else if (t.data_fork_checksum.type != 0 && t.data_fork_checksum.type != UDIF_CHECKSUM_CRC32) {
    findings->warning("trailer: data fork checksum of type %u is not checked", t.data_fork_checksum.type);
  }

  // Every chunk of every table.
  std::vector<uint8_t> out, scratch;
  bool single = partitions_.size() == 1;
  uint32_t sum = 0;
  bool sum_ok = single;
  for (udif_partition_t& p : partitions_) {
    // A table with holes has no data to check its checksum against.
    if (!p.usable || !p.whole) {
      sum_ok = false;
      continue;
    }
    uLong crc = crc32(0, nullptr, 0);
    bool crc_ok = true;
    for (size_t i = 0; i < p.table.chunks.size(); ++i) {
      const udif_blkx_chunk_t& c = p.table.chunks[i];
      if (!is_data_chunk(c.type) || c.sector_count == 0) continue;
      uint64_t bytes = c.sector_count * kSectorSize;
      if (!is_stored(c.type)) {
        if (c.type == UDIF_CHUNK_ZERO_FILL) crc = crc32_zeros(static_cast<uint32_t>(crc), bytes);
        sum = rotl(sum, static_cast<unsigned>((bytes / 4) % 32));
        continue;
      }
      status s = read_chunk(this, p, c, &out, &scratch);
      if (!s) {
        findings->error("%s: %s", chunk_where(p, i, c).c_str(), s.message().c_str());
        crc_ok = sum_ok = false;
        continue;
      }
      crc = crc32(crc, out.data(), static_cast<uInt>(out.size()));
      if (sum_ok) udif_checksum(&sum, out.data(), out.size());
    }
    if (!crc_ok) continue;
    if (p.table.checksum.type == UDIF_CHECKSUM_CRC32) {
      if (p.table.checksum.data[0] != crc)
        findings->error("block table %d (\"%.60s\"): checksum is 0x%08x, the data's CRC-32 is 0x%08x", p.id,
                        p.name.c_str(), p.table.checksum.data[0], static_cast<uint32_t>(crc));
    } else if (p.table.checksum.type != 0) {
      findings->warning("block table %d: checksum of type %u is not checked", p.id, p.table.checksum.type);
    }
  }
  if (sum_ok && csum_.size() == kUdifCsumSize) {
    udif_csum_t c = udif_csum_from_disk(csum_.data());
    if (c.one == 1 && c.two == 2 && c.checksum != sum)
      findings->error("cSum resource: checksum is 0x%08x, the data's is 0x%08x", c.checksum, sum);
  }

  // The master checksum: the CRC-32 of the tables' CRC-32 words, in order.
  if (t.master_checksum.type == UDIF_CHECKSUM_CRC32) {
    uint32_t master = 0;
    for (const udif_partition_t& p : partitions_) {
      if (p.table.checksum.type != UDIF_CHECKSUM_CRC32) continue;
      uint8_t word[4];
      put_be32(word, p.table.checksum.data[0]);
      crc32_checksum(&master, word, 4);
    }
    if (master != t.master_checksum.data[0])
      findings->error("trailer: master checksum is 0x%08x, the block tables' give 0x%08x", t.master_checksum.data[0],
                      master);
  } else if (t.master_checksum.type != 0) {
    findings->warning("trailer: master checksum of type %u is not checked", t.master_checksum.type);
  }
}

}  // namespace volpack
