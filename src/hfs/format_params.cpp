// volume_format, first half: the parameters, their defaults and derived values,
// and the checks, in the order in which they are made. Each refusal returns at
// once, so every later step sees only values that passed.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <cstring>

#include "hfs/format.h"
#include "hfs/hfs_status.h"
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

result<uint32_t> node_size(uint32_t given, uint32_t fallback, uint32_t lowest, const char* message, const char* path) {
  uint32_t size = given != 0 ? given : fallback;
  if (size < lowest || size > 32768 || !is_power_of_two(size)) return status_errorf(message, path);
  return size;
}

// A clump parameter, given in blocks, as bytes; it must fit in 32 bits.
result<uint32_t> clump_bytes(uint32_t blocks, uint32_t blockSize) {
  uint64_t bytes = static_cast<uint64_t>(blocks) * blockSize;
  if (bytes > 0xFFFFFFFFu) return status_errorf("=%lld: too many blocks for clump size!", static_cast<long long>(blocks));
  return static_cast<uint32_t>(bytes);
}

// The default size of a fork's clump (resource and data forks alike).
result<uint32_t> fork_clump(uint32_t given_blocks, uint32_t blockSize) {
  if (given_blocks != 0) return clump_bytes(given_blocks, blockSize);
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
result<uint32_t> btree_clump(uint32_t given_blocks, uint32_t nodeSize, uint32_t blockSize, uint64_t totalSectors,
                             const uint16_t* table_mib, char letter) {
  if (given_blocks == 0) return default_btree_clump(totalSectors, nodeSize, blockSize, table_mib);
  uint32_t bytes;
  VOLPACK_ASSIGN_OR_RETURN(bytes, clump_bytes(given_blocks, blockSize));
  if (bytes % nodeSize != 0)
    return status_errorf("%c=%lld: clump size is not a multiple of node size\n", letter,
                         static_cast<long long>(given_blocks));
  return bytes;
}

uint32_t journal_size_for(uint32_t given, uint64_t volumeBytes, const char* path, reporter_t* reporter) {
  uint64_t size = 0;
  if (given == 0 || given == kDefaultJournalSize) {
    size = (volumeBytes / kJournalScaleBytes + 1) * kDefaultJournalSize;
  } else {
    size = given;
    if (size < kMinJournalSize) {
      size = kDefaultJournalSize;
      if (given > 1)
        reporter->warnf("%s: Warning: journal size %dk too small.  Reset to %dk.\n", path,
                        static_cast<int>(given / 1024), static_cast<int>(kDefaultJournalSize / 1024));
    }
  }
  return static_cast<uint32_t>(std::min<uint64_t>(size, kMaxJournalSize));
}

status check_ids_and_node_sizes(const format_options& options, const char* path, format_params* params) {
  params->nextFreeFileID = options.first_cnid != 0 ? options.first_cnid : kHFSFirstUserCatalogNodeID;
  if (params->nextFreeFileID < kHFSFirstUserCatalogNodeID)
    return status_errorf("%s: starting catalog node id too small (must be > 15)", path);
  VOLPACK_ASSIGN_OR_RETURN(params->attributesNodeSize, node_size(options.attributes_node_size, 4096, 1024,
                                                                 "%s: invalid atrribute b-tree node size", path));
  VOLPACK_ASSIGN_OR_RETURN(params->catalogNodeSize, node_size(options.catalog_node_size, 8192, 4096,
                                                              "%s: invalid catalog b-tree node size", path));
  VOLPACK_ASSIGN_OR_RETURN(params->extentsNodeSize, node_size(options.extents_node_size, 4096, 1024,
                                                              "%s: invalid extents b-tree node size", path));
  return status::ok();
}

}  // namespace

c_rand_ids::c_rand_ids(uint32_t seed) { std::srand(seed); }

uint32_t c_rand_ids::next_u32() { return static_cast<uint32_t>(std::rand()); }

