// volume_format, first half: the parameters, their defaults and derived values,
// and the checks, in the order in which they are made. Each refusal ends the
// process at once, so every later step sees only values that passed.
#include <algorithm>
#include <cstring>

#include "hfs/format.h"
#include "io/die.h"
#include "io/host_fs.h"

namespace volpack {

namespace {

constexpr uint32_t kNotGivenOwner = 0xFFFFFFFFu;
constexpr int32_t kNotGivenGroup = -1;
constexpr uint16_t kNotGivenMask = 0xFFFF;
constexpr uint16_t kDefaultMask = 0755;

constexpr uint64_t kMinVolumeBytes = 524288;
constexpr uint64_t kLargeVolumeSectors = 0x40000000;  // 512 GiB: must be a multiple of 4 KiB
constexpr uint64_t kMaxBlocks = 0xFFFFFFFFu;
constexpr uint32_t kMinBlockSize = 512;
constexpr uint32_t kMaxBlockSize = 131072;
constexpr uint32_t kOptimalBlockSize = 4096;

constexpr uint32_t kDefaultJournalSize = 8388608;  // also "scale with the volume" when given
constexpr uint32_t kMinJournalSize = 524288;
constexpr uint32_t kMaxJournalSize = 536870912;
constexpr uint64_t kJournalScaleBytes = 107374182400ull;  // 8 MiB more per 100 GiB

constexpr uint64_t kOneGiB = 1073741824;

// Default clump of the catalog and extents trees, in MiB, by volume size
// class: index i covers volumes of 2^i GiB up to 2^(i+1) GiB, the last one all
// larger volumes.
constexpr uint16_t kCatalogClumpMiB[15] = {4, 6, 8, 11, 14, 19, 25, 34, 45, 60, 80, 107, 144, 192, 256};
constexpr uint16_t kExtentsClumpMiB[15] = {4, 4, 4, 5, 5, 6, 7, 8, 9, 11, 14, 16, 20, 25, 32};

bool is_power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint32_t node_size_or_die(uint32_t given, uint32_t fallback, uint32_t lowest, const char* message,
                          const char* path, std::FILE* messages) {
  uint32_t size = given != 0 ? given : fallback;
  if (size < lowest || size > 32768 || !is_power_of_two(size)) die_to(messages, message, path);
  return size;
}

// A clump parameter, given in blocks, as bytes; it must fit in 32 bits.
uint32_t clump_bytes_or_die(uint32_t blocks, uint32_t blockSize, std::FILE* messages) {
  uint64_t bytes = static_cast<uint64_t>(blocks) * blockSize;
  if (bytes > 0xFFFFFFFFu) die_to(messages, "=%lld: too many blocks for clump size!", static_cast<long long>(blocks));
  return static_cast<uint32_t>(bytes);
}

// The default size of a fork's clump (resource and data forks alike).
uint32_t fork_clump(uint32_t given_blocks, uint32_t blockSize, std::FILE* messages) {
  if (given_blocks != 0) return clump_bytes_or_die(given_blocks, blockSize, messages);
  if (blockSize <= 4096) return 16 * blockSize;
  return (65536 + blockSize - 1) / blockSize * blockSize;
}

uint32_t default_btree_clump(uint64_t totalSectors, uint32_t nodeSize, uint32_t blockSize, const uint16_t* table_mib) {
  uint64_t clump = 0;
  if (totalSectors >= 2097152) {  // 1 GiB and more
    uint64_t units = totalSectors / 4194304;  // whole 2 GiB
    int i = 0;
    while (units > 0 && i < 14) {
      units /= 2;
      ++i;
    }
    clump = static_cast<uint64_t>(table_mib[i]) * 1048576;
  } else {
    clump = std::max<uint64_t>(totalSectors * 4, 8ull * nodeSize);
  }
  uint64_t unit = std::max(nodeSize, blockSize);
  return static_cast<uint32_t>(std::max<uint64_t>(1, clump / unit) * unit);
}

// A B-tree file's clump: given in blocks (a whole number of nodes) or by the
// default rule. `letter` names the tree in the messages.
uint32_t btree_clump_or_die(uint32_t given_blocks, uint32_t nodeSize, uint32_t blockSize, uint64_t totalSectors,
                            const uint16_t* table_mib, char letter, std::FILE* messages) {
  if (given_blocks == 0) return default_btree_clump(totalSectors, nodeSize, blockSize, table_mib);
  uint32_t bytes = clump_bytes_or_die(given_blocks, blockSize, messages);
  if (bytes % nodeSize != 0)
    die_to(messages, "%c=%lld: clump size is not a multiple of node size\n", letter,
           static_cast<long long>(given_blocks));
  return bytes;
}

uint32_t journal_size_for(uint32_t given, uint64_t volumeBytes, const char* path) {
  uint64_t size = 0;
  if (given == 0 || given == kDefaultJournalSize) {
    size = (volumeBytes / kJournalScaleBytes + 1) * kDefaultJournalSize;
  } else {
    size = given;
    if (size < kMinJournalSize) {
      size = kDefaultJournalSize;
      if (given > 1)
        std::fprintf(stderr, "%s: Warning: journal size %dk too small.  Reset to %dk.\n", path,
                     static_cast<int>(given / 1024), static_cast<int>(kDefaultJournalSize / 1024));
    }
  }
  return static_cast<uint32_t>(std::min<uint64_t>(size, kMaxJournalSize));
}

}  // namespace

int volume_format(const char* device_path, const char* volume_name, uint64_t size, uint32_t owner, int32_t group,
                  uint16_t mask, uint8_t case_sensitive, uint32_t journal_size, uint32_t block_size,
                  uint32_t first_cnid, uint32_t catalog_node_size, uint32_t extents_node_size,
                  uint32_t attributes_node_size, uint32_t attributes_clump, uint32_t allocation_clump,
                  uint32_t catalog_clump, uint32_t data_clump, uint32_t extents_clump, uint32_t rsrc_clump,
                  std::FILE* messages) {
  const char* path = device_path;
  format_params params;

  params.nextFreeFileID = first_cnid != 0 ? first_cnid : kHFSFirstUserCatalogNodeID;
  if (params.nextFreeFileID < kHFSFirstUserCatalogNodeID)
    die_to(messages, "%s: starting catalog node id too small (must be > 15)", path);
  params.attributesNodeSize =
      node_size_or_die(attributes_node_size, 4096, 1024, "%s: invalid atrribute b-tree node size", path, messages);
  params.catalogNodeSize =
      node_size_or_die(catalog_node_size, 8192, 4096, "%s: invalid catalog b-tree node size", path, messages);
  params.extentsNodeSize =
      node_size_or_die(extents_node_size, 4096, 1024, "%s: invalid extents b-tree node size", path, messages);

  // Create or resize the file; a failure here shows as the open below failing
  // or as the size check refusing the file.
  if (size != 0) {
    int fd = host_open(path, HOST_O_WRONLY | HOST_O_CREAT, 0644);
    if (fd >= 0) {
      (void)host_ftruncate(fd, (size / 512 + 1) * 512);
      host_close(fd);
    }
  }

  format_device device;
  device.path = path;
  device.messages = messages;
  device.descriptor = host_open(path, HOST_O_WRONLY, 0);
  if (device.descriptor < 0) die_to(messages, "%s: unable to open device file for writing\n", path);
  host_stat_t st;
  if (host_fstat(device.descriptor, &st) != 0) die_to(messages, "%s: unable to get device file size\n", path);
  device.totalSectors = st.size / device.sectorSize;
  const uint64_t totalSectors = device.totalSectors;

  if (block_size != 0) {
    if (!is_power_of_two(block_size))
      die_to(messages, "%s: bad HFS+ allocation block size (must be a power of two)", path);
    if (block_size < kMinBlockSize) die_to(messages, "%s: bad HFS+ allocation block size (too small)", path);
    if (block_size > kMaxBlockSize) die_to(messages, "%s: bad HFS+ allocation block size (too large)", path);
    if (totalSectors / (block_size / 512) > kMaxBlocks)
      die_to(messages, "%s: block size %zu is too small for %lld sectors", path, static_cast<size_t>(block_size),
             static_cast<long long>(totalSectors));
    if (block_size < kOptimalBlockSize)
      std::fprintf(stderr, "%s: Warning: %zu is a non-optimal block size (4096 would be a better choice)", path,
                   static_cast<size_t>(block_size));
    params.blockSize = block_size;
  } else {
    params.blockSize = kOptimalBlockSize;
    while (totalSectors / (params.blockSize / 512) > kMaxBlocks) params.blockSize *= 2;
  }
  const uint32_t blockSize = params.blockSize;

  if (totalSectors * 512 < kMinVolumeBytes)
    die_to(messages, "%s: partition is too small (minimum is %d KB)", path, static_cast<int>(kMinVolumeBytes / 1024));
  if (totalSectors >= kLargeVolumeSectors && totalSectors % 8 != 0)
    die_to(messages, "%s: partition size not a multiple of 4K.", path);

  params.flags = 0;
  params.createDate = hfs_date_from_unix(host_time());
  params.journaled = journal_size > 0;

  if (owner != kNotGivenOwner || group != kNotGivenGroup || mask != kNotGivenMask) {
    params.owner = owner != kNotGivenOwner ? owner : 0;
    params.group = group != kNotGivenGroup ? static_cast<uint32_t>(group) : 0;
    params.mask = mask != kNotGivenMask ? static_cast<uint16_t>(mask & 0x1FF) : kDefaultMask;
    params.flags |= kFormatOwnershipFlag;
  }

  const uint64_t volumeBytes = totalSectors * 512;
  params.journalSize = journal_size_for(journal_size, volumeBytes, path);
  // The journal file and the journal info block's size must describe whole
  // blocks, or the journal would run into the extents file that follows it.
  params.journalSize = static_cast<uint32_t>((static_cast<uint64_t>(params.journalSize) + blockSize - 1) /
                                             blockSize * blockSize);

  if (volume_name != nullptr) {
    size_t length = std::strlen(volume_name);
    if (length > kHFSMaxNameUnits) {
      std::fprintf(stderr, "%s: Warning: volume name too long (truncated to %zu chars)\n", path, kHFSMaxNameUnits);
      length = kHFSMaxNameUnits;
    }
    std::memcpy(params.volumeName, volume_name, length);
    params.volumeName[length] = '\0';
  } else {
    std::strcpy(params.volumeName, "untitled");
  }

  params.rsrcClumpSize = fork_clump(rsrc_clump, blockSize, messages);
  params.dataClumpSize = fork_clump(data_clump, blockSize, messages);

  if (catalog_node_size == 0 && (blockSize < 4096 || volumeBytes < kOneGiB)) params.catalogNodeSize = 4096;

  params.catalogClumpSize = btree_clump_or_die(catalog_clump, params.catalogNodeSize, blockSize, totalSectors,
                                               kCatalogClumpMiB, 'c', messages);
  // The catalog file holds at least its header node and the root leaf.
  if (params.catalogClumpSize < 2 * params.catalogNodeSize)
    die_to(messages, "c=%lld: clump size is too small for two nodes\n", static_cast<long long>(catalog_clump));
  if (blockSize < 4096 && blockSize < params.catalogNodeSize)
    std::fprintf(stderr, "%s: Warning: block size %ld is less than catalog b-tree node size %ld", path,
                 static_cast<long>(blockSize), static_cast<long>(params.catalogNodeSize));

  params.extentsClumpSize = btree_clump_or_die(extents_clump, params.extentsNodeSize, blockSize, totalSectors,
                                               kExtentsClumpMiB, 'e', messages);
  if (blockSize < params.extentsNodeSize)
    std::fprintf(stderr, "%s: Warning: block size %ld is less than extents b-tree node size %ld", path,
                 static_cast<long>(blockSize), static_cast<long>(params.extentsNodeSize));

  if (attributes_clump != 0) {
    params.attributesClumpSize = clump_bytes_or_die(attributes_clump, blockSize, messages);
    if (params.attributesClumpSize % params.attributesNodeSize != 0)
      die_to(messages, "a=%lld: clump size is not a multiple of node size\n", static_cast<long long>(attributes_clump));
  }

  const uint64_t volumeBlocks = totalSectors / (blockSize / 512);
  const uint64_t bitmapBytes = ((volumeBlocks + 7) / 8 + blockSize - 1) / blockSize * blockSize;
  if (allocation_clump != 0) {
    params.allocationClumpSize = clump_bytes_or_die(allocation_clump, blockSize, messages);
    if (params.allocationClumpSize < bitmapBytes)
      die_to(messages, "b=%lld: bitmap clump size is too small\n", static_cast<long long>(allocation_clump));
  } else {
    params.allocationClumpSize = static_cast<uint32_t>(bitmapBytes);
  }

  if (case_sensitive != 0) params.flags |= kFormatCaseSensitiveFlag;

  format_write_volume(&device, params);
  return 0;
}

}  // namespace volpack
