#include "dmg/udif_format.h"

#include <libdeflate.h>

#include <cstring>

#include "dmg/message_numbers.h"
#include "io/buffer.h"

namespace volpack {

void udif_checksum_encode(const udif_checksum_t& c, uint8_t* out) {
  put_be32(out + 0, c.type);
  put_be32(out + 4, c.size);
  for (size_t i = 0; i < c.data.size(); ++i) put_be32(out + 8 + 4 * i, c.data[i]);
}

udif_checksum_t udif_checksum_decode(const uint8_t* in) {
  udif_checksum_t c;
  c.type = get_be32(in + 0);
  c.size = get_be32(in + 4);
  for (size_t i = 0; i < c.data.size(); ++i) c.data[i] = get_be32(in + 8 + 4 * i);
  return c;
}

void udif_trailer_encode(const udif_trailer_t& t, uint8_t* out) {
  std::memset(out, 0, kUdifTrailerSize);
  put_be32(out + 0, t.signature);
  put_be32(out + 4, t.version);
  put_be32(out + 8, t.header_size);
  put_be32(out + 12, t.flags);
  put_be64(out + 16, t.running_data_fork_offset);
  put_be64(out + 24, t.data_fork_offset);
  put_be64(out + 32, t.data_fork_length);
  put_be64(out + 40, t.rsrc_fork_offset);
  put_be64(out + 48, t.rsrc_fork_length);
  put_be32(out + 56, t.segment_number);
  put_be32(out + 60, t.segment_count);
  // The segment ID is the one field kept in the writer's own (little-endian) order.
  for (size_t i = 0; i < t.segment_id.size(); ++i) put_le32(out + 64 + 4 * i, t.segment_id[i]);
  udif_checksum_encode(t.data_fork_checksum, out + 80);
  put_be64(out + 216, t.xml_offset);
  put_be64(out + 224, t.xml_length);
  udif_checksum_encode(t.master_checksum, out + 352);
  put_be32(out + 488, t.image_variant);
  put_be64(out + 492, t.sector_count);
}

udif_trailer_t udif_trailer_decode(const uint8_t* in) {
  udif_trailer_t t;
  t.signature = get_be32(in + 0);
  t.version = get_be32(in + 4);
  t.header_size = get_be32(in + 8);
  t.flags = get_be32(in + 12);
  t.running_data_fork_offset = get_be64(in + 16);
  t.data_fork_offset = get_be64(in + 24);
  t.data_fork_length = get_be64(in + 32);
  t.rsrc_fork_offset = get_be64(in + 40);
  t.rsrc_fork_length = get_be64(in + 48);
  t.segment_number = get_be32(in + 56);
  t.segment_count = get_be32(in + 60);
  for (size_t i = 0; i < t.segment_id.size(); ++i) t.segment_id[i] = get_le32(in + 64 + 4 * i);
  t.data_fork_checksum = udif_checksum_decode(in + 80);
  t.xml_offset = get_be64(in + 216);
  t.xml_length = get_be64(in + 224);
  t.master_checksum = udif_checksum_decode(in + 352);
  t.image_variant = get_be32(in + 488);
  t.sector_count = get_be64(in + 492);
  return t;
}

void udif_blkx_chunk_encode(const udif_blkx_chunk_t& c, uint8_t* out) {
  put_be32(out + 0, c.type);
  put_be32(out + 4, c.comment);
  put_be64(out + 8, c.sector_start);
  put_be64(out + 16, c.sector_count);
  put_be64(out + 24, c.compressed_offset);
  put_be64(out + 32, c.compressed_length);
}

udif_blkx_chunk_t udif_blkx_chunk_decode(const uint8_t* in) {
  udif_blkx_chunk_t c;
  c.type = get_be32(in + 0);
  c.comment = get_be32(in + 4);
  c.sector_start = get_be64(in + 8);
  c.sector_count = get_be64(in + 16);
  c.compressed_offset = get_be64(in + 24);
  c.compressed_length = get_be64(in + 32);
  return c;
}

size_t udif_blkx_table_disk_size(const udif_blkx_table_t& t) {
  return kUdifBlkxTableHeaderSize + kUdifBlkxChunkSize * t.chunks.size();
}

void udif_blkx_table_to_disk(const udif_blkx_table_t& t, uint8_t* out) {
  put_be32(out + 0, t.signature);
  put_be32(out + 4, t.version);
  put_be64(out + 8, t.first_sector);
  put_be64(out + 16, t.sector_count);
  put_be64(out + 24, t.data_start);
  put_be32(out + 32, t.buffers_needed);
  put_be32(out + 36, t.block_descriptors);
  std::memset(out + 40, 0, 24);
  udif_checksum_encode(t.checksum, out + 64);
  put_be32(out + 200, static_cast<uint32_t>(t.chunks.size()));
  uint8_t* p = out + kUdifBlkxTableHeaderSize;
  for (const udif_blkx_chunk_t& c : t.chunks) {
    udif_blkx_chunk_encode(c, p);
    p += kUdifBlkxChunkSize;
  }
}

bool udif_blkx_table_from_disk(const uint8_t* in, size_t size, udif_blkx_table_t* t) {
  if (size < kUdifBlkxTableHeaderSize) return false;
  uint32_t count = get_be32(in + 200);
  if ((size - kUdifBlkxTableHeaderSize) / kUdifBlkxChunkSize != count ||
      (size - kUdifBlkxTableHeaderSize) % kUdifBlkxChunkSize != 0)
    return false;
  t->signature = get_be32(in + 0);
  t->version = get_be32(in + 4);
  t->first_sector = get_be64(in + 8);
  t->sector_count = get_be64(in + 16);
  t->data_start = get_be64(in + 24);
  t->buffers_needed = get_be32(in + 32);
  t->block_descriptors = get_be32(in + 36);
  t->checksum = udif_checksum_decode(in + 64);
  t->chunks.clear();
  for (uint32_t i = 0; i < count; ++i)
    t->chunks.push_back(udif_blkx_chunk_decode(in + kUdifBlkxTableHeaderSize + kUdifBlkxChunkSize * i));
  return true;
}

void udif_csum_to_disk(const udif_csum_t& c, uint8_t* out) {
  put_be16(out + 0, c.one);
  put_be32(out + 2, c.two);
  put_be32(out + 6, c.checksum);
}

udif_csum_t udif_csum_from_disk(const uint8_t* in) {
  udif_csum_t c;
  c.one = get_be16(in + 0);
  c.two = get_be32(in + 2);
  c.checksum = get_be32(in + 6);
  return c;
}

void crc32_checksum(uint32_t* crc, const uint8_t* buf, size_t len) {
  // CRC-32 (reflected polynomial 0xEDB88320), as zlib's: libdeflate's code
  // uses the processor's carry-less multiplication where it has it.
  if (buf == nullptr || len == 0) return;
  *crc = libdeflate_crc32(*crc, buf, len);
}

void udif_checksum(uint32_t* sum, const uint8_t* buf, size_t len) {
  if (buf == nullptr) return;
  uint32_t s = *sum;
  size_t i = 0;
  // 32 zero words rotate the sum by 32 bits, which leaves it as it was: runs
  // of zeros (most of a volume's free space and small files' blocks) cost a
  // test of 128 bytes.
  for (; i + 128 <= len; i += 128) {
    uint64_t any = 0;
    for (size_t k = 0; k < 128; k += 8) {
      uint64_t w;
      std::memcpy(&w, buf + i + k, 8);
      any |= w;
    }
    if (any == 0) continue;
    for (size_t k = i; k < i + 128; k += 4) s = ((s << 1) | (s >> 31)) + get_be32(buf + k);
  }
  for (; i + 4 <= len; i += 4) s = ((s << 1) | (s >> 31)) + get_be32(buf + i);
  *sum = s;
}

uint64_t udif_resource_size(const udif_resource_t& r) {
  if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&r.data)) return bytes->size();
  if (const auto* table = std::get_if<udif_blkx_table_t>(&r.data)) return udif_blkx_table_disk_size(*table);
  return kUdifCsumSize;
}