status volume_format_file(const char* path, const format_options& options, const run_context& context) {
  // The checks that come before the file is touched.
  format_params checked;
  VOLPACK_RETURN_IF_ERROR(check_ids_and_node_sizes(options, path, &checked));
  // Create or resize the file; a failure here shows as the open below failing
  // or as the size check refusing the file.
  if (options.size != 0) {
    int fd = host_open(path, HOST_O_WRONLY | HOST_O_CREAT, 0644);
    if (fd >= 0) {
      (void)host_ftruncate(fd, (options.size / 512 + 1) * 512);
      host_close(fd);
    }
  }
  host_stat_t st;
  if (host_stat(path, &st) != 0 || st.type == DT_DIR)
    return status_errorf("%s: unable to open device file for writing\n", path);
  std::unique_ptr<io_t> device = create_io_from_path(path);
  if (device == nullptr) return status_errorf("%s: unable to open device file for writing\n", path);
  if (host_stat(path, &st) != 0) {
    (void)io_close(std::move(device));
    return status_errorf("%s: unable to get device file size\n", path);
  }
  status formatted = volume_format(device.get(), st.size, path, options, context);
  bool closed = io_close(std::move(device));
  if (formatted && !closed) return status_errorf("%s: write error (closing the device)", path);
  return formatted;
}

