// SHA-256 (FIPS 180-4): a digest of a byte sequence fed in pieces.
//
// Used where a value must follow from an input and nothing else (the
// identifiers of a reproducible image). `update` takes any number of pieces
// of any size; the digest depends only on their concatenation. `finish`
// gives the 32-byte digest and leaves the object to be reset before reuse.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace volpack {

using sha256_digest = std::array<uint8_t, 32>;

class sha256 {
 public:
  sha256() { reset(); }
  void reset();
  void update(const void* data, size_t length);
  sha256_digest finish();

 private:
  void block(const uint8_t* p);
  uint32_t state_[8];
  uint8_t pending_[64];
  size_t pending_length_;
  uint64_t total_bytes_;
};

// The digest of one piece of bytes.
sha256_digest sha256_of(const void* data, size_t length);

}  // namespace volpack
