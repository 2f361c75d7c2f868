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
// Failure: `volume_format` returns 0 or does not return. Every refusal and
// every failed write prints one message and ends the process with status 1
// through die_to: parameter checks and `WriteBuffer` failures on the message
// stream (nothing is printed when it is null), `WriteMapNodes` failures on
// standard error. Warnings ("Warning:") go to standard error and formatting
// goes on; the invalid-name warning goes to the message stream. Nothing is
// cleaned up: a refusal after the device file was created leaves it behind.
//
// The volume identifier (finder info words 6 and 7) comes from the C runtime's
// generator seeded with the current time (std::srand(host_time())); the UDIF
// writer draws its segment identifier from the same generator afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "hfs/hfs_format.h"

namespace volpack {

// Formats `device_path` as an HFS Plus volume. The "not given" value of each
// parameter selects its default:
//   size 0: format the file at its current length; otherwise the file is
//     created (mode 0644) or resized to (floor(size / 512) + 1) * 512 bytes.
//   volume_name null: "untitled"; longer than 255 bytes: cut with a warning.
//   owner 0xFFFFFFFF, group -1, mask 0xFFFF: when all three are "not given"
//     the root folder carries no permissions; when any is given the others
//     default to 0, 0 and 0755 (mask keeps its low 9 bits).
//   case_sensitive non-zero: a case-sensitive HFSX volume.
//   journal_size 0: no journal; otherwise a journal of that many bytes
//     (8 MiB per started 100 GiB for 8388608; at least 8 MiB; at most 512 MiB).
//   block_size 0: 4096 (doubled while the volume would exceed 2^32 blocks).
//   first_cnid 0: 16. catalog_node_size 0: 8192, or 4096 on volumes below
//     1 GiB or with blocks below 4096. extents/attributes node size 0: 4096.
//   The clump parameters count allocation blocks; 0 picks the automatic size.
//   messages: where fatal messages go; null makes them silent.
// Returns 0; every failure ends the process with status 1.
int volume_format(const char* device_path, const char* volume_name, uint64_t size, uint32_t owner,
                  int32_t group, uint16_t mask, uint8_t case_sensitive, uint32_t journal_size,
                  uint32_t block_size, uint32_t first_cnid, uint32_t catalog_node_size,
                  uint32_t extents_node_size, uint32_t attributes_node_size, uint32_t attributes_clump,
                  uint32_t allocation_clump, uint32_t catalog_clump, uint32_t data_clump,
                  uint32_t extents_clump, uint32_t rsrc_clump, std::FILE* messages);

// ---------------------------------------------------------------------------
// The formatter's pieces, shared by format_params.cpp (parameters and checks),
// format_layout.cpp (geometry and writing) and format_btree.cpp (B-tree nodes),
// and reachable from their tests.

using SectorNumber = uint64_t;  // a 512-byte sector of the device file

// The device being formatted. The path and the message stream travel with it
// so that every write can name the device in its failure message.
struct format_device {
  int descriptor = -1;         // open for writing
  uint32_t sectorSize = 512;
  uint32_t sectorOffset = 0;   // added to every sector number
  uint32_t sectorsPerIO = 256; // the largest clearing write, in sectors
  uint64_t totalSectors = 0;   // file length / 512, rounded down
  const char* path = "";
  std::FILE* messages = nullptr;
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

// Part two of volume_format: lays out and writes the volume, closes the device.
void format_write_volume(format_device* device, const format_params& params);

// Writes the extents-overflow tree, then the catalog tree, using `buffer`
// (at least max(2 * catalogNodeSize, extentsNodeSize) bytes) as scratch.
void format_write_btrees(const format_device& device, const format_params& params,
                         const format_geometry& geometry, uint8_t* buffer);

// The formatter's one way of writing: `byte_count` bytes (a whole number of
// sectors) at `sector`. Failures end the process with a message on the
// device's message stream.
void WriteBuffer(const format_device& device, SectorNumber sector, size_t byte_count, const void* buffer);

// Writes `count` empty map nodes of `nodeSize` bytes from `sector` on, numbered
// from `firstNode` and chained through fLink. Failures end the process with a
// message on standard error.
void WriteMapNodes(const format_device& device, SectorNumber sector, NodeNumber firstNode, uint32_t count,
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
