// The volume formatter: lays an empty HFS Plus volume into a host file.
//
// `volume_format` creates or resizes the device file, checks and derives its
// parameters, and writes a volume that the volume code opens and the importer
// fills: boot blocks and both copies of the volume header, the allocation file,
// an empty extents-overflow tree, a catalog tree whose one leaf holds the root
// folder and its thread, and, when a journal is asked for, the journal info
// block and the catalog records of the two journal files (the journal itself is
// left for the system that mounts the volume to initialise). There is no
// attributes file.
//
// Only the metadata area and the end of the device are written: the blocks
// from 0 to the end of the catalog file (plus the reserved end blocks' worth)
// are cleared in writes of at most 128 KiB, then the last 8 sectors; everything
// else keeps its content, which is zero in a file the formatter has just
// created or extended. The cost follows the size of the special files, not of
// the volume: formatting a 64 GiB sparse file writes about 34 MiB.
//
// Failure: every refusal and every failed write gives a failed status
// carrying the one message the program prints for it (parameter checks and
// `WriteBuffer` failures begin with the device's name; most have no line end);
// nothing is printed and the process goes on. Warnings ("Warning:") go to the
// run context's reporter and formatting goes on. Nothing is cleaned up: a
// refusal after the device file was created leaves it behind.
//
// The formatter writes only through the device's `io_t`, so it runs as well
// against an in-memory device. The dates come from the run context's clock,
// the zone of the volume header's local creation date too;
// the volume identifier (finder info words 6 and 7) from its identifier
// source, one draw per byte (low byte of each draw, zeros drawn again); the
// image writer draws the segment identifier from the same source afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hfs/hfs_format.h"
#include "io/io.h"
#include "io/run_context.h"
#include "io/status.h"

