// The UDIF image writer: a raw HFS+ volume in, a zlib-compressed .dmg out.
//
// `convert_to_DMG` reads the whole input stream (a bare volume, not a
// partitioned disk), cuts it into chunks of at most 512 sectors, deflates each
// on its own (zlib format at level 6, coded by libdeflate on
// `ctx.options.compression_threads` threads and written in order, so the
// bytes do not depend on the number of threads), and writes the data fork, the XML resource property list
// ("blkx", "cSum", "nsiz", "plst") and the 512-byte trailer to the output
// stream, which must be empty and at position 0. The trailer's segment ID is
// four values drawn from the run's identifier source. It takes ownership of
// both streams and closes them. It succeeds only when the output was closed
// without error; any failure returns a status whose text names the failing
// step ("convert_to_DMG_or_die():<line>: ...", "insertBLKX():<line>: ...",
// "stream_printf(): ..."), leaving whatever was written for the caller to
// discard. Nothing here prints or ends the process. Memory stays fixed
// whatever the size of the volume: two chunk-sized work buffers per slot of
// the coding pipeline (two slots a thread) and 40 bytes per chunk.
//
// The steps below are exposed for the tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dmg/udif_format.h"
#include "io/run_context.h"
#include "io/status.h"
#include "io/stream.h"

namespace volpack {

// A null stream makes the call succeed at once, converting nothing.
class chunk_precoder;

// With `precoded` (stopped; dmg/precode.h), chunks coded ahead are taken from
// it instead of being coded again; the image is the same.
[[nodiscard]] status convert_to_DMG(std::unique_ptr<stream_t> in, std::unique_ptr<stream_t> out, const run_context& ctx,
                                    chunk_precoder* precoded = nullptr);

// ---- Chunk compression ----

constexpr uint32_t kChunkSectors = 512;                                  // largest chunk
constexpr uint32_t kBuffersNeeded = 520;                                 // sectors per work buffer
constexpr size_t kChunkBufferSize = size_t{kBuffersNeeded} * kSectorSize;  // 266,240 bytes

// What deflating one chunk gave. `type` is UDIF_CHUNK_ZLIB (store the first
// `stored_length` bytes of the output buffer) or UDIF_CHUNK_RAW (store the
// chunk's input as it is, `stored_length` = its size).
struct chunk_code_t {
  uint32_t type = UDIF_CHUNK_ZLIB;
  uint64_t stored_length = 0;
};

// The stored form is raw only when the compressed form does not fit in one
// sector more than the raw chunk: compressed / 512 > sectors.
uint32_t udif_chunk_type_for(uint64_t compressed_length, SectorCount sectors);

// A deflate coder (libdeflate, level 6), kept for many chunks; one per
// thread. `compress` deflates `sectors` x 512 bytes at `in` as one complete
// zlib stream into `out`, which has room for kChunkBufferSize bytes. The
// result depends on the input only, so chunks may be coded in any order, on
// any thread. A coder that could not be allocated gives "insertBLKX():<line>:
// zlib deflateInit error (ret = -4)\n", a failed coding "... zlib deflate
// error (ret = -5)\n" (zlib's codes for the same conditions).
class chunk_compressor {
 public:
  chunk_compressor();
  ~chunk_compressor();
  chunk_compressor(const chunk_compressor&) = delete;
  chunk_compressor& operator=(const chunk_compressor&) = delete;
  [[nodiscard]] status compress(const uint8_t* in, SectorCount sectors, uint8_t* out, chunk_code_t* code);

 private:
  struct libdeflate_compressor* c_;
  // The last chunk of zeros coded, kept: free space repeats it many times.
  SectorCount zero_sectors_ = 0;
  std::vector<uint8_t> zero_code_;
  chunk_code_t zero_kind_;
};
// The same with a coder of its own.
[[nodiscard]] status compress_chunk(const uint8_t* in, SectorCount sectors, uint8_t* out, chunk_code_t* code);

// Reads `sector_count` sectors from `in` at its position, writes their chunks
// to `out` at its position and returns the block table (host order, chunk
// offsets absolute in `out` since data start is 0, terminator last, checksum
// word 0 left 0). Updates each non-null running checksum: the CRC-32 and the
// udif_checksum of the bytes read, the CRC-32 of the bytes written. A short
// read or write, a coding failure or exhausted memory fails the call. Each
// chunk written advances `progress` (when given) by its raw bytes.
// `threads` deflate the chunks (0: one per core, at most 8); the output is the
// same for every value. Chunk k of a table that starts at a multiple of 512
// sectors is chunk first_sector / 512 + k of `precoded`.
[[nodiscard]] result<udif_blkx_table_t> insertBLKX(stream_t* out, stream_t* in, SectorNumber first_sector,
                                                   SectorCount sector_count, uint32_t block_descriptors,
                                                   uint32_t* in_crc, uint32_t* in_sum, uint32_t* out_crc,
                                                   unsigned threads = 0, progress_t* progress = nullptr,
                                                   chunk_precoder* precoded = nullptr);

// ---- Resource property list ----

// The opening lines shared by every property list written: the XML
// declaration, the DOCTYPE of Apple's property list 1.0 DTD, "<plist
// version=\"1.0\">" and "<dict>", each ending in a line feed.
extern const char kPlistPrologue[];

// Adds a resource, or replaces in place the data, name and attributes of the
// one with the same type and ID. New types and entries go after the existing
// ones. Attributes are 0x50 when `attributes_flag` is set, else 0. Fails only
// when memory runs out ("insertData():<line>: malloc error (out of memory)\n").
[[nodiscard]] status insertData(udif_resource_list_t& list, const char* type, int32_t id, const char* name,
                                udif_resource_data_t data, bool attributes_flag);
// The same for plain bytes (copied).
[[nodiscard]] status insertData(udif_resource_list_t& list, const char* type, int32_t id, const char* name, const void* data,
                uint64_t length, bool attributes_flag);

// Base64 (RFC 4648) laid out for the property list: the text opens with
// `tabs` tabs; after every (wrap_column + 1) characters comes a line feed and
// `tabs` tabs again; the text ends with a line feed. Fails only when memory
// runs out.
[[nodiscard]] result<std::string> base64_encode_pretty(const uint8_t* data, uint64_t length, int tabs,
                                                       int wrap_column);

// Writes the list as an XML property list at the output's position; block
// tables and "cSum" records are written in disk order. Fails on a short write
// or when memory runs out.
[[nodiscard]] status write_resource_plist(stream_t* out, const udif_resource_list_t& list);

}  // namespace volpack
