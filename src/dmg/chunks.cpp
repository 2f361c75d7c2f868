#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "dmg/dmg.h"
#include "dmg/message_numbers.h"
#include "dmg/precode.h"
#include "io/buffer.h"

namespace volpack {

// Deflate level 6 is what zlib's default level means.
constexpr int kDeflateLevel = 6;

uint32_t udif_chunk_type_for(uint64_t compressed_length, SectorCount sectors) {
  // A compressed form up to 511 bytes longer than the raw chunk is still kept.
  return compressed_length / kSectorSize > sectors ? UDIF_CHUNK_RAW : UDIF_CHUNK_ZLIB;
}

namespace {

// Compared a page at a time with a page of zeros (memcmp is the fastest
// loop the C library has).
bool all_zero(const uint8_t* p, uint64_t n) {
  static const uint8_t kZeros[4096] = {};
  for (uint64_t i = 0; i < n; i += sizeof kZeros)
    if (std::memcmp(p + i, kZeros, std::min<uint64_t>(sizeof kZeros, n - i)) != 0) return false;
  return true;
}

}  // namespace

chunk_compressor::chunk_compressor() : c_(libdeflate_alloc_compressor(kDeflateLevel)) {}

chunk_compressor::~chunk_compressor() { libdeflate_free_compressor(c_); }

status chunk_compressor::compress(const uint8_t* in, SectorCount sectors, uint8_t* out, chunk_code_t* code) {
  // The failures keep the texts and zlib's codes they have always had.
  if (c_ == nullptr)
    return status_errorf("insertBLKX():%d: zlib deflateInit error (ret = %d)\n", msgno::kBlkxDeflateInit, Z_MEM_ERROR);
  uint64_t raw_length = sectors * kSectorSize;
  // A chunk of zeros codes as the last one did (the same input gives the same bytes).
  bool zeros = all_zero(in, raw_length);
  if (zeros && sectors == zero_sectors_) {
    std::memcpy(out, zero_code_.data(), zero_code_.size());
    *code = zero_kind_;
    return status::ok();
  }
  // The buffer holds the library's bound for a full chunk, so a zero result
  // means the library failed, not that the data would not fit.
  size_t compressed = libdeflate_zlib_compress(c_, in, raw_length, out, kChunkBufferSize);
  if (compressed == 0)
    return status_errorf("insertBLKX():%d: zlib deflate error (ret = %d)\n", msgno::kBlkxDeflate, Z_BUF_ERROR);
  code->type = udif_chunk_type_for(compressed, sectors);
  code->stored_length = code->type == UDIF_CHUNK_RAW ? raw_length : compressed;
  if (zeros && code->type != UDIF_CHUNK_RAW) {
    try {
      zero_code_.assign(out, out + compressed);
      zero_sectors_ = sectors;
      zero_kind_ = *code;
    } catch (const std::bad_alloc&) {
      zero_sectors_ = 0;  // coded anew next time
    }
  }
  return status::ok();
}

status compress_chunk(const uint8_t* in, SectorCount sectors, uint8_t* out, chunk_code_t* code) {
  chunk_compressor c;
  return c.compress(in, sectors, out, code);
}

namespace {

// Makes room for entry `index`: the capacity starts at 2 entries and doubles.
status grow_table(udif_blkx_table_t& table, size_t index, size_t& capacity) {
  if (index < capacity) return status::ok();
  capacity *= 2;
  if (!allocating("insertBLKX", msgno::kBlkxTableGrow, [&] { table.chunks.reserve(capacity); }))
    return status_errorf("%s():%d: realloc error (out of memory)\n", "insertBLKX", msgno::kBlkxTableGrow);
  return status::ok();
}

unsigned default_compression_threads() {
  unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : std::min(cores, 8u);
}

// One chunk on its way through: read, deflated, written.
struct chunk_slot {
  std::vector<uint8_t> in, out;
  std::vector<uint8_t> ahead;  // a code taken from the precoder
  SectorCount sectors = 0;
  chunk_code_t code;
  status coded;
  bool done = false;
};

// Deflates chunks on worker threads while the calling thread reads and
// writes them in order. Every chunk is coded on its own, so the bytes do not
// depend on which thread coded it or when. A ring of slots bounds memory: the
// reader waits for the writer to free the oldest slot. With no worker (one
// thread asked for, or none could start) the calling thread codes each chunk
// as it is handed over.
class deflate_pool {
 public:
  deflate_pool(std::vector<chunk_slot>& slots, unsigned threads) : slots_(slots) {
    for (unsigned i = 0; i < threads; ++i) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  ~deflate_pool() { stop(); }

  // Hands the slot over for coding.
  void submit(size_t slot) {
    if (workers_.empty()) {
      code(slot, own_);
      return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    slots_[slot].done = false;
    queue_.push_back(slot);
    wake_.notify_one();
  }

  // Takes a slot coded elsewhere as coded.
  void done(size_t slot) {
    std::lock_guard<std::mutex> lock(mu_);
    slots_[slot].done = true;
  }

  // Waits until the slot is coded.
  void wait(size_t slot) {
    if (workers_.empty()) return;
    std::unique_lock<std::mutex> lock(mu_);
    done_.wait(lock, [&] { return slots_[slot].done; });
  }

  // Ends the workers; slots still queued stay uncoded.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
      queue_.clear();
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
  }

 private:
  void code(size_t slot, chunk_compressor& c) {
    chunk_slot& s = slots_[slot];
    s.coded = c.compress(s.in.data(), s.sectors, s.out.data(), &s.code);
  }

  void work() {
    chunk_compressor c;
    for (;;) {
      size_t slot;
      {
        std::unique_lock<std::mutex> lock(mu_);
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        slot = queue_.front();
        queue_.pop_front();
      }
      code(slot, c);
      {
        std::lock_guard<std::mutex> lock(mu_);
        slots_[slot].done = true;
      }
      done_.notify_all();
    }
  }

  std::vector<chunk_slot>& slots_;
  chunk_compressor own_;  // for the calling thread when no worker runs
  std::vector<std::thread> workers_;
  std::mutex mu_;
  std::condition_variable wake_, done_;
  std::deque<size_t> queue_;
  bool stopping_ = false;
};

}  // namespace

result<udif_blkx_table_t> insertBLKX(stream_t* out, stream_t* in, SectorNumber first_sector, SectorCount sector_count,
                                     uint32_t block_descriptors, uint32_t* in_crc, uint32_t* in_sum, uint32_t* out_crc,
                                     unsigned threads, progress_t* progress, chunk_precoder* precoded) {
  if (threads == 0) threads = default_compression_threads();
  const uint64_t chunk_count = (sector_count + kChunkSectors - 1) / kChunkSectors;
  // Two slots a thread keep every thread busy while the oldest chunk is written.
  const size_t slot_count =
      static_cast<size_t>(std::min<uint64_t>(threads > 1 ? 2 * threads : 1, std::max<uint64_t>(chunk_count, 1)));
  std::vector<chunk_slot> slots;
  VOLPACK_RETURN_IF_ERROR(allocating(__func__, msgno::kBlkxSlots, [&] { slots.resize(slot_count); }));
  for (chunk_slot& s : slots) {
    VOLPACK_RETURN_IF_ERROR(buffer_alloc(&s.in, kChunkBufferSize, __func__, msgno::kBlkxSlotIn));
    VOLPACK_RETURN_IF_ERROR(buffer_alloc(&s.out, kChunkBufferSize, __func__, msgno::kBlkxSlotOut));
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
  VOLPACK_RETURN_IF_ERROR(allocating(__func__, msgno::kBlkxTable, [&] { table.chunks.reserve(capacity); }));

  // Declared after the slots: on every return the workers end before the
  // slots they code go away.
  deflate_pool pool(slots, threads > 1 ? threads : 0);
  SectorNumber sector = 0;  // counted from the table's first sector
  SectorCount unread = sector_count;
  for (uint64_t next_read = 0, next_write = 0; next_write < chunk_count; ++next_write) {
    for (; next_read < chunk_count && next_read - next_write < slot_count; ++next_read) {
      chunk_slot& s = slots[next_read % slot_count];
      s.sectors = std::min<SectorCount>(unread, kChunkSectors);
      uint64_t raw_length = s.sectors * kSectorSize;
      VOLPACK_RETURN_IF_ERROR(stream_read_exact(in, s.in.data(), raw_length, __func__, msgno::kBlkxRead));
      if (in_crc != nullptr) crc32_checksum(in_crc, s.in.data(), raw_length);
      if (in_sum != nullptr) udif_checksum(in_sum, s.in.data(), raw_length);
      unread -= s.sectors;
      // A chunk coded ahead from these very bytes needs no coding.
      if (precoded != nullptr && first_sector % kChunkSectors == 0 && s.sectors == kChunkSectors &&
          precoded->take(first_sector / kChunkSectors + next_read, &s.ahead, &s.code)) {
        if (s.code.type != UDIF_CHUNK_RAW) std::memcpy(s.out.data(), s.ahead.data(), s.code.stored_length);
        s.coded = status::ok();
        pool.done(next_read % slot_count);
        continue;
      }
      pool.submit(next_read % slot_count);
    }
    chunk_slot& s = slots[next_write % slot_count];
    pool.wait(next_write % slot_count);
    VOLPACK_RETURN_IF_ERROR(s.coded);
    VOLPACK_RETURN_IF_ERROR(grow_table(table, table.chunks.size(), capacity));
    udif_blkx_chunk_t chunk;
    chunk.type = s.code.type;
    chunk.sector_start = sector;
    chunk.sector_count = s.sectors;
    chunk.compressed_offset = stream_tell(out) - table.data_start;
    const uint8_t* stored = s.code.type == UDIF_CHUNK_RAW ? s.in.data() : s.out.data();
    VOLPACK_RETURN_IF_ERROR(stream_write_exact(out, stored, s.code.stored_length, __func__, msgno::kBlkxWrite));
    if (out_crc != nullptr) crc32_checksum(out_crc, stored, s.code.stored_length);
    chunk.compressed_length = s.code.stored_length;
    table.chunks.push_back(chunk);
    sector += chunk.sector_count;
    progress_advance(progress, 0, uint64_t{s.sectors} * kSectorSize);
  }
  pool.stop();

  VOLPACK_RETURN_IF_ERROR(grow_table(table, table.chunks.size(), capacity));
  udif_blkx_chunk_t terminator;
  terminator.type = UDIF_CHUNK_TERMINATOR;
  terminator.sector_start = sector;
  terminator.compressed_offset = stream_tell(out) - table.data_start;
  table.chunks.push_back(terminator);
  return table;
}

}  // namespace volpack