namespace volpack {

// What a formatting may choose; each member's default selects the default
// behaviour:
//   size 0: format the device at its current length; otherwise (files only,
//     volume_format_file) the file is created (mode 0644) or resized to
//     (floor(size / 512) + 1) * 512 bytes.
//   volume_name null: "untitled"; longer than 255 bytes: cut with a warning.
//   owner 0xFFFFFFFF, group -1, mask 0xFFFF: when all three are "not given"
//     the root folder carries no permissions; when any is given the others
//     default to 0, 0 and 0755 (mask keeps its low 9 bits).
//   case_sensitive: a case-sensitive HFSX volume.
//   journal_size 0: no journal; otherwise a journal of that many bytes
//     (8 MiB per started 100 GiB for 8388608; at least 8 MiB; at most 512 MiB).
//   block_size 0: 4096 (doubled while the volume would exceed 2^32 blocks).
//   first_cnid 0: 16. catalog_node_size 0: 8192, or 4096 on volumes below
//     1 GiB or with blocks below 4096. extents/attributes node size 0: 4096.
//   The clump members count allocation blocks; 0 picks the automatic size.
struct format_options {
  const char* volume_name = nullptr;
  uint64_t size = 0;
  uint32_t owner = 0xFFFFFFFFu;
  int32_t group = -1;
  uint16_t mask = 0xFFFF;
  bool case_sensitive = false;
  uint32_t journal_size = 0;
  uint32_t block_size = 0;
  uint32_t first_cnid = 0;
  uint32_t catalog_node_size = 0, extents_node_size = 0, attributes_node_size = 0;
  uint32_t attributes_clump = 0, allocation_clump = 0, catalog_clump = 0, data_clump = 0, extents_clump = 0,
           rsrc_clump = 0;
};

// Formats `device_bytes` bytes of `device` (from byte 0). `name` names the
// device in messages. Uses the context's reporter, clock and identifier source.
status volume_format(io_t* device, uint64_t device_bytes, const char* name, const format_options& options,
                     const run_context& context);

// Formats the host file at `path`: creates or resizes it as options.size asks,
// then formats it through an io_t over it. Adds the refusals
// "%s: unable to open device file for writing\n" and
// "%s: unable to get device file size\n".
status volume_format_file(const char* path, const format_options& options, const run_context& context);

// Fills the volume identifier (finder info words 6 and 7, bytes 24 to 31) with
// eight non-zero bytes: the low bytes of `ids`' draws, zeros drawn again. The
// formatter draws it; a reproducible run draws it again once its input is known.
void draw_volume_identifier(HFSPlusVolumeHeader* vh, id_source_t* ids);

// The C library's generator, seeded once with `seed`, one `rand()` per draw:
// a known sequence for tests. (It is process-wide and repeats for a repeated
// seed, so the program's own identifiers never come from it.)
class c_rand_ids final : public id_source_t {
 public:
  explicit c_rand_ids(uint32_t seed);
  uint32_t next_u32() override;
};

// ---------------------------------------------------------------------------
// The formatter's pieces, shared by format_params.cpp (parameters and checks),
// format_layout.cpp (geometry and writing) and format_btree.cpp (B-tree nodes),
// and reachable from their tests.

using SectorNumber = uint64_t;  // a 512-byte sector of the device file

// The device being formatted. Its name travels with it so that every write
// can name the device in its failure message.
struct format_device {
  io_t* io = nullptr;          // borrowed
  uint32_t sectorSize = 512;
  uint32_t sectorOffset = 0;   // added to every sector number
  uint32_t sectorsPerIO = 256; // the largest clearing write, in sectors
  uint64_t totalSectors = 0;   // device length / 512, rounded down
  const char* path = "";
  const run_context* context = nullptr;  // borrowed: reporter, clock, ids
};

constexpr uint32_t kFormatCaseSensitiveFlag = 8;  // format_params::flags: HFSX
constexpr uint32_t kFormatOwnershipFlag = 16;     // root folder permissions given

// The derived parameters. Every clump size is the exact size in bytes of the
// special file it belongs to: each B-tree file and the allocation file get one.
struct format_params {
  uint32_t flags = 0;
  uint32_t blockSize = 0;
  uint32_t rsrcClumpSize = 0, dataClumpSize = 0;
  CatalogNodeID nextFreeFileID = 0;
  uint32_t catalogClumpSize = 0, catalogNodeSize = 0;
  uint32_t extentsClumpSize = 0, extentsNodeSize = 0;
  uint32_t attributesClumpSize = 0, attributesNodeSize = 0;  // checked, not used
  uint32_t allocationClumpSize = 0;
  uint32_t createDate = 0;  // seconds since 1904, UTC
  int32_t zoneBiasMinutes = 0;  // UTC minus local standard time, for the header's createDate
  char volumeName[256] = {};
  bool journaled = false;
  uint32_t journalSize = 0;  // bytes, a multiple of blockSize
  uint32_t owner = 0, group = 0;
  uint16_t mask = 0;
};

// Where everything goes, in allocation blocks from byte 0 of the device.
struct format_geometry {
  uint32_t sectorsPerBlock = 0;
  uint32_t totalBlocks = 0;
  BlockNumber bitmapStart = 0;     // the allocation file
  uint32_t endBlocks = 0;          // in use at the end of the volume
  uint32_t bitmapBlocks = 0;
  BlockNumber journalInfoBlock = 0;  // 0 without a journal
  BlockNumber journalStart = 0;
  uint32_t journalBlocks = 0;
  BlockNumber extentsStart = 0;
  uint32_t extentsBlocks = 0;
  BlockNumber catalogStart = 0;
  uint32_t catalogBlocks = 0;
  uint64_t usedBlocks = 0;         // may exceed totalBlocks: the caller refuses that
  uint32_t freeBlocks = 0;
  BlockNumber nextAllocation = 0;
};

format_geometry format_compute_geometry(const format_params& params, uint64_t totalSectors);

// Part two of volume_format: lays out and writes the volume.
status format_write_volume(const format_device& device, const format_params& params);

// Writes the extents-overflow tree, then the catalog tree, using `buffer`
// (at least max(2 * catalogNodeSize, extentsNodeSize) bytes) as scratch.
status format_write_btrees(const format_device& device, const format_params& params,
                           const format_geometry& geometry, uint8_t* buffer);

// The formatter's one way of writing: `byte_count` bytes (a whole number of
// sectors) at `sector`. A failure's message names the device.
status WriteBuffer(const format_device& device, SectorNumber sector, size_t byte_count, const void* buffer);

// Writes `count` empty map nodes of `nodeSize` bytes from `sector` on, numbered
// from `firstNode` and chained through fLink. A failure's message is
// "WriteMapNodes():<1134|1138>: fatal error: ...: <host error text>\n".
status WriteMapNodes(const format_device& device, SectorNumber sector, NodeNumber firstNode, uint32_t count,
                     uint32_t nodeSize, uint8_t* buffer);

// Sets the first `count` bits of a node or block map, most significant bit
// of byte 0 first (whole bytes of 0xFF, then one byte with its top bits set).
void format_mark_leading(uint8_t* bits, uint64_t count);

// Converts a NUL-terminated UTF-8 name (one- to three-byte sequences; ':'
// becomes '/') into `name`, in host order. `limit` is the room in bytes (two
// per unit, at most 510). Returns 0; 22 (EINVAL) on malformed input; 119
// (ENOBUFS) when a further unit would not fit. name->length is 0 on failure.
int utf8_to_hfs_name(const char* utf8, size_t limit, HFSUniStr255* name);

constexpr int kHfsNameInvalid = 22;
constexpr int kHfsNameTooLong = 119;

}  // namespace volpack
