#include "driver/reproducible.h"

#include <algorithm>

#include "io/bytes.h"
#include "io/host_fs.h"

namespace volpack {

result<int64_t> parse_source_date_epoch(const char* text) {
  int64_t value = 0;
  bool valid = *text != '\0';
  for (const char* p = text; valid && *p != '\0'; ++p) {
    valid = *p >= '0' && *p <= '9';
    if (valid) value = value * 10 + (*p - '0');
    valid = valid && value <= kLargestSourceDateEpoch;
  }
  if (!valid)
    return status_errorf(
        "error: SOURCE_DATE_EPOCH must be a whole number of seconds since 1970 between 0 and %lld, "
        "not \"%s\"\n",
        static_cast<long long>(kLargestSourceDateEpoch), text);
  return value;
}

uint32_t host_random_ids::next_u32() { return static_cast<uint32_t>(host_random_u64() >> 32); }

void reproducible_sources::digest_ids::reseed(const sha256_digest& seed) {
  seed_ = seed;
  counter_ = 0;
  used_ = block_.size();
}

uint32_t reproducible_sources::digest_ids::next_u32() {
  if (used_ == block_.size()) {
    uint8_t input[40];
    std::copy(seed_.begin(), seed_.end(), input);
    put_be64(input + 32, counter_++);
    block_ = sha256_of(input, sizeof input);
    used_ = 0;
  }
  uint32_t word = get_be32(block_.data() + used_);
  used_ += 4;
  return word;
}

reproducible_sources::reproducible_sources(int64_t time, const std::string& volume_name) : clock_(time) {
  static const char kTag[] = "volpack reproducible image 1";
  uint8_t head[12];
  put_be64(head, static_cast<uint64_t>(time));
  put_be32(head + 8, static_cast<uint32_t>(volume_name.size()));
  digest_.update(kTag, sizeof kTag);
  digest_.update(head, sizeof head);
  digest_.update(volume_name.data(), volume_name.size());
  sha256 start = digest_;
  ids_.reseed(start.finish());
}

void reproducible_sources::input_complete() { ids_.reseed(digest_.finish()); }

}  // namespace volpack
