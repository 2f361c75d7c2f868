// SHA-256 against the FIPS 180-4 example messages, fed whole and in uneven pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "io/sha256.h"

namespace volpack {
namespace {

std::string hex(const sha256_digest& d) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) s += {kDigits[b >> 4], kDigits[b & 15]};
  return s;
}

TEST(Sha256, FipsExamples) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
       "nopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Lengths next to the padding's limits: 55, 56 and 64 bytes.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.size());
    EXPECT_EQ(c.digest, hex(sha256_of(c.message.data(), c.message.size())));
    sha256 pieces;
    for (size_t at = 0, n = 1; at < c.message.size(); at += n, n = n * 3 % 97 + 1)
      pieces.update(c.message.data() + at, std::min(n, c.message.size() - at));
    EXPECT_EQ(c.digest, hex(pieces.finish()));
  }
}

}  // namespace
}  // namespace volpack
