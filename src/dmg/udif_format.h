// UDIF on-disk records, the in-memory resource list, and the image checksums.
//
// An image as volpack writes it is one file in three consecutive pieces: the
// data fork (the chunks of the volume, compressed or stored, from offset 0),
// the XML property list, and the 512-byte trailer ("koly"). Every integer of
// every record below is big-endian on disk, except the trailer's segment ID.
// Records live in host order in memory; this file holds the one encode/decode
// pair of each record, so that no other code knows their byte layout.
//
// The checksums: `crc32_checksum` is the CRC-32 of ISO-HDLC / IEEE 802.3 kept
// finalised (start from 0, feed consecutive buffers, read the CRC of their
// concatenation); `udif_checksum` rotates left by one and adds each whole
// big-endian 32-bit word; `calculate_udif_master_checksum` is the CRC-32 of
// the block tables' checksum words. Only the master checksum can fail: a list
// without a "blkx" type gives a failed status.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "io/bytes.h"
#include "io/status.h"

namespace volpack {

using SectorNumber = uint64_t;  // 512-byte sectors, counted from the table's first sector
using SectorCount = uint64_t;
using ByteOffset = uint64_t;    // in the image file

constexpr uint32_t kSectorSize = 512;

constexpr uint32_t UDIF_CHECKSUM_CRC32 = 2;
constexpr uint32_t UDIF_CHUNK_ZLIB = 0x80000005;
constexpr uint32_t UDIF_CHUNK_RAW = 1;
constexpr uint32_t UDIF_CHUNK_TERMINATOR = 0xFFFFFFFF;
constexpr uint32_t UDIF_BLKX_SIGNATURE = fourcc("mish");
constexpr uint32_t UDIF_TRAILER_SIGNATURE = fourcc("koly");

constexpr size_t kUdifChecksumSize = 136;
constexpr size_t kUdifTrailerSize = 512;
constexpr size_t kUdifBlkxTableHeaderSize = 204;
constexpr size_t kUdifBlkxChunkSize = 40;
constexpr size_t kUdifCsumSize = 10;

// A checksum as stored in the trailer (twice) and in each block table.
struct udif_checksum_t {
  uint32_t type = 0;                // 0   UDIF_CHECKSUM_CRC32 is the only kind written
  uint32_t size = 0;                // 4   width in bits (32)
  std::array<uint32_t, 32> data{};  // 8   word 0 holds the checksum
};

// The last 512 bytes of the image.
struct udif_trailer_t {
  uint32_t signature = UDIF_TRAILER_SIGNATURE;  // 0
  uint32_t version = 0;                         // 4
  uint32_t header_size = 0;                     // 8
  uint32_t flags = 0;                           // 12
  uint64_t running_data_fork_offset = 0;        // 16
  uint64_t data_fork_offset = 0;                // 24
  uint64_t data_fork_length = 0;                // 32
  uint64_t rsrc_fork_offset = 0;                // 40
  uint64_t rsrc_fork_length = 0;                // 48
  uint32_t segment_number = 0;                  // 56
  uint32_t segment_count = 0;                   // 60
  std::array<uint32_t, 4> segment_id{};         // 64  each word little-endian on disk
  udif_checksum_t data_fork_checksum;           // 80
  uint64_t xml_offset = 0;                      // 216
  uint64_t xml_length = 0;                      // 224
  //                                               232 reserved, 120 bytes of zero
  udif_checksum_t master_checksum;              // 352
  uint32_t image_variant = 0;                   // 488
  uint64_t sector_count = 0;                    // 492
  //                                               500 reserved, 12 bytes of zero
};

// One entry of a block table: a run of sectors and where its stored bytes are.
struct udif_blkx_chunk_t {
  uint32_t type = 0;                 // 0   UDIF_CHUNK_ZLIB, UDIF_CHUNK_RAW or UDIF_CHUNK_TERMINATOR
  uint32_t comment = 0;              // 4
  SectorNumber sector_start = 0;     // 8
  SectorCount sector_count = 0;      // 16  0 in the terminator
  ByteOffset compressed_offset = 0;  // 24  relative to the table's data start
  uint64_t compressed_length = 0;    // 32  0 in the terminator
};

// A block table ("mish"): the data of a "blkx" resource. The chunk count on
// disk is the number of entries, terminator included.
struct udif_blkx_table_t {
  uint32_t signature = UDIF_BLKX_SIGNATURE;  // 0
  uint32_t version = 0;                      // 4
  SectorNumber first_sector = 0;             // 8
  SectorCount sector_count = 0;              // 16
  ByteOffset data_start = 0;                 // 24
  uint32_t buffers_needed = 0;               // 32  sectors per work buffer of the writer
  uint32_t block_descriptors = 0;            // 36
  //                                            40  reserved, 24 bytes of zero
  udif_checksum_t checksum;                  // 64
  //                                            200 chunk count = chunks.size()
  std::vector<udif_blkx_chunk_t> chunks;     // 204, 40 bytes each
};

// The record of the "cSum" resource (no alignment gaps on disk).
struct udif_csum_t {
  uint16_t one = 1;       // 0
  uint32_t two = 2;       // 2
  uint32_t checksum = 0;  // 6  udif_checksum of the uncompressed data
};

static_assert(8 + 32 * 4 == kUdifChecksumSize, "udif_checksum_t layout");
static_assert(500 + 12 == kUdifTrailerSize, "udif_trailer_t layout");
static_assert(64 + kUdifChecksumSize + 4 == kUdifBlkxTableHeaderSize, "udif_blkx_table_t layout");
static_assert(4 + 4 + 4 * 8 == kUdifBlkxChunkSize, "udif_blkx_chunk_t layout");
static_assert(2 + 4 + 4 == kUdifCsumSize, "udif_csum_t layout");

// Encoders write exactly the record's size at `out`; decoders read it back.
void udif_checksum_encode(const udif_checksum_t& c, uint8_t* out);
udif_checksum_t udif_checksum_decode(const uint8_t* in);
void udif_trailer_encode(const udif_trailer_t& t, uint8_t* out);
udif_trailer_t udif_trailer_decode(const uint8_t* in);
void udif_blkx_chunk_encode(const udif_blkx_chunk_t& c, uint8_t* out);
udif_blkx_chunk_t udif_blkx_chunk_decode(const uint8_t* in);

// 204 + 40 x chunk count: the bytes of the table on disk.
size_t udif_blkx_table_disk_size(const udif_blkx_table_t& t);
// Writes udif_blkx_table_disk_size(t) bytes: the table and its entries in disk order.
void udif_blkx_table_to_disk(const udif_blkx_table_t& t, uint8_t* out);
// Reads a table of `size` bytes; false when the size does not match its chunk count.
bool udif_blkx_table_from_disk(const uint8_t* in, size_t size, udif_blkx_table_t* t);
// Writes the 10 bytes of the "cSum" record.
void udif_csum_to_disk(const udif_csum_t& c, uint8_t* out);
udif_csum_t udif_csum_from_disk(const uint8_t* in);

// The running checksums. A null buffer leaves the value unchanged.
void crc32_checksum(uint32_t* crc, const uint8_t* buf, size_t len);
// Only whole words take part: a trailing 1 to 3 bytes are ignored.
void udif_checksum(uint32_t* sum, const uint8_t* buf, size_t len);

// The resource list from which the property list is written. Types keep the
// order of their first insertion, entries within a type theirs; a resource
// holds plain bytes or one of the two records above in host order, which are
// converted to disk order only when the list is written.
using udif_resource_data_t = std::variant<std::vector<uint8_t>, udif_blkx_table_t, udif_csum_t>;

struct udif_resource_t {
  int32_t id = 0;
  std::string name;
  uint32_t attributes = 0;  // 0x50 or 0
  udif_resource_data_t data;
};

struct udif_resource_type_t {
  std::string name;  // "blkx", "cSum", ...
  std::vector<udif_resource_t> entries;
};

using udif_resource_list_t = std::vector<udif_resource_type_t>;

// Length in bytes of the resource's data as written into the property list.
uint64_t udif_resource_size(const udif_resource_t& r);

// The CRC-32 of word 0 of the checksum of every CRC-32 block table of the first
// "blkx" type, in list order, each word big-endian. A list without a "blkx"
// type fails with "calculate_udif_master_checksum():<line>: ERROR: corrupted
// blkx list!\n".
[[nodiscard]] result<uint32_t> calculate_udif_master_checksum(const udif_resource_list_t& list);

}  // namespace volpack
