// volume_format, second half: where every structure of the new volume goes,
// the volume header, and the writes, in this order: clearing, allocation file,
// B-trees, journal info block, the volume header and its alternate copy. The
// clearing wipes any earlier header first and the new one is written last, so
// an interrupted formatting never leaves a volume that looks valid.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "hfs/format.h"
#include "hfs/hfs_status.h"

namespace volpack {

namespace {

constexpr size_t kBufferAlignment = 4096;
constexpr uint32_t kBitsPerSector = 512 * 8;
constexpr SectorNumber kVolumeHeaderSector = 2;
constexpr uint32_t kJournalInfoFill = 0xDB;  // the rest of the journal info block's block

// A zero-filled buffer whose start is aligned to 4096 bytes, so that every
// write could also go to an unbuffered device.
class AlignedBuffer {
 public:
  status allocate(size_t size) {
    try {
      storage_.resize(size + kBufferAlignment);
    } catch (const std::bad_alloc&) {
      return status_errorf("fatal error: out of memory\n");
    } catch (const std::length_error&) {
      return status_errorf("fatal error: out of memory\n");
    }
    uintptr_t at = reinterpret_cast<uintptr_t>(storage_.data());
    data_ = storage_.data() + (kBufferAlignment - at % kBufferAlignment) % kBufferAlignment;
    return status::ok();
  }
  uint8_t* data() { return data_; }

