// Reproducible images: what the SOURCE_DATE_EPOCH convention of build tools
// changes in a run, and where identifiers come from otherwise.
//
// With the variable holding a time (seconds since 1970, UTC), every date the
// run writes is that time, the volume's local creation date counted in UTC so
// that the host's zone does not show; the volume identifier and the image's
// segment identifier derive from a SHA-256 digest of the input (the volume's
// name, the time, then every entry of the tree as the importer takes it in:
// its kind, permission bits, size, volume path and bytes). Identical inputs
// then give identical images on every host; different inputs give different
// identifiers. Without the variable, identifiers come from the host's random
// source, new for every run, even for runs started in the same second.
#pragma once

#include <cstdint>
#include <string>

#include "io/run_context.h"
#include "io/sha256.h"
#include "io/status.h"

namespace volpack {

// The largest time an HFS+ date (unsigned seconds since 1904) holds, in
// seconds since 1970.
constexpr int64_t kLargestSourceDateEpoch = 0xFFFFFFFFll - 2082844800;

// The variable's text as seconds since 1970: decimal digits only, from 0 to
// kLargestSourceDateEpoch. Anything else (empty, a sign, spaces, any other
// character, a larger number) gives the message users see.
result<int64_t> parse_source_date_epoch(const char* text);

// Identifiers from the host's random source (host_random_u64).
class host_random_ids final : public id_source_t {
 public:
  uint32_t next_u32() override;
};

// A reproducible run's clock and identifiers. Until `input_complete` the
// identifiers derive from the time and the volume's name alone; from then on
// from the whole input fed into `input_digest`: block n of the stream is
// SHA-256(digest, n as 8 big-endian bytes), read in big-endian 32-bit words.
class reproducible_sources {
 public:
  reproducible_sources(int64_t time, const std::string& volume_name);
  time_source_t* clock() { return &clock_; }
  id_source_t* ids() { return &ids_; }
  sha256* input_digest() { return &digest_; }
  // The input is all in: identifiers drawn from now on derive from it.
  void input_complete();

 private:
  class fixed_clock final : public time_source_t {
   public:
    explicit fixed_clock(int64_t time) : time_(time) {}
    int64_t now() override { return time_; }
    int32_t zone_bias_minutes() override { return 0; }  // UTC

   private:
    int64_t time_;
  };
  class digest_ids final : public id_source_t {
   public:
    void reseed(const sha256_digest& seed);
    uint32_t next_u32() override;

   private:
    sha256_digest seed_{}, block_{};
    uint64_t counter_ = 0;
    size_t used_ = 0;
  };

  fixed_clock clock_;
  digest_ids ids_;
  sha256 digest_;
};

}  // namespace volpack