status volume_format(io_t* io, uint64_t device_bytes, const char* name, const format_options& options,
                     const run_context& context) {
  const char* path = name;
  reporter_t* reporter = context.reporter;
  format_params params;
  VOLPACK_RETURN_IF_ERROR(check_ids_and_node_sizes(options, path, &params));

  format_device device;
  device.io = io;
  device.path = path;
  device.context = &context;
  device.totalSectors = device_bytes / device.sectorSize;
  const uint64_t totalSectors = device.totalSectors;

  const uint32_t block_size = options.block_size;
  if (block_size != 0) {
    if (!is_power_of_two(block_size))
      return status_errorf("%s: bad HFS+ allocation block size (must be a power of two)", path);
    if (block_size < kMinBlockSize) return status_errorf("%s: bad HFS+ allocation block size (too small)", path);
    if (block_size > kMaxBlockSize) return status_errorf("%s: bad HFS+ allocation block size (too large)", path);
    if (totalSectors / (block_size / 512) > kMaxBlocks)
      return status_errorf("%s: block size %zu is too small for %lld sectors", path, static_cast<size_t>(block_size),
                           static_cast<long long>(totalSectors));
    if (block_size < kOptimalBlockSize)
      reporter->warnf("%s: Warning: %zu is a non-optimal block size (4096 would be a better choice)", path,
                      static_cast<size_t>(block_size));
    params.blockSize = block_size;
  } else {
    params.blockSize = kOptimalBlockSize;
    while (totalSectors / (params.blockSize / 512) > kMaxBlocks) params.blockSize *= 2;
  }
  const uint32_t blockSize = params.blockSize;

  if (totalSectors * 512 < kMinVolumeBytes)
    return status_errorf("%s: partition is too small (minimum is %d KB)", path,
                         static_cast<int>(kMinVolumeBytes / 1024));
  if (totalSectors >= kLargeVolumeSectors && totalSectors % 8 != 0)
    return status_errorf("%s: partition size not a multiple of 4K.", path);

  params.flags = 0;
  params.createDate = hfs_date_from_unix(context.clock->now());
  params.zoneBiasMinutes = context.clock->zone_bias_minutes();
  params.journaled = options.journal_size > 0;

  if (options.owner != kNotGivenOwner || options.group != kNotGivenGroup || options.mask != kNotGivenMask) {
    params.owner = options.owner != kNotGivenOwner ? options.owner : 0;
    params.group = options.group != kNotGivenGroup ? static_cast<uint32_t>(options.group) : 0;
    params.mask = options.mask != kNotGivenMask ? static_cast<uint16_t>(options.mask & 0x1FF) : kDefaultMask;
    params.flags |= kFormatOwnershipFlag;
  }

  const uint64_t volumeBytes = totalSectors * 512;
  params.journalSize = journal_size_for(options.journal_size, volumeBytes, path, reporter);
  // The journal file and the journal info block's size must describe whole
  // blocks, or the journal would run into the extents file that follows it.
  params.journalSize = static_cast<uint32_t>((static_cast<uint64_t>(params.journalSize) + blockSize - 1) /
                                             blockSize * blockSize);

  if (options.volume_name != nullptr) {
    size_t length = std::strlen(options.volume_name);
    if (length > kHFSMaxNameUnits) {
      reporter->warnf("%s: Warning: volume name too long (truncated to %zu chars)\n", path, kHFSMaxNameUnits);
      length = kHFSMaxNameUnits;
    }
    std::memcpy(params.volumeName, options.volume_name, length);
    params.volumeName[length] = '\0';
  } else {
    std::strcpy(params.volumeName, "untitled");
  }

  VOLPACK_ASSIGN_OR_RETURN(params.rsrcClumpSize, fork_clump(options.rsrc_clump, blockSize));
  VOLPACK_ASSIGN_OR_RETURN(params.dataClumpSize, fork_clump(options.data_clump, blockSize));

  if (options.catalog_node_size == 0 && (blockSize < 4096 || volumeBytes < kOneGiB)) params.catalogNodeSize = 4096;

  VOLPACK_ASSIGN_OR_RETURN(params.catalogClumpSize, btree_clump(options.catalog_clump, params.catalogNodeSize,
                                                                blockSize, totalSectors, kCatalogClumpMiB, 'c'));
  // The catalog file holds at least its header node and the root leaf.
  if (params.catalogClumpSize < 2 * params.catalogNodeSize)
    return status_errorf("c=%lld: clump size is too small for two nodes\n",
                         static_cast<long long>(options.catalog_clump));
  if (blockSize < 4096 && blockSize < params.catalogNodeSize)
    reporter->warnf("%s: Warning: block size %ld is less than catalog b-tree node size %ld", path,
                    static_cast<long>(blockSize), static_cast<long>(params.catalogNodeSize));

  VOLPACK_ASSIGN_OR_RETURN(params.extentsClumpSize, btree_clump(options.extents_clump, params.extentsNodeSize,
                                                                blockSize, totalSectors, kExtentsClumpMiB, 'e'));
  if (blockSize < params.extentsNodeSize)
    reporter->warnf("%s: Warning: block size %ld is less than extents b-tree node size %ld", path,
                    static_cast<long>(blockSize), static_cast<long>(params.extentsNodeSize));

  if (options.attributes_clump != 0) {
    VOLPACK_ASSIGN_OR_RETURN(params.attributesClumpSize, clump_bytes(options.attributes_clump, blockSize));
    if (params.attributesClumpSize % params.attributesNodeSize != 0)
      return status_errorf("a=%lld: clump size is not a multiple of node size\n",
                           static_cast<long long>(options.attributes_clump));
  }

  const uint64_t volumeBlocks = totalSectors / (blockSize / 512);
  const uint64_t bitmapBytes = ((volumeBlocks + 7) / 8 + blockSize - 1) / blockSize * blockSize;
  if (options.allocation_clump != 0) {
    VOLPACK_ASSIGN_OR_RETURN(params.allocationClumpSize, clump_bytes(options.allocation_clump, blockSize));
    if (params.allocationClumpSize < bitmapBytes)
      return status_errorf("b=%lld: bitmap clump size is too small\n", static_cast<long long>(options.allocation_clump));
  } else {
    params.allocationClumpSize = static_cast<uint32_t>(bitmapBytes);
  }

  if (options.case_sensitive) params.flags |= kFormatCaseSensitiveFlag;

  return format_write_volume(device, params);
}

}  // namespace volpack
