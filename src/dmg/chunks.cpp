#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>
#include <new>
#include <stdexcept>

#include "dmg/dmg.h"
#include "io/buffer.h"

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

status compress_chunk(const uint8_t* in, SectorCount sectors, uint8_t* out, chunk_code_t* code) {
  z_stream z;
  std::memset(&z, 0, sizeof z);  // default allocators
  int ret = deflateInit(&z, Z_DEFAULT_COMPRESSION);
  if (ret != Z_OK) return status_errorf("insertBLKX():%d: zlib deflateInit error (ret = %d)\n", __LINE__, ret);

  uint64_t raw_length = sectors * kSectorSize;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(raw_length);
  z.next_out = out;
  z.avail_out = static_cast<uInt>(kChunkBufferSize);
  ret = deflate(&z, Z_FINISH);
  uint64_t compressed = kChunkBufferSize - z.avail_out;
  deflateEnd(&z);
  if (ret != Z_STREAM_END) return status_errorf("insertBLKX():%d: zlib deflate error (ret = %d)\n", __LINE__, ret);

  code->type = udif_chunk_type_for(compressed, sectors);
  code->stored_length = code->type == UDIF_CHUNK_RAW ? raw_length : compressed;
  return status::ok();
}

namespace {

// Makes room for entry `index`: the capacity starts at 2 entries and doubles.
status grow_table(udif_blkx_table_t& table, size_t index, size_t& capacity) {
  if (index < capacity) return status::ok();
  capacity *= 2;
  if (!allocating("insertBLKX", __LINE__, [&] { table.chunks.reserve(capacity); }))
    return status_errorf("%s():%d: realloc error (out of memory)\n", "insertBLKX", __LINE__);
  return status::ok();
}

size_t compression_workers() {
  unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : std::min<unsigned>(cores, 8);
}

// Runs job(0) .. job(n - 1), one thread each beyond the first, which runs on
// the calling thread. Falls back to running them in turn when no thread starts.
template <class Job>
void compress_in_parallel(size_t n, const Job& job) {
  std::vector<std::thread> threads;
  size_t next = 1;
  for (; next < n; ++next) {
    try {
      threads.emplace_back(job, next);
    } catch (const std::system_error&) {
      break;
    }
  }
  if (n > 0) job(0);
  for (std::thread& t : threads) t.join();
  for (; next < n; ++next) job(next);
}

}  // namespace

result<udif_blkx_table_t> insertBLKX(stream_t* out, stream_t* in, SectorNumber first_sector, SectorCount sector_count,
                                     uint32_t block_descriptors, uint32_t* in_crc, uint32_t* in_sum,
                                     uint32_t* out_crc) {
  // Chunks are independent zlib streams: a batch of them is read in order,
  // deflated on all cores at once, then written in order, so the image is the
  // same byte for byte whatever the number of cores. Memory stays fixed: two
  // work buffers per chunk of a batch.
  const size_t batch = compression_workers();
  std::vector<std::vector<uint8_t>> inbufs, outbufs;
  inbufs.resize(batch);
  outbufs.resize(batch);
  for (size_t i = 0; i < batch; ++i) {
    VOLPACK_RETURN_IF_ERROR(buffer_alloc(&inbufs[i], kChunkBufferSize, __func__, __LINE__));
    VOLPACK_RETURN_IF_ERROR(buffer_alloc(&outbufs[i], kChunkBufferSize, __func__, __LINE__));
  }

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
  VOLPACK_RETURN_IF_ERROR(allocating(__func__, __LINE__, [&] { table.chunks.reserve(capacity); }));

  SectorNumber sector = 0;  // counted from the table's first sector
  SectorCount remaining = sector_count;
  std::vector<SectorCount> sizes(batch);
  std::vector<chunk_code_t> codes(batch);
  std::vector<status> coded(batch);
  while (remaining > 0) {
    size_t n = 0;
    for (; n < batch && remaining > 0; ++n) {
      sizes[n] = remaining < kChunkSectors ? remaining : kChunkSectors;
      uint64_t raw_length = sizes[n] * kSectorSize;
      VOLPACK_RETURN_IF_ERROR(stream_read_exact(in, inbufs[n].data(), raw_length, __func__, __LINE__));
      if (in_crc != nullptr) crc32_checksum(in_crc, inbufs[n].data(), raw_length);
      if (in_sum != nullptr) udif_checksum(in_sum, inbufs[n].data(), raw_length);
      remaining -= sizes[n];
    }
    compress_in_parallel(
        n, [&](size_t i) { coded[i] = compress_chunk(inbufs[i].data(), sizes[i], outbufs[i].data(), &codes[i]); });

    for (size_t i = 0; i < n; ++i) {
      const chunk_code_t& code = codes[i];
      VOLPACK_RETURN_IF_ERROR(coded[i]);
      VOLPACK_RETURN_IF_ERROR(grow_table(table, table.chunks.size(), capacity));
      udif_blkx_chunk_t chunk;
      chunk.type = code.type;
      chunk.sector_start = sector;
      chunk.sector_count = sizes[i];
      chunk.compressed_offset = stream_tell(out) - table.data_start;
      const uint8_t* stored = code.type == UDIF_CHUNK_RAW ? inbufs[i].data() : outbufs[i].data();
      VOLPACK_RETURN_IF_ERROR(stream_write_exact(out, stored, code.stored_length, __func__, __LINE__));
      if (out_crc != nullptr) crc32_checksum(out_crc, stored, code.stored_length);
      chunk.compressed_length = code.stored_length;
      table.chunks.push_back(chunk);
      sector += chunk.sector_count;
    }
  }

  VOLPACK_RETURN_IF_ERROR(grow_table(table, table.chunks.size(), capacity));
  udif_blkx_chunk_t terminator;
  terminator.type = UDIF_CHUNK_TERMINATOR;
  terminator.sector_start = sector;
  terminator.compressed_offset = stream_tell(out) - table.data_start;
  table.chunks.push_back(terminator);
  return table;
}

}  // namespace volpack
