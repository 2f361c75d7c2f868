#include "io/stream.h"

#include <cstdarg>

#include "io/host_fs.h"

namespace volpack {

namespace {

class FileStream final : public stream_t {
 public:
  explicit FileStream(std::FILE* fp) : fp_(fp) {}
  ~FileStream() override {
    if (fp_ != nullptr) host_fclose(fp_);
  }
  // The position is counted here rather than asked of the host, where asking
  // can fail: a wrong offset would end up inside the image.
  uint64_t write(const void* buf, uint64_t n) override {
    uint64_t done = host_fwrite(fp_, buf, n);
    pos_ += done;
    return done;
  }
  uint64_t read(void* buf, uint64_t n) override {
    uint64_t done = host_fread(fp_, buf, n);
    pos_ += done;
    return done;
  }
  bool seek(uint64_t offset) override {
    if (!host_fseek64(fp_, offset)) return false;
    pos_ = offset;
    return true;
  }
  uint64_t tell() override { return pos_; }
  uint64_t length() override {
    int64_t end = -1;
    if (std::fseek(fp_, 0, SEEK_END) == 0) end = host_ftell64(fp_);
    if (end < 0 || !host_fseek64(fp_, pos_))
      die("stream_length(): cannot get the length of a file (%s)\n", host_strerror(host_errno()));
    return static_cast<uint64_t>(end);
  }
  bool close() override {
    if (fp_ == nullptr) return true;
    bool ok = !std::ferror(fp_);
    std::FILE* fp = fp_;
    fp_ = nullptr;
    if (host_fclose(fp) != 0) ok = false;
    return ok;
  }

 private:
  std::FILE* fp_;
  uint64_t pos_ = 0;
};

}  // namespace

bool stream_close(std::unique_ptr<stream_t> s) {
  if (!s) return true;
  return s->close();
}

std::unique_ptr<stream_t> create_stream_from_fp(std::FILE* fp) {
  if (fp == nullptr) return nullptr;
  return new_or_die<FileStream>("create_stream_from_fp", __LINE__, fp);
}

void stream_printf(stream_t* s, const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int len = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (len < 0) len = 0;
  if (len > static_cast<int>(sizeof buf) - 1) len = sizeof buf - 1;
  uint64_t n = static_cast<uint64_t>(len);
  if (stream_write(s, buf, n) != n) die("stream_printf(): stream write error (errno %d)\n", host_errno());
}

uint64_t stream_read_or_die(stream_t* s, void* buf, uint64_t n, const char* func, int line) {
  if (stream_read(s, buf, n) != n) die("%s():%d: stream_read error (short read)\n", func, line);
  return n;
}

uint64_t stream_write_or_die(stream_t* s, const void* buf, uint64_t n, const char* func, int line) {
  if (stream_write(s, buf, n) != n) die("%s():%d: stream_write error (short write)\n", func, line);
  return n;
}

}  // namespace volpack