 private:
  std::vector<uint8_t> storage_;
  uint8_t* data_ = nullptr;
};

uint64_t round_up(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

// The content of sector `index` of the allocation file: every block in use
// that falls into it, from the start run and from the end blocks.
void fill_bitmap_sector(uint8_t* sector, uint64_t index, uint64_t startRun, const format_geometry& g) {
  std::memset(sector, 0, 512);
  const uint64_t first = index * kBitsPerSector;
  const uint64_t endFirst = g.totalBlocks - g.endBlocks;
  for (uint64_t b = first; b < first + kBitsPerSector && b < g.totalBlocks; ++b) {
    if (b < startRun || b >= endFirst) sector[(b - first) / 8] |= static_cast<uint8_t>(0x80u >> (b % 8));
  }
}

HFSPlusForkData special_file(uint32_t bytes, BlockNumber start, uint32_t blocks) {
  HFSPlusForkData fork;
  fork.logicalSize = bytes;
  fork.clumpSize = bytes;
  fork.totalBlocks = blocks;
  fork.extents[0].startBlock = start;
  fork.extents[0].blockCount = blocks;
  return fork;
}

HFSPlusVolumeHeader build_volume_header(const format_params& p, const format_geometry& g) {
  const bool hfsx = (p.flags & kFormatCaseSensitiveFlag) != 0;
  HFSPlusVolumeHeader vh;
  vh.signature = hfsx ? kHFSXSigWord : kHFSPlusSigWord;
  vh.version = hfsx ? kHFSXVersion : kHFSPlusVersion;
  vh.attributes = kHFSVolumeUnmountedMask | (p.journaled ? kHFSVolumeJournaledMask : 0);
  vh.lastMountedVersion = fourcc("10.0");
  vh.journalInfoBlock = g.journalInfoBlock;
  // The creation date is local standard time; the bias is UTC minus local time.
  vh.createDate = p.createDate - static_cast<uint32_t>(60 * p.zoneBiasMinutes);
  vh.modifyDate = p.createDate;
  vh.backupDate = 0;
  vh.checkedDate = p.createDate;
  vh.fileCount = p.journaled ? 2 : 0;
  vh.folderCount = 0;
  vh.blockSize = p.blockSize;
  vh.totalBlocks = g.totalBlocks;
  vh.freeBlocks = g.freeBlocks;
  vh.nextAllocation = g.nextAllocation;
  vh.rsrcClumpSize = p.rsrcClumpSize;
  vh.dataClumpSize = p.dataClumpSize;
  vh.nextCatalogID = p.nextFreeFileID + (p.journaled ? 2 : 0);
  vh.writeCount = 0;
  vh.encodingsBitmap = 1;  // Mac Roman
  vh.allocationFile = special_file(p.allocationClumpSize, g.bitmapStart, g.bitmapBlocks);
  vh.extentsFile = special_file(p.extentsClumpSize, g.extentsStart, g.extentsBlocks);
  vh.catalogFile = special_file(p.catalogClumpSize, g.catalogStart, g.catalogBlocks);
  return vh;
}

// Zeros over the metadata area (blocks 0 to usedBlocks - 1) and the last 8
// sectors of the device; nothing else is touched.
status clear_metadata_area(const format_device& d, const format_geometry& g, const uint8_t* zeros) {
  const SectorNumber end = g.usedBlocks * g.sectorsPerBlock;
  for (SectorNumber s = 0; s < end;) {
    uint64_t n = std::min<uint64_t>(end - s, d.sectorsPerIO);
    VOLPACK_RETURN_IF_ERROR(WriteBuffer(d, s, static_cast<size_t>(n * d.sectorSize), zeros));
    s += n;
  }
  return WriteBuffer(d, d.totalSectors - 8, 8 * d.sectorSize, zeros);
}

status write_allocation_file(const format_device& d, const format_geometry& g, uint8_t* buffer) {
  const SectorNumber first = static_cast<SectorNumber>(g.bitmapStart) * g.sectorsPerBlock;
  const uint64_t startRun = g.usedBlocks - g.endBlocks;

  const uint64_t runBytes = round_up((startRun + 7) / 8, 512);
  std::memset(buffer, 0, runBytes);
  format_mark_leading(buffer, startRun);
  VOLPACK_RETURN_IF_ERROR(WriteBuffer(d, first, static_cast<size_t>(runBytes), buffer));

  // The end blocks' sectors, each rewritten with every mark that falls into
  // it (the start run reaches them on small volumes or with large clumps).
  const uint64_t lastSector = (g.totalBlocks - 1) / kBitsPerSector;
  const uint64_t endSector = (g.totalBlocks - g.endBlocks) / kBitsPerSector;
  fill_bitmap_sector(buffer, lastSector, startRun, g);
  VOLPACK_RETURN_IF_ERROR(WriteBuffer(d, first + lastSector, 512, buffer));
  if (endSector != lastSector) {
    fill_bitmap_sector(buffer, endSector, startRun, g);
    VOLPACK_RETURN_IF_ERROR(WriteBuffer(d, first + endSector, 512, buffer));
  }
  return status::ok();
}

status write_journal_info_block(const format_device& d, const format_params& p, const format_geometry& g,
                              uint8_t* buffer) {
  std::memset(buffer, kJournalInfoFill, p.blockSize);
  JournalInfoBlock jib;
  jib.flags = kJIJournalInFSMask | kJIJournalNeedInitMask;
  jib.offset = static_cast<uint64_t>(g.journalStart) * p.blockSize;
  jib.size = p.journalSize;
  encode(jib, buffer);
  return WriteBuffer(d, static_cast<SectorNumber>(g.journalInfoBlock) * g.sectorsPerBlock, p.blockSize, buffer);
}

}  // namespace

void draw_volume_identifier(HFSPlusVolumeHeader* vh, id_source_t* ids) {
  for (size_t i = 24; i < 32; ++i) {
    uint32_t byte = 0;
    do {
      byte = ids->next_u32() & 0xFF;
    } while (byte == 0);
    vh->finderInfo[i] = static_cast<uint8_t>(byte);
  }
}

void format_mark_leading(uint8_t* bits, uint64_t count) {
  std::memset(bits, 0xFF, static_cast<size_t>(count / 8));
  if (count % 8 != 0) bits[count / 8] = static_cast<uint8_t>(0xFF00u >> (count % 8));
}

format_geometry format_compute_geometry(const format_params& p, uint64_t totalSectors) {
  format_geometry g;
  g.sectorsPerBlock = p.blockSize / 512;
  g.totalBlocks = static_cast<uint32_t>(totalSectors / g.sectorsPerBlock);
  // The first whole block after the volume header (bytes 1024 to 1535).
  g.bitmapStart = static_cast<BlockNumber>((kVolumeHeaderOffset + kHFSPlusVolumeHeaderSize + p.blockSize - 1) /
                                           p.blockSize);
  // With 512-byte blocks the alternate header has a block of its own.
  g.endBlocks = p.blockSize == 512 ? 2 : 1;
  g.bitmapBlocks = p.allocationClumpSize / p.blockSize;
  BlockNumber next = g.bitmapStart + g.bitmapBlocks;
  if (p.journaled) {
    g.journalInfoBlock = next;
    g.journalStart = next + 1;
    g.journalBlocks = p.journalSize / p.blockSize;
    next = g.journalStart + g.journalBlocks;
  }
  g.extentsStart = next;
  g.extentsBlocks = p.extentsClumpSize / p.blockSize;
  g.catalogStart = g.extentsStart + g.extentsBlocks;
  g.catalogBlocks = p.catalogClumpSize / p.blockSize;
  g.usedBlocks = static_cast<uint64_t>(g.catalogStart) + g.catalogBlocks + g.endBlocks;
  g.freeBlocks = g.usedBlocks <= g.totalBlocks ? static_cast<uint32_t>(g.totalBlocks - g.usedBlocks) : 0;
  const uint64_t catalogEnd = static_cast<uint64_t>(g.catalogStart) + g.catalogBlocks;
  const uint64_t hint = catalogEnd + 10ull * g.catalogBlocks;
  // The allocation search starts well past the catalog, inside the volume.
  g.nextAllocation = static_cast<BlockNumber>(hint < g.totalBlocks ? hint : catalogEnd);
  return g;
}

status WriteBuffer(const format_device& device, SectorNumber sector, size_t byte_count, const void* buffer) {
  if (byte_count % device.sectorSize != 0)
    return status_errorf("%s: WriteBuffer: byte count %zu is not sector size multiple", device.path, byte_count);
  const SectorNumber at = device.sectorOffset + sector;
  if (!io_write(device.io, at * device.sectorSize, byte_count, buffer))
    return status_errorf("%s: write error (sector %lld, %zu bytes)", device.path, static_cast<long long>(at),
                         byte_count);
  return status::ok();
}

status format_write_volume(const format_device& d, const format_params& params) {
  const format_geometry g = format_compute_geometry(params, d.totalSectors);
  if (g.usedBlocks > g.totalBlocks)
    return status_errorf("%s: partition is too small for its special files (%llu blocks needed, %u available)\n",
                         d.path, static_cast<unsigned long long>(g.usedBlocks), g.totalBlocks);

  HFSPlusVolumeHeader vh = build_volume_header(params, g);
  draw_volume_identifier(&vh, d.context->ids);

  {
    AlignedBuffer zeros;
    VOLPACK_RETURN_IF_ERROR(zeros.allocate(static_cast<size_t>(d.sectorsPerIO) * d.sectorSize));
    VOLPACK_RETURN_IF_ERROR(clear_metadata_area(d, g, zeros.data()));
  }

  const uint64_t workBytes =
      std::max<uint64_t>({params.blockSize, round_up((g.usedBlocks + 7) / 8, 512), 2ull * params.catalogNodeSize,
                          params.extentsNodeSize});
  AlignedBuffer work;
  VOLPACK_RETURN_IF_ERROR(work.allocate(static_cast<size_t>(round_up(round_up(workBytes, 512), kBufferAlignment))));

  VOLPACK_RETURN_IF_ERROR(write_allocation_file(d, g, work.data()));
  VOLPACK_RETURN_IF_ERROR(format_write_btrees(d, params, g, work.data()));
  if (params.journaled) VOLPACK_RETURN_IF_ERROR(write_journal_info_block(d, params, g, work.data()));

  std::memset(work.data(), 0, kHFSPlusVolumeHeaderSize);
  encode(vh, work.data());
  VOLPACK_RETURN_IF_ERROR(WriteBuffer(d, kVolumeHeaderSector, kHFSPlusVolumeHeaderSize, work.data()));
  return WriteBuffer(d, d.totalSectors - 2, kHFSPlusVolumeHeaderSize, work.data());
}

}  // namespace volpack
