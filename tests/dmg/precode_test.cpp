// Chunks coded ahead while a volume is written: the image is the one made
// without them, whatever was rewritten after it was coded.
#include <gtest/gtest.h>

#include <random>

#include "dmg/dmg.h"
#include "dmg/precode.h"
#include "dmg_test_util.h"
#include "support/support.h"

namespace volpack {
namespace {

constexpr uint64_t kChunk = 512 * 512;

std::vector<uint8_t> image_of(const std::vector<uint8_t>& volume, unsigned threads, chunk_precoder* precoded) {
  std::vector<uint8_t> input = volume, image;
  test::test_context t;
  t.ctx.options.compression_threads = threads;
  EXPECT_TRUE(convert_to_DMG(std::make_unique<test::MemStream>(&input), std::make_unique<test::MemStream>(&image),
                             t.ctx, precoded));
  return image;
}

// Writes as an import does: blocks cleared, then filled, moving up through the
// volume, with small rewrites of the first chunks (metadata) all along, a
// rewrite of a chunk the writes have left behind, and the alternate header
// at the end.
void write_volume(io_t* io, uint64_t size, uint32_t seed, uint64_t rewrite_chunk) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> zeros(4096, 0);
  for (uint64_t at = 3 * kChunk; at + 4096 <= size - 2 * kChunk; at += 4096) {
    ASSERT_TRUE(io->write(at, 4096, zeros.data()));
    std::vector<uint8_t> data = test::mixed_data(1 + rng() % 4096, seed + static_cast<uint32_t>(at), 700, 300);
    ASSERT_TRUE(io->write(at, data.size(), data.data()));
    uint8_t meta[40];
    for (uint8_t& b : meta) b = static_cast<uint8_t>(rng());
    ASSERT_TRUE(io->write(rng() % (3 * kChunk - sizeof meta), sizeof meta, meta));
    ASSERT_TRUE(io->write(size - 1024, sizeof meta, meta));
    if (at == 20 * kChunk) {
      ASSERT_TRUE(io->write(rewrite_chunk * kChunk + 100, sizeof meta, meta));
    }
  }
}

TEST(Precoder, ImagesAreTheSameWithChunksCodedAheadAndForEveryThreadCount) {
  const uint64_t size = 26 * kChunk + 7 * 512;  // a short last chunk
  std::vector<uint8_t> first_image;
  for (unsigned threads : {1u, 2u, 3u}) {
    SCOPED_TRACE(threads);
    std::vector<uint8_t> volume(size, 0);
    chunk_precoder precoder(size, threads, 64u << 20);
    std::unique_ptr<io_t> io = precoder.watch(std::make_unique<test::MemIo>(&volume, false));
    ASSERT_NE(io, nullptr);
    write_volume(io.get(), size, 5, 4);  // chunk 4 is written again after it was taken as done
    if (HasFatalFailure()) return;
    ASSERT_TRUE(io->close());
    precoder.stop();
    std::vector<uint8_t> code;
    chunk_code_t kind;
    EXPECT_FALSE(precoder.take(0, &code, &kind));  // metadata: rewritten all along
    EXPECT_FALSE(precoder.take(4, &code, &kind));  // rewritten after it was coded
    EXPECT_TRUE(precoder.take(3, &code, &kind));   // the first chunk offered, never rewritten
    std::vector<uint8_t> image = image_of(volume, threads, &precoder);
    EXPECT_TRUE(image == image_of(volume, threads, nullptr));
    if (first_image.empty()) first_image = image;
    EXPECT_TRUE(image == first_image) << "the image depends on the thread count";
  }
}

}  // namespace
}  // namespace volpack