result<uint32_t> calculate_udif_master_checksum(const udif_resource_list_t& list) {
  const udif_resource_type_t* blkx = nullptr;
  for (const udif_resource_type_t& type : list) {
    if (type.name == "blkx") {
      blkx = &type;
      break;
    }
  }
  if (blkx == nullptr)
    return status_errorf("calculate_udif_master_checksum():%d: ERROR: corrupted blkx list!\n", msgno::kMasterNoBlkx);

  size_t count = 0;
  for (const udif_resource_t& r : blkx->entries) {
    const auto* table = std::get_if<udif_blkx_table_t>(&r.data);
    if (table != nullptr && table->checksum.type == UDIF_CHECKSUM_CRC32) ++count;
  }
  std::vector<uint8_t> words;
  VOLPACK_RETURN_IF_ERROR(buffer_alloc(&words, 4 * count, "calculate_udif_master_checksum", msgno::kMasterWords));
  size_t at = 0;
  for (const udif_resource_t& r : blkx->entries) {
    const auto* table = std::get_if<udif_blkx_table_t>(&r.data);
    if (table == nullptr || table->checksum.type != UDIF_CHECKSUM_CRC32) continue;
    put_be32(words.data() + at, table->checksum.data[0]);
    at += 4;
  }
  uint32_t crc = 0;
  crc32_checksum(&crc, words.data(), words.size());
  return crc;
}

}  // namespace volpack
