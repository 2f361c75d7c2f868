#include "dmg/precode.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

namespace volpack {

namespace {

constexpr uint64_t kChunkBytes = uint64_t{kChunkSectors} * kSectorSize;

// Compared a page at a time with a page of zeros (memcmp is the fastest
// loop the C library has).
bool all_zero(const uint8_t* p, uint64_t n) {
  static const uint8_t kZeros[4096] = {};
  for (uint64_t i = 0; i < n; i += sizeof kZeros)
    if (std::memcmp(p + i, kZeros, std::min<uint64_t>(sizeof kZeros, n - i)) != 0) return false;
  return true;
}

// The volume's io with every write reported to the precoder.
class watched_io final : public io_t {
 public:
  watched_io(std::unique_ptr<io_t> inner, chunk_precoder* precoder) : inner_(std::move(inner)), precoder_(precoder) {}
  bool read(uint64_t offset, uint64_t count, void* buf) override { return inner_->read(offset, count, buf); }
  bool write(uint64_t offset, uint64_t count, const void* buf) override {
    bool ok = inner_->write(offset, count, buf);
    precoder_->written(inner_.get(), offset, count, static_cast<const uint8_t*>(buf));
    return ok;
  }
  bool close() override { return inner_->close(); }

 private:
  std::unique_ptr<io_t> inner_;
  chunk_precoder* precoder_;
};

}  // namespace

chunk_precoder::chunk_precoder(uint64_t volume_bytes, unsigned workers, size_t budget)
    : volume_bytes_(volume_bytes), full_chunks_(volume_bytes / kChunkBytes), budget_(budget) {
  try {
    chunks_.resize(static_cast<size_t>((volume_bytes + kChunkBytes - 1) / kChunkBytes));
    for (unsigned i = 0; i < std::max(workers, 1u); ++i) workers_.emplace_back([this] { work(); });
  } catch (const std::exception&) {
    // Without state or without a worker nothing is coded ahead.
    stop();
    chunks_.clear();
  }
}

chunk_precoder::~chunk_precoder() { stop(); }

std::unique_ptr<io_t> chunk_precoder::watch(std::unique_ptr<io_t> device) {
  if (device == nullptr || chunks_.empty()) return device;
  try {
    return std::make_unique<watched_io>(std::move(device), this);
  } catch (const std::bad_alloc&) {
    return nullptr;  // as a failed open
  }
}

void chunk_precoder::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
  workers_.clear();
  spare_.clear();
}

void chunk_precoder::written(io_t* device, uint64_t offset, uint64_t count, const uint8_t* bytes) {
  if (count == 0 || chunks_.empty() || offset >= volume_bytes_) return;
  // Blocks of zeros written (new blocks are cleared before their data comes)
  // change a code made before, but do not make a chunk one to code.
  const bool zeros = count >= 4096 && all_zero(bytes, count);
  uint64_t first = offset / kChunkBytes;
  uint64_t last = std::min<uint64_t>((offset + count - 1) / kChunkBytes, chunks_.size() - 1);
  for (uint64_t k = first; k <= last; ++k) {
    chunk_state& c = chunks_[k];
    if (!zeros) c.touched = true;
    if (!c.offered) {
      ++c.generation;  // no worker looks at it
    } else {
      // Its code (made or to come) is of bytes that are gone.
      std::lock_guard<std::mutex> lock(mu_);
      ++c.generation;
      if (c.coded) {
        kept_ -= c.code.size();
        c.code = std::vector<uint8_t>();
        c.coded = false;
      }
    }
  }
  // The last chunks hold the alternate volume header (a sector before the
  // volume's end, and one before the device's), written with every change of
  // the header: writes there say nothing of how far the writes are.
  if (!zeros && first + 2 < chunks_.size()) frontier_ = std::max(frontier_, last + 1);
  // A chunk the writes have moved two chunks past is taken as done; it
  // waits in the backlog while the workers are busy.
  while (next_offer_ + 2 < frontier_) {
    uint64_t k = next_offer_++;
    if (k < full_chunks_ && chunks_[k].touched && !chunks_[k].offered) backlog_.push_back(k);
  }
  while (!backlog_.empty() && room()) {
    uint64_t k = backlog_.front();
    backlog_.pop_front();
    if (!chunks_[k].offered) offer(device, k);
  }
}

bool chunk_precoder::room() {
  std::lock_guard<std::mutex> lock(mu_);
  return !stopping_ && kept_ < budget_ && queue_.size() < 2 * workers_.size();
}

void chunk_precoder::offer(io_t* device, uint64_t index) {
  chunk_state& c = chunks_[index];
  c.offered = true;
  std::vector<uint8_t> bytes;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // The import never waits: a worker behind, or codes over budget, leave
    // the chunk to the image writer.
    if (stopping_ || kept_ >= budget_ || queue_.size() >= 2 * workers_.size()) return;
    if (!spare_.empty()) {
      bytes = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  try {
    bytes.resize(kChunkBytes);
  } catch (const std::bad_alloc&) {
    return;
  }
  if (!device->read(index * kChunkBytes, kChunkBytes, bytes.data())) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    try {
      queue_.push_back(job{index, c.generation, std::move(bytes)});
    } catch (const std::bad_alloc&) {
      return;
    }
  }
  wake_.notify_one();
}

void chunk_precoder::work() {
  chunk_compressor coder;
  std::vector<uint8_t> out;
  try {
    out.resize(kChunkBufferSize);
  } catch (const std::bad_alloc&) {
    return;
  }
  for (;;) {
    job j;
    {
      std::unique_lock<std::mutex> lock(mu_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing left to code
      j = std::move(queue_.front());
      queue_.pop_front();
    }
    chunk_code_t kind;
    bool ok = static_cast<bool>(coder.compress(j.bytes.data(), kChunkSectors, out.data(), &kind));
    std::vector<uint8_t> code;
    if (ok && kind.type != UDIF_CHUNK_RAW) {
      try {
        code.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(kind.stored_length));
      } catch (const std::bad_alloc&) {
        ok = false;
      }
    }
    std::lock_guard<std::mutex> lock(mu_);
    chunk_state& c = chunks_[j.index];
    // Kept only when no write came since the bytes were read.
    if (ok && c.generation == j.generation && kept_ + code.size() <= budget_) {
      kept_ += code.size();
      c.code = std::move(code);
      c.kind = kind;
      c.coded = true;
      c.coded_generation = j.generation;
    }
    try {
      spare_.push_back(std::move(j.bytes));
    } catch (const std::bad_alloc&) {
    }
  }
}

bool chunk_precoder::take(uint64_t index, std::vector<uint8_t>* code, chunk_code_t* kind) {
  std::lock_guard<std::mutex> lock(mu_);
  if (index >= chunks_.size()) return false;
  chunk_state& c = chunks_[index];
  if (!c.coded || c.coded_generation != c.generation) return false;
  *kind = c.kind;
  kept_ -= c.code.size();
  code->swap(c.code);
  c.code = std::vector<uint8_t>();
  c.coded = false;
  return true;
}

}  // namespace volpack
