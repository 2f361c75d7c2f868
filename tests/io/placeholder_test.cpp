#include <gtest/gtest.h>

#include "io/bytes.h"

namespace volpack {
TEST(Bytes, BigEndianRoundTrip) {
  uint8_t b[8];
  put_be32(b, 0x6D697368u);
  EXPECT_EQ(b[0], 0x6D);
  EXPECT_EQ(get_be32(b), 0x6D697368u);
}
}  // namespace volpack
