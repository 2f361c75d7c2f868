// Opening and closing a volume, and writing its header.
#include <cstring>

#include "hfs/btree_cache.h"
#include "hfs/catalog.h"
#include "hfs/volume.h"
#include "io/die.h"

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

}  // namespace

std::unique_ptr<volume_t> volume_open(io_t* device, reporter_t* reporter) {
  if (device == nullptr) return nullptr;
  std::unique_ptr<volume_t> volume = new_or_die<volume_t>("volume_open", __LINE__);
  volume->device = device;
  volume->reporter = reporter;
  volume->extents_tree.reporter = reporter;
  volume->catalog_tree.reporter = reporter;
  uint8_t raw[kHFSPlusVolumeHeaderSize];
  if (!io_read(device, kVolumeHeaderOffset, sizeof raw, raw)) return nullptr;
  decode(raw, &volume->header);
  volume->device_alternate_offset = find_device_alternate(volume.get(), raw);

  // The extents tree first: a special file of more than eight extents needs it.
  std::unique_ptr<hfsfile_t> extents_file =
      volume_open_hfsfile(volume.get(), kHFSExtentsFileID, &volume->header.extentsFile, nullptr);
  if (!extents_tree_open(&volume->extents_tree, std::move(extents_file))) return nullptr;

  std::unique_ptr<hfsfile_t> catalog_file =
      volume_open_hfsfile(volume.get(), kHFSCatalogFileID, &volume->header.catalogFile, nullptr);
  if (!catalog_open(&volume->catalog_tree, std::move(catalog_file))) {
    btree_close(&volume->extents_tree);
    return nullptr;
  }

  btree_cache_attach(&volume->extents_tree, kExtentsCacheNodes);
  btree_cache_attach(&volume->catalog_tree, kCatalogCacheNodes);

  volume->allocation_file =
      volume_open_hfsfile(volume.get(), kHFSAllocationFileID, &volume->header.allocationFile, nullptr);
  volume->private_folder_id = volume_get_private_data_folder_id(volume.get());
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
