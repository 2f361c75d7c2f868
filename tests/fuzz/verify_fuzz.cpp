// libFuzzer target: whatever the bytes, reading them as an image and checking
// the volume inside never crashes, hangs, or reads outside its buffers.
// Built by -DVOLPACK_FUZZ=ON with clang (tools/test.sh runs it for a minute
// from the seeds in tests/fuzz/corpus).
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "dmg/udif_read.h"
#include "hfs/check.h"

namespace {

class byte_io final : public volpack::io_t {
 public:
  byte_io(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool read(uint64_t offset, uint64_t count, void* buf) override {
    if (offset > size_ || count > size_ - offset) return false;
    if (count > 0) std::memcpy(buf, data_ + offset, count);
    return true;
  }
  bool write(uint64_t, uint64_t, const void*) override { return false; }
  bool close() override { return true; }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace volpack;
  findings_t findings;
  auto image = udif_open(std::make_unique<byte_io>(data, size), size, &findings);
  if (!image) return 0;
  image.value()->verify_data(&findings);
  int index = image.value()->hfs_partition();
  if (index < 0) return 0;
  std::unique_ptr<io_t> volume = image.value()->open_partition(static_cast<size_t>(index));
  if (!volume) return 0;
  uint64_t volume_size = image.value()->partitions()[static_cast<size_t>(index)].table.sector_count * kSectorSize;
  auto model = hfs_check(volume.get(), volume_size, &findings);
  if (!model) return 0;
  // What list and extract read: every path, link target and some file data.
  std::vector<uint8_t> buf(4096);
  for (const auto& [id, item] : model.value().items) {
    (void)model.value().path_of(id);
    if (item.is_folder) continue;
    if (item.is_symlink()) (void)hfs_link_target(volume.get(), model.value(), item);
    uint64_t n = std::min<uint64_t>(buf.size(), item.file.dataFork.logicalSize);
    (void)hfs_read_fork(volume.get(), model.value(), item.data_fork, 0, n, buf.data());
  }
  return 0;
}
