// Streams, buffers and host-file io_t objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "io/buffer.h"
#include "io/bytes.h"
#include "io/io.h"
#include "io/stream.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::TempDir;

TEST(Stream, LengthKeepsThePositionAndSeekIsAbsolute) {
  TempDir dir;
  auto path = dir.write("f", "0123456789");
  auto s = create_stream_from_fp(std::fopen(path.string().c_str(), "rb"));
  ASSERT_NE(nullptr, s);
  ASSERT_TRUE(stream_seek(s.get(), 4));
  EXPECT_EQ(10u, stream_length(s.get()));
  EXPECT_EQ(4u, stream_tell(s.get()));
  char buf[8] = {};
  EXPECT_EQ(6u, stream_read(s.get(), buf, 8));  // short at end of file
  EXPECT_EQ(0, std::memcmp(buf, "456789", 6));
  ASSERT_TRUE(stream_seek(s.get(), 1));
  EXPECT_EQ(2u, stream_read(s.get(), buf, 2));
  EXPECT_EQ(0, std::memcmp(buf, "12", 2));
  EXPECT_TRUE(stream_close(std::move(s)));
}

TEST(Stream, PrintfWritesExactlyTheText) {
  TempDir dir;
  std::string path = (dir.path() / "out").string();
  auto s = create_stream_from_fp(std::fopen(path.c_str(), "wb"));
  ASSERT_NE(nullptr, s);
  EXPECT_TRUE(stream_printf(s.get(), "%s", ""));
  EXPECT_TRUE(stream_printf(s.get(), "<key>%s</key>%d\n", "blkx", -2));
  ASSERT_TRUE(stream_close(std::move(s)));
  EXPECT_EQ("<key>blkx</key>-2\n", test::read_file(path));
}

TEST(Buffer, AllocationFailureNamesTheCaller) {
#ifdef VOLPACK_SANITIZED
  GTEST_SKIP() << "the sanitizer's allocator aborts on this size before the program sees a failure";
#endif
  std::vector<uint8_t> v(4, 7);
  EXPECT_EQ(buffer_alloc(&v, SIZE_MAX / 2, "insertData", 12).message(), "insertData():12: malloc error (out of memory)\n");
  EXPECT_EQ(buffer_resize(&v, SIZE_MAX / 2, "base64_encode_pretty_or_die", 3).message(),
            "base64_encode_pretty_or_die():3: realloc error (out of memory)\n");
  ASSERT_TRUE(buffer_resize(&v, 6, "x", 1));
  EXPECT_EQ(v, (std::vector<uint8_t>{7, 7, 7, 7, 0, 0}));
  ASSERT_TRUE(buffer_alloc(&v, 3, "x", 1));
  EXPECT_EQ(v, (std::vector<uint8_t>(3, 0)));
}

TEST(HostIo, MatchesAPlainByteModelThroughCacheEvictions) {
  // Random small and large transfers over a file larger than the page cache
  // (which holds 16 MiB), ending inside a page: every read sees the newest
  // bytes, and after close the file holds exactly the model.
  TempDir dir;
  const size_t size = (20u << 20) + 100;
  std::string model(size, '\0');
  auto path = dir.write("vol", model);
  EXPECT_EQ(nullptr, create_io_from_path((dir.path() / "missing").string().c_str()));
  auto io = create_io_from_path(path.string().c_str());
  ASSERT_NE(nullptr, io);
  uint8_t two[2];
  EXPECT_FALSE(io_read(io.get(), size - 1, 2, two));   // reaches past the end
  EXPECT_TRUE(io_read(io.get(), 1ull << 40, 0, two));  // a zero count never touches the file
  std::mt19937 rng(7);
  std::vector<uint8_t> buf;
  for (int step = 0; step < 30000; ++step) {
    bool large = rng() % 50 == 0;
    size_t count = large ? 1 + rng() % (300u << 10) : 1 + rng() % 9000;
    // Small transfers cluster in a few hot regions and spread over the rest.
    size_t offset = rng() % 3 != 0 ? (rng() % 4) * (5u << 20) + rng() % (64u << 10) : rng() % size;
    offset = std::min(offset, size - count);
    buf.resize(count);
    if (rng() % 2 == 0) {
      for (uint8_t& b : buf) b = static_cast<uint8_t>(rng());
      ASSERT_TRUE(io_write(io.get(), offset, count, buf.data())) << step;
      std::memcpy(&model[offset], buf.data(), count);
    } else {
      ASSERT_TRUE(io_read(io.get(), offset, count, buf.data())) << step;
      ASSERT_EQ(0, std::memcmp(buf.data(), &model[offset], count)) << "step " << step << " at " << offset;
    }
  }
  EXPECT_TRUE(io_close(std::move(io)));
  EXPECT_TRUE(test::read_file(path) == model);
}

}  // namespace
}  // namespace volpack
