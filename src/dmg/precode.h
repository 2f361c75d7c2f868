// Chunks of the image coded ahead, while the volume is still being written.
//
// The image's chunks are 512 sectors of the volume each, every one deflated on
// its own (dmg.h), so a chunk whose bytes no longer change can be coded before
// the volume is finished, on a core the import leaves idle. A
// `chunk_precoder` watches the writes to the volume: `watch` wraps the
// volume's io_t, and every write must go through the wrapper. Once the writes
// have moved two chunks past a chunk that was written, the wrapper reads that
// chunk and hands it to a worker thread. A later write to a chunk drops its
// code (and the chunk is not coded ahead again: it is one whose bytes keep
// changing, such as the catalog's). `convert_to_DMG` takes the codes of the
// chunks that did not change since (`take`) and codes only the others.
//
// A code is what the image writer would make of the same bytes, so the image
// is byte for byte the one made without a precoder, whatever the thread count
// or the timing. The import never waits for the worker: a chunk offered while
// the worker is behind is left for the image writer. Memory is bounded: at
// most `budget` bytes of codes are kept; past it nothing more is coded ahead.
// Failures (a read of the volume, a coding, memory) only mean that a chunk is
// coded later, by the image writer.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "dmg/dmg.h"
#include "io/io.h"

namespace volpack {

class chunk_precoder {
 public:
  // A volume of `volume_bytes` bytes (whole sectors; the last chunk may be
  // short). `workers` threads code ahead (at least one).
  chunk_precoder(uint64_t volume_bytes, unsigned workers, size_t budget);
  ~chunk_precoder();
  chunk_precoder(const chunk_precoder&) = delete;
  chunk_precoder& operator=(const chunk_precoder&) = delete;

  // The volume's io, watched. The precoder must outlive it.
  std::unique_ptr<io_t> watch(std::unique_ptr<io_t> device);
  // Ends the coding ahead: codes the chunks queued (at most two a worker),
  // and offers no more.
  void stop();
  // Moves the code of chunk `index` into `*code` (its first `kind->stored_length`
  // bytes, or none for a raw chunk) when one was made from the bytes the chunk
  // holds now. After stop().
  bool take(uint64_t index, std::vector<uint8_t>* code, chunk_code_t* kind);

  // Called by the watched io (see watch()).
  void written(io_t* device, uint64_t offset, uint64_t count, const uint8_t* bytes);

 private:
  struct chunk_state {
    uint32_t generation = 0;  // writes seen
    bool touched = false;     // written since the watch began
    bool offered = false;     // read and queued once: not again
    bool coded = false;       // `code` holds the code of bytes of `coded_generation`
    uint32_t coded_generation = 0;
    chunk_code_t kind;
    std::vector<uint8_t> code;
  };
  struct job {
    uint64_t index;
    uint32_t generation;
    std::vector<uint8_t> bytes;
  };

  bool room();
  void offer(io_t* device, uint64_t index);
  void work();

  const uint64_t volume_bytes_;
  const uint64_t full_chunks_;  // chunks of 512 whole sectors
  const size_t budget_;
  std::vector<chunk_state> chunks_;
  uint64_t next_offer_ = 0;       // chunks before it were considered
  uint64_t frontier_ = 0;         // one past the highest chunk written
  std::deque<uint64_t> backlog_;  // chunks taken as done, not offered yet

  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<job> queue_;
  std::vector<std::vector<uint8_t>> spare_;  // input buffers to reuse
  size_t kept_ = 0;                          // bytes of codes kept
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace volpack
