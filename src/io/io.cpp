#include "io/io.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "io/host_fs.h"

namespace volpack {

namespace {

// The io_t over a host file. Transfers are positioned (no seek, no stdio
// buffer), and whole 4 KiB pages that have been read are kept: the B-trees
// and the allocation bitmap read the same few bytes of the same pages over
// and over. The cache is write-through, so every write reaches the file at
// once and the file always holds everything written; the cache is only ever
// a copy of it.
class HostFileIo final : public io_t {
 public:
  explicit HostFileIo(std::FILE* fp) : fp_(fp) {}
  ~HostFileIo() override {
    if (fp_ != nullptr) host_fclose(fp_);
  }

  bool read(uint64_t offset, uint64_t count, void* buf) override {
    if (count == 0) return true;
    uint8_t* out = static_cast<uint8_t*>(buf);
    while (count > 0) {
      uint64_t page = offset / kPage, within = offset % kPage;
      uint64_t n = std::min<uint64_t>(count, kPage - within);
      const uint8_t* cached = page_for_read(page);
      if (cached != nullptr) {
        std::memcpy(out, cached + within, n);
      } else if (host_pread(fp_, offset, out, n) != n) {
        return false;
      }
      out += n;
      offset += n;
      count -= n;
    }
    return true;
  }

  bool write(uint64_t offset, uint64_t count, const void* buf) override {
    if (count == 0) return true;
    if (host_pwrite(fp_, offset, buf, count) != count) {
      pages_.clear();  // the file may hold part of the write
      return false;
    }
    const uint8_t* in = static_cast<const uint8_t*>(buf);
    for (uint64_t page = offset / kPage; page * kPage < offset + count; ++page) {
      auto it = pages_.find(page);
      if (it == pages_.end()) continue;
      uint64_t start = std::max(offset, page * kPage), end = std::min(offset + count, (page + 1) * kPage);
      std::memcpy(it->second.data() + (start - page * kPage), in + (start - offset), end - start);
    }
    return true;
  }

  bool close() override {
    if (fp_ == nullptr) return true;
    bool ok = host_fflush_sync(fp_) && !std::ferror(fp_);
    std::FILE* fp = fp_;
    fp_ = nullptr;
    if (host_fclose(fp) != 0) ok = false;
    pages_.clear();
    return ok;
  }

 private:
  static constexpr uint64_t kPage = 4096;
  static constexpr size_t kMaxPages = 64 * 1024;  // 256 MiB of cached pages at most

  // The cached page, read in whole when it is not held yet; null when the
  // file does not hold the whole page (its end), which is then read directly.
  const uint8_t* page_for_read(uint64_t page) {
    auto it = pages_.find(page);
    if (it != pages_.end()) return it->second.data();
    if (pages_.size() >= kMaxPages) pages_.clear();
    std::vector<uint8_t> bytes(kPage);
    if (host_pread(fp_, page * kPage, bytes.data(), kPage) != kPage) return nullptr;
    return pages_.emplace(page, std::move(bytes)).first->second.data();
  }

  std::FILE* fp_;
  std::unordered_map<uint64_t, std::vector<uint8_t>> pages_;
};

}  // namespace

bool io_close(std::unique_ptr<io_t> io) {
  if (!io) return true;
  return io->close();
}

std::unique_ptr<io_t> create_io_from_path(const char* path) {
  std::FILE* fp = host_fopen(path, "rb+");
  if (fp == nullptr) return nullptr;
  io_t* io = new (std::nothrow) HostFileIo(fp);
  if (io == nullptr) host_fclose(fp);
  return std::unique_ptr<io_t>(io);
}

}  // namespace volpack
