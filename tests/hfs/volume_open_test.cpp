// Opening, updating and closing a volume.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "hfs/volume.h"
#include "volume_fixture.h"

namespace volpack {
namespace test {
namespace {

std::vector<uint8_t> header_bytes(const std::vector<uint8_t>& image, uint64_t offset) {
  return {image.begin() + static_cast<std::ptrdiff_t>(offset),
          image.begin() + static_cast<std::ptrdiff_t>(offset + 512)};
}

const char kCannotOpen[] = "error: unable to open newly created HFS filesystem\n";

TEST(VolumeOpen, RefusesWhatItCannotRead) {
  EXPECT_EQ(message_of(volume_open(nullptr)), kCannotOpen);
  std::vector<uint8_t> short_device(1535);
  MemIo io(&short_device, false);
  EXPECT_EQ(message_of(volume_open(&io)), kCannotOpen);

  // A tree whose header record cannot be read: its fork holds no block.
  volume_geometry g;
  std::vector<uint8_t> image = make_volume_image(g);
  HFSPlusVolumeHeader h;
  decode(image.data() + 1024, &h);
  h.catalogFile.totalBlocks = 0;
  h.catalogFile.extents[0] = HFSPlusExtentDescriptor();
  encode(h, image.data() + 1024);
  MemIo bad_catalog(&image, false);
  EXPECT_EQ(message_of(volume_open(&bad_catalog)), kCannotOpen);
}

TEST(VolumeOpen, TakesTheHeaderAsReadAndPicksTheKeyOrder) {
  volume_geometry g;
  g.key_compare_type = kHFSBinaryCompare;
  std::vector<uint8_t> image = make_volume_image(g);
  image[1024] = 'X';  // not "H+"
  MemIo io(&image, false);
  std::unique_ptr<volume_t> v = ok_value(volume_open(&io));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->header.signature >> 8, 'X');
  EXPECT_EQ(v->header.blockSize, 4096u);
  EXPECT_EQ(v->private_folder_id, 0u);  // no hard-link folder
  // Binary order: "README" and "readme" are two names.
  add_root_folder(v.get(), "Bin");
  EXPECT_NE(ok_value(volume_create_file(v.get(), "/README")), 0u);
  EXPECT_NE(ok_value(volume_create_file(v.get(), "/readme")), 0u);
  volume_close(std::move(v));

  TestVolume folded;  // 0xCF: one name
  EXPECT_NE(ok_value(volume_create_file(folded.v(), "/README")), 0u);
  EXPECT_EQ(ok_value(volume_create_file(folded.v(), "/readme")), 0u);
}

// Each read of the open failing in turn: the volume cannot be opened (its
// header), a tree's fork fails in its own words, or the open does not need
// that read.
TEST(VolumeOpen, EveryFailedReadIsReported) {
  std::vector<uint8_t> image = make_volume_image(volume_geometry());
  MemIo io(&image, false);
  volume_close(ok_value(volume_open(&io)));
  const uint64_t reads = io.reads;
  ASSERT_GT(reads, 3u);
  std::set<std::string> seen;
  for (uint64_t k = 1; k <= reads; ++k) {
    FaultIo faulty(&io, FaultIo::Op::kRead, k);
    result<std::unique_ptr<volume_t>> v = volume_open(&faulty);
    seen.insert(message_of(v));
    if (k == 1) {
      EXPECT_EQ(message_of(v), kCannotOpen);
    }
    if (v) volume_close(v.take());
  }
  EXPECT_EQ(seen, (std::set<std::string>{"", kCannotOpen, "hfsfile_read():250: io_read error\n"}));
}

TEST(VolumeUpdate, WritesBothHeadersAndKeepsFinderInfo) {
  TestVolume t;
  t.v()->header.fileCount = 1234;
  ASSERT_TRUE(volume_update(t.v()));
  const uint64_t alternate = 256ull * 4096 - 1024;
  EXPECT_EQ(header_bytes(t.image, 1024), header_bytes(t.image, alternate));
  for (size_t i = 0; i < 32; ++i) EXPECT_EQ(t.image[1024 + 80 + i], 0xA0 + i);
  EXPECT_EQ(t.image[1024 + 8], '1');  // lastMountedVersion "10.0" reads in order
  EXPECT_EQ(t.image[1024 + 11], '0');
  EXPECT_EQ(t.image[1024 + 35], 1234 & 0xFF);

  // A header read and written back unchanged is the same 512 bytes.
  std::vector<uint8_t> before = header_bytes(t.image, 1024);
  t.reopen();
  ASSERT_TRUE(volume_update(t.v()));
  EXPECT_EQ(header_bytes(t.image, 1024), before);
}

TEST(VolumeUpdate, KeepsTheDevicesAlternateCopyInStep) {
  // The device runs 3 sectors past the last block, and the alternate copy
  // sits at its second-to-last sector, as a formatter places it.
  volume_geometry g;
  g.extra_device_bytes = 3 * 512;
  std::vector<uint8_t> image = make_volume_image(g);
  const uint64_t device_alternate = image.size() - 1024;
  std::memcpy(image.data() + device_alternate, image.data() + 1024, 512);
  MemIo io(&image, false);
  std::unique_ptr<volume_t> v = ok_value(volume_open(&io));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->device_alternate_offset, device_alternate);
  v->header.folderCount = 9;
  ASSERT_TRUE(volume_update(v.get()));
  EXPECT_EQ(header_bytes(image, device_alternate), header_bytes(image, 1024));
  EXPECT_EQ(header_bytes(image, 256ull * 4096 - 1024), header_bytes(image, 1024));
  volume_close(std::move(v));
}

TEST(VolumeUpdate, ReportsAFailedWrite) {
  TestVolume t;
  for (uint64_t k = 1; k <= 2; ++k) {
    FaultIo faulty(&t.device, FaultIo::Op::kWrite, k);
    t.v()->device = &faulty;
    EXPECT_FALSE(volume_update(t.v())) << k;
    EXPECT_TRUE(faulty.fired());
  }
  t.v()->device = &t.device;
}

TEST(VolumeUpdate, AllocationFailsWhenTheHeaderCannotBeWritten) {
  TestVolume t;
  test_file f = create_file(t.v(), "/f");
  // Block writes and bitmap writes go through; the header's place does not.
  std::vector<uint8_t> small(t.image.begin(), t.image.end());
  MemIo header_fails(&small, false);
  class HeaderFails final : public io_t {
   public:
    explicit HeaderFails(io_t* inner) : inner_(inner) {}
    bool read(uint64_t o, uint64_t n, void* b) override { return inner_->read(o, n, b); }
    bool write(uint64_t o, uint64_t n, const void* b) override { return o != 1024 && inner_->write(o, n, b); }
    bool close() override { return true; }

   private:
    io_t* inner_;
  } device(&header_fails);
  t.v()->device = &device;
  EXPECT_EQ(message_of(hfsfile_allocate(f.fork.get(), 100)),
            "hfsfile_allocate_or_die(): ERROR: volume_update failed\n");
  t.v()->device = &t.device;
}

}  // namespace
}  // namespace test
}  // namespace volpack
