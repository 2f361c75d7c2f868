#include <zlib.h>

#include <cstring>
#include <new>
#include <stdexcept>

#include "dmg/dmg.h"
#include "io/die.h"

namespace volpack {

// One deflate call must finish every chunk: the output buffer holds zlib's
// bound for a full chunk (what deflateBound gives at the default settings:
// n + n/4096 + n/16384 + n/2^25 + 13 bytes, the zlib wrapper included).
constexpr size_t kFullChunk = size_t{kChunkSectors} * kSectorSize;
static_assert(kFullChunk + (kFullChunk >> 12) + (kFullChunk >> 14) + (kFullChunk >> 25) + 13 <= kChunkBufferSize,
              "the output buffer holds deflate's worst case for a full chunk");

uint32_t udif_chunk_type_for(uint64_t compressed_length, SectorCount sectors) {
  // A compressed form up to 511 bytes longer than the raw chunk is still kept.
  return compressed_length / kSectorSize > sectors ? UDIF_CHUNK_RAW : UDIF_CHUNK_ZLIB;
}

chunk_code_t compress_chunk(const uint8_t* in, SectorCount sectors, uint8_t* out) {
  chunk_code_t code;
  z_stream z;
  std::memset(&z, 0, sizeof z);  // default allocators
  code.init_ret = deflateInit(&z, Z_DEFAULT_COMPRESSION);
  if (code.init_ret != Z_OK) return code;

  uint64_t raw_length = sectors * kSectorSize;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(raw_length);
  z.next_out = out;
  z.avail_out = static_cast<uInt>(kChunkBufferSize);
  code.deflate_ret = deflate(&z, Z_FINISH);
  uint64_t compressed = kChunkBufferSize - z.avail_out;
  deflateEnd(&z);
  if (code.deflate_ret != Z_STREAM_END) return code;

  code.type = udif_chunk_type_for(compressed, sectors);
  code.stored_length = code.type == UDIF_CHUNK_RAW ? raw_length : compressed;
  return code;
}

namespace {

// Makes room for entry `index`: the capacity starts at 2 entries and doubles.
void grow_table(udif_blkx_table_t& table, size_t index, size_t& capacity) {
  if (index < capacity) return;
  capacity *= 2;
  try {
    table.chunks.reserve(capacity);
  } catch (const std::bad_alloc&) {
    die("%s():%d: realloc error (out of memory)\n", "insertBLKX", __LINE__);
  } catch (const std::length_error&) {
    die("%s():%d: realloc error (out of memory)\n", "insertBLKX", __LINE__);
  }
}

}  // namespace

udif_blkx_table_t insertBLKX(stream_t* out, stream_t* in, SectorNumber first_sector, SectorCount sector_count,
                             uint32_t block_descriptors, uint32_t* in_crc, uint32_t* in_sum, uint32_t* out_crc) {
  std::vector<uint8_t> inbuf = malloc_or_die(kChunkBufferSize, __func__, __LINE__);
  std::vector<uint8_t> outbuf = malloc_or_die(kChunkBufferSize, __func__, __LINE__);

  udif_blkx_table_t table;
  table.signature = UDIF_BLKX_SIGNATURE;
  table.version = 1;
  table.first_sector = first_sector;
  table.sector_count = sector_count;
  table.data_start = 0;
  table.buffers_needed = kBuffersNeeded;
  table.block_descriptors = block_descriptors;
  table.checksum.type = UDIF_CHECKSUM_CRC32;
  table.checksum.size = 32;
  size_t capacity = 2;
  try {
    table.chunks.reserve(capacity);
  } catch (const std::bad_alloc&) {
    die("%s():%d: malloc error (out of memory)\n", __func__, __LINE__);
  }

  SectorNumber sector = 0;  // counted from the table's first sector
  SectorCount remaining = sector_count;
  while (remaining > 0) {
    grow_table(table, table.chunks.size(), capacity);
    udif_blkx_chunk_t chunk;
    chunk.type = UDIF_CHUNK_ZLIB;
    chunk.sector_start = sector;
    chunk.sector_count = remaining < kChunkSectors ? remaining : kChunkSectors;
    uint64_t raw_length = chunk.sector_count * kSectorSize;

    stream_read_or_die(in, inbuf.data(), raw_length, __func__, __LINE__);
    if (in_crc != nullptr) crc32_checksum(in_crc, inbuf.data(), raw_length);
    if (in_sum != nullptr) udif_checksum(in_sum, inbuf.data(), raw_length);

    chunk_code_t code = compress_chunk(inbuf.data(), chunk.sector_count, outbuf.data());
    if (code.init_ret != Z_OK) die("insertBLKX():%d: zlib deflateInit error (ret = %d)\n", __LINE__, code.init_ret);
    if (code.deflate_ret != Z_STREAM_END)
      die("insertBLKX():%d: zlib deflate error (ret = %d)\n", __LINE__, code.deflate_ret);

    chunk.type = code.type;
    chunk.compressed_offset = stream_tell(out) - table.data_start;
    const uint8_t* stored = code.type == UDIF_CHUNK_RAW ? inbuf.data() : outbuf.data();
    stream_write_or_die(out, stored, code.stored_length, __func__, __LINE__);
    if (out_crc != nullptr) crc32_checksum(out_crc, stored, code.stored_length);
    chunk.compressed_length = code.stored_length;
    table.chunks.push_back(chunk);

    sector += chunk.sector_count;
    remaining -= chunk.sector_count;
  }

  grow_table(table, table.chunks.size(), capacity);
  udif_blkx_chunk_t terminator;
  terminator.type = UDIF_CHUNK_TERMINATOR;
  terminator.sector_start = sector;
  terminator.compressed_offset = stream_tell(out) - table.data_start;
  table.chunks.push_back(terminator);
  return table;
}

}  // namespace volpack
