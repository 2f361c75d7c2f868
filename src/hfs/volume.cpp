// Opening and closing a volume, and writing its header.
#include <cstring>
#include <new>

#include "hfs/btree_cache.h"
#include "hfs/catalog.h"
#include "hfs/hfs_status.h"
#include "hfs/volume.h"

namespace volpack {

namespace {

// Nodes the trees keep in memory (hfs/btree_cache.h): the catalog's hot
// nodes while a tree of many thousand records is built, 4 MiB at 4 KiB nodes.
constexpr size_t kCatalogCacheNodes = 1024;
constexpr size_t kExtentsCacheNodes = 64;

uint64_t alternate_header_offset(const HFSPlusVolumeHeader& h) {
  return static_cast<uint64_t>(h.totalBlocks) * h.blockSize - 2 * 512;
}

// The formatter writes the alternate header at the device's second-to-last
// sector, which lies up to a block beyond totalBlocks x blockSize - 1024 when
// the device does not end at a block boundary; readers that size the volume by
// its device look there. The copy is found by its bytes, equal to the header's
// at open time; 0 when there is none besides the usual one.
uint64_t find_device_alternate(volume_t* volume, const uint8_t* primary) {
  const HFSPlusVolumeHeader& h = volume->header;
  if (h.blockSize < 1024 || h.totalBlocks == 0) return 0;
  uint64_t usual = alternate_header_offset(h);
  uint8_t sector[kHFSPlusVolumeHeaderSize];
  for (uint64_t offset = usual + h.blockSize - 512; offset > usual; offset -= 512) {
    if (io_read(volume->device, offset, sizeof sector, sector) &&
        std::memcmp(sector, primary, sizeof sector) == 0) {
      return offset;
    }
  }
  return 0;
}

// A volume that cannot be opened; a failed transfer of a tree's fork is told
// in the fork's own words.
status not_opened(volume_t* volume) {
  status s = status_errorf("error: unable to open newly created HFS filesystem\n");
  return volume != nullptr ? volume_tree_status(volume, s) : s;
}

}  // namespace

result<std::unique_ptr<volume_t>> volume_open(io_t* device, reporter_t* reporter) {
  if (device == nullptr) return not_opened(nullptr);
  std::unique_ptr<volume_t> volume(new (std::nothrow) volume_t);
  if (volume == nullptr) return status_errorf("volume_open():%d: malloc error (out of memory)\n", msgno::kOpenAlloc);
  volume->device = device;
  volume->reporter = reporter;
  volume->extents_tree.reporter = reporter;
  volume->catalog_tree.reporter = reporter;
  uint8_t raw[kHFSPlusVolumeHeaderSize];
  if (!io_read(device, kVolumeHeaderOffset, sizeof raw, raw)) return not_opened(volume.get());
  decode(raw, &volume->header);
  volume->device_alternate_offset = find_device_alternate(volume.get(), raw);

  // The extents tree first: a special file of more than eight extents needs it.
  std::unique_ptr<hfsfile_t> file;
  VOLPACK_ASSIGN_OR_RETURN(file,
                           volume_open_hfsfile(volume.get(), kHFSExtentsFileID, &volume->header.extentsFile, nullptr));
  if (!extents_tree_open(&volume->extents_tree, std::move(file))) return not_opened(volume.get());
  VOLPACK_ASSIGN_OR_RETURN(file,
                           volume_open_hfsfile(volume.get(), kHFSCatalogFileID, &volume->header.catalogFile, nullptr));
  if (!catalog_open(&volume->catalog_tree, std::move(file))) return not_opened(volume.get());
  btree_cache_attach(&volume->extents_tree, kExtentsCacheNodes);
  btree_cache_attach(&volume->catalog_tree, kCatalogCacheNodes);
  VOLPACK_ASSIGN_OR_RETURN(volume->allocation_file, volume_open_hfsfile(volume.get(), kHFSAllocationFileID,
                                                                        &volume->header.allocationFile, nullptr));
  VOLPACK_ASSIGN_OR_RETURN(volume->private_folder_id, volume_get_private_data_folder_id(volume.get()));
  return volume;
}

bool volume_update(volume_t* volume) {
  uint8_t raw[kHFSPlusVolumeHeaderSize];
  encode(volume->header, raw);
  if (!io_write(volume->device, kVolumeHeaderOffset, sizeof raw, raw)) return false;
  if (!io_write(volume->device, alternate_header_offset(volume->header), sizeof raw, raw)) return false;
  if (volume->device_alternate_offset != 0 &&
      !io_write(volume->device, volume->device_alternate_offset, sizeof raw, raw)) {
    return false;
  }
  return true;
}

void volume_close(std::unique_ptr<volume_t> volume) {
  if (volume == nullptr) return;
  hfsfile_close(std::move(volume->allocation_file));
  btree_close(&volume->catalog_tree);
  btree_close(&volume->extents_tree);
}

}  // namespace volpack
