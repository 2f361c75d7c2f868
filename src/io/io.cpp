#include "io/io.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "io/host_fs.h"

namespace volpack {

namespace {

// The io_t over a host file, with a bounded write-back cache of 4 KiB pages.
//
// The volume's metadata (B-tree nodes, the allocation bitmap, the volume
// header) is read and rewritten a few bytes at a time, over and over: those
// transfers go to cached pages, and a page reaches the file only when the
// cache is full or the file is closed, each time all dirty pages in file
// order, neighbours in one write. Large transfers (file data) go straight to
// the file and keep the cached copies of the pages they cover current. The
// cache holds at most kMaxPages pages; what it holds is always the newest
// content of the file, so reads look there first. A failed write-back
// reports failure from the write or close that ran it.
class HostFileIo final : public io_t {
 public:
  explicit HostFileIo(std::FILE* fp) : fp_(fp) {}
  ~HostFileIo() override {
    if (fp_ != nullptr) host_fclose(fp_);
  }

  bool read(uint64_t offset, uint64_t count, void* buf) override {
    if (count == 0) return true;
    uint8_t* out = static_cast<uint8_t*>(buf);
    if (count >= kDirect) {
      // Cached pages are newer than the file: they are copied, and only the
      // runs of pages between them are read (a range written moments ago is
      // often all in the cache, and still a hole in the file).
      uint64_t end = offset + count, run = offset;
      for (uint64_t at = offset; at < end;) {
        uint64_t page = at / kPage, page_start = page * kPage;
        uint64_t stop = std::min(end, page_start + kPage);
        auto it = pages_.find(page);
        if (it != pages_.end()) {
          if (run < at && host_pread(fp_, run, out + (run - offset), at - run) != at - run) return false;
          std::memcpy(out + (at - offset), it->second.bytes.get() + (at - page_start), stop - at);
          run = stop;
        }
        at = stop;
      }
      return run == end || host_pread(fp_, run, out + (run - offset), end - run) == end - run;
    }
    while (count > 0) {
      uint64_t page = offset / kPage, within = offset % kPage;
      uint64_t n = std::min<uint64_t>(count, kPage - within);
      frame* f = nullptr;
      if (!page_for(page, false, &f)) return false;
      if (f != nullptr) {
        std::memcpy(out, f->bytes.get() + within, n);
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
    const uint8_t* in = static_cast<const uint8_t*>(buf);
    if (count >= kDirect) {
      if (host_pwrite(fp_, offset, in, count) != count) {
        drop_all();  // the file may hold part of the write; nothing cached is trusted
        return false;
      }
      for_each_cached(offset, count, [&](frame& f, uint64_t start, uint64_t end, uint64_t page_start) {
        std::memcpy(f.bytes.get() + (start - page_start), in + (start - offset), end - start);
        if (end - start == kPage) f.dirty = false;  // the file holds the whole page now
      });
      return true;
    }
    while (count > 0) {
      uint64_t page = offset / kPage, within = offset % kPage;
      uint64_t n = std::min<uint64_t>(count, kPage - within);
      frame* f = nullptr;
      if (!page_for(page, n == kPage, &f)) return false;
      if (f != nullptr) {
        std::memcpy(f->bytes.get() + within, in, n);
        f->dirty = true;
      } else if (host_pwrite(fp_, offset, in, n) != n) {
        return false;
      }
      in += n;
      offset += n;
      count -= n;
    }
    return true;
  }

  // Writes back and closes. The file is a scratch volume that is read back
  // and removed, never kept: its bytes must reach the system, not the disk
  // (forcing them there cost a disk write of the whole volume per run).
  bool close() override {
    if (fp_ == nullptr) return true;
    bool ok = write_back();
    ok = std::fflush(fp_) == 0 && !std::ferror(fp_) && ok;
    std::FILE* fp = fp_;
    fp_ = nullptr;
    if (host_fclose(fp) != 0) ok = false;
    drop_all();
    return ok;
  }

 private:
  static constexpr uint64_t kPage = 4096;
  static constexpr size_t kMaxPages = 4096;      // 16 MiB of cached pages at most
  static constexpr uint64_t kDirect = 64 * 1024;  // transfers this large bypass the cache
  static constexpr size_t kRunPages = 64;        // pages one write-back call writes at most

  struct frame {
    std::unique_ptr<uint8_t[]> bytes;
    bool dirty = false;
  };

  // The cached page `page` in *out. A page not held yet is read in, or, when
  // `whole` (the caller overwrites all of it), only allocated. *out stays
  // null when the file does not hold the whole page (its end): the caller
  // then transfers directly. False when a write-back to make room failed.
  bool page_for(uint64_t page, bool whole, frame** out) {
    *out = nullptr;
    if (page == last_page_ && last_ != nullptr) {
      *out = last_;
      return true;
    }
    auto it = pages_.find(page);
    if (it != pages_.end()) {
      last_page_ = page;
      last_ = *out = &it->second;
      return true;
    }
    if (pages_.size() >= kMaxPages) {
      if (!write_back()) return false;
      drop_all();
    }
    frame f;
    if (!spare_.empty()) {
      f.bytes = std::move(spare_.back());
      spare_.pop_back();
    } else {
      f.bytes.reset(new (std::nothrow) uint8_t[kPage]);
      if (f.bytes == nullptr) return true;  // no room: transfer directly
    }
    if (!whole && host_pread(fp_, page * kPage, f.bytes.get(), kPage) != kPage) return true;
    last_page_ = page;
    last_ = *out = &pages_.emplace(page, std::move(f)).first->second;
    return true;
  }

  // Calls visit(frame, start, end, page_start) for each cached page that
  // [offset, offset + count) touches, with the touched byte range.
  template <class Visit>
  void for_each_cached(uint64_t offset, uint64_t count, Visit visit) {
    if (pages_.empty()) return;
    for (uint64_t page = offset / kPage; page * kPage < offset + count; ++page) {
      auto it = pages_.find(page);
      if (it == pages_.end()) continue;
      uint64_t page_start = page * kPage;
      visit(it->second, std::max(offset, page_start), std::min(offset + count, page_start + kPage), page_start);
    }
  }

  // Writes every dirty page, in file order; runs of neighbouring pages go out
  // in one call.
  bool write_back() {
    std::vector<uint64_t> dirty;
    for (const auto& p : pages_) {
      if (p.second.dirty) dirty.push_back(p.first);
    }
    if (dirty.empty()) return true;
    std::sort(dirty.begin(), dirty.end());
    if (run_.size() < kRunPages * kPage) run_.resize(kRunPages * kPage);
    for (size_t i = 0; i < dirty.size();) {
      size_t n = 0;
      while (i + n < dirty.size() && n < kRunPages && dirty[i + n] == dirty[i] + n) {
        frame& f = pages_.find(dirty[i + n])->second;
        std::memcpy(run_.data() + n * kPage, f.bytes.get(), kPage);
        ++n;
      }
      if (host_pwrite(fp_, dirty[i] * kPage, run_.data(), n * kPage) != n * kPage) return false;
      for (size_t k = 0; k < n; ++k) pages_.find(dirty[i + k])->second.dirty = false;
      i += n;
    }
    return true;
  }

  // Forgets every page; their memory is kept for the next ones (given back
  // and taken again, it would cost the system a page fault and a clearing
  // each time).
  void drop_all() {
    if (spare_.capacity() < kMaxPages) {
      try {
        spare_.reserve(kMaxPages);
      } catch (const std::bad_alloc&) {
      }
    }
    for (auto& p : pages_)
      if (spare_.size() < spare_.capacity()) spare_.push_back(std::move(p.second.bytes));
    pages_.clear();
    last_ = nullptr;
  }

  std::FILE* fp_;
  std::unordered_map<uint64_t, frame> pages_;
  uint64_t last_page_ = 0;
  frame* last_ = nullptr;  // the page found last (lookups repeat it)
  std::vector<uint8_t> run_;
  std::vector<std::unique_ptr<uint8_t[]>> spare_;  // pages' memory to use again
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
