// Streams, host-file io_t objects and the ending-on-failure routines.
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

TEST(Bytes, BigAndLittleEndianCodecs) {
  uint8_t b[8];
  put_be16(b, 0x1234);
  EXPECT_EQ(0x12, b[0]);
  EXPECT_EQ(0x34, b[1]);
  put_be32(b, 0x6D697368u);
  EXPECT_EQ(0, std::memcmp(b, "mish", 4));
  put_be64(b, 0x0102030405060708ull);
  EXPECT_EQ(0x01, b[0]);
  EXPECT_EQ(0x08, b[7]);
  EXPECT_EQ(0x0102030405060708ull, get_be64(b));
  put_le32(b, 0x11223344u);
  EXPECT_EQ(0x44, b[0]);
  EXPECT_EQ(0x11223344u, get_le32(b));
  EXPECT_EQ(0x6A726E6Cu, fourcc("jrnl"));
}

TEST(Stream, NoFileGivesNoStream) { EXPECT_EQ(nullptr, create_stream_from_fp(nullptr)); }

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

TEST(Stream, PrintfWritesExactlyTheTextAndCutsAt1023Bytes) {
  TempDir dir;
  std::string path = (dir.path() / "out").string();
  auto s = create_stream_from_fp(std::fopen(path.c_str(), "wb"));
  ASSERT_NE(nullptr, s);
  EXPECT_TRUE(stream_printf(s.get(), "%s", ""));
  EXPECT_TRUE(stream_printf(s.get(), "<key>%s</key>%d\n", "blkx", -2));
  std::string big(2000, 'x');
  EXPECT_TRUE(stream_printf(s.get(), "%s", big.c_str()));
  ASSERT_TRUE(stream_close(std::move(s)));
  EXPECT_EQ("<key>blkx</key>-2\n" + std::string(1023, 'x'), test::read_file(path));
}

TEST(Stream, ShortTransfersFailNamingTheCallerAndLine) {
  std::vector<uint8_t> bytes(10);
  test::MemStream in(&bytes);
  uint8_t buf[16];
  EXPECT_EQ(stream_read_exact(&in, buf, 11, "insertBLKX", 42).message(),
            "insertBLKX():42: stream_read error (short read)\n");
  std::vector<uint8_t> out;
  test::MemStream full(&out);
  full.limit = 3;
  EXPECT_EQ(stream_write_exact(&full, buf, 4, "convert_to_DMG_or_die", 7).message(),
            "convert_to_DMG_or_die():7: stream_write error (short write)\n");
  status printed = stream_printf(&full, "%s", "toolong");
  EXPECT_EQ(printed.message().rfind("stream_printf(): stream write error (errno ", 0), 0u) << printed.message();
  ASSERT_TRUE(stream_seek(&in, 0));
  EXPECT_TRUE(stream_read_exact(&in, buf, 4, "x", 1));
  EXPECT_TRUE(stream_write_exact(&full, buf, 0, "x", 1));
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

TEST(HostIo, ReadsAndWritesAtOffsetsOfAnExistingFile) {
  TempDir dir;
  auto path = dir.write("vol", std::string(100, '\0'));
  EXPECT_EQ(nullptr, create_io_from_path((dir.path() / "missing").string().c_str()));
  auto io = create_io_from_path(path.string().c_str());
  ASSERT_NE(nullptr, io);
  EXPECT_TRUE(io_write(io.get(), 90, 4, "abcd"));
  char buf[4];
  EXPECT_TRUE(io_read(io.get(), 90, 4, buf));
  EXPECT_EQ(0, std::memcmp(buf, "abcd", 4));
  EXPECT_TRUE(io_read(io.get(), 1u << 30, 0, buf));  // a zero count never touches the file
  EXPECT_FALSE(io_read(io.get(), 98, 4, buf));       // reaches past the end
  EXPECT_TRUE(io_close(std::move(io)));
  std::string content = test::read_file(path);
  EXPECT_EQ(100u, content.size());
  EXPECT_EQ("abcd", content.substr(90, 4));
}

TEST(HostIo, MatchesAPlainByteModelThroughCacheEvictions) {
  // Random small and large transfers over a file larger than the page cache
  // (which holds 16 MiB), ending inside a page: every read sees the newest
  // bytes, and after close the file holds exactly the model.
  TempDir dir;
  const size_t size = (20u << 20) + 100;
  std::string model(size, '\0');
  auto path = dir.write("vol", model);
  auto io = create_io_from_path(path.string().c_str());
  ASSERT_NE(nullptr, io);
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
