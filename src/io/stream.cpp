#include "io/stream.h"

#include <cstdarg>
#include <new>

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
    uint64_t done = failed_ ? 0 : host_fwrite(fp_, buf, n);
    pos_ += done;
    return done;
  }
  uint64_t read(void* buf, uint64_t n) override {
    uint64_t done = failed_ ? 0 : host_fread(fp_, buf, n);
    pos_ += done;
    return done;
  }
  bool seek(uint64_t offset) override {
    if (!host_fseek64(fp_, offset)) return false;
    pos_ = offset;
    return true;
  }
  uint64_t tell() override { return pos_; }
  // A length the host cannot tell fails the stream for good: every later
  // transfer and the close fail too, so that no caller goes on with 0.
  uint64_t length() override {
    host_stat_t st;
    if (std::fflush(fp_) != 0 || host_fstat_file(fp_, &st) != 0) {
      failed_ = true;
      return 0;
    }
    return st.size;
  }
  bool close() override {
    if (fp_ == nullptr) return true;
    bool ok = !std::ferror(fp_) && !failed_;
    std::FILE* fp = fp_;
    fp_ = nullptr;
    if (host_fclose(fp) != 0) ok = false;
    return ok;
  }

 private:
  std::FILE* fp_;
  uint64_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace

bool stream_close(std::unique_ptr<stream_t> s) {
  if (!s) return true;
  return s->close();
}

std::unique_ptr<stream_t> create_stream_from_fp(std::FILE* fp) {
  if (fp == nullptr) return nullptr;
  stream_t* s = new (std::nothrow) FileStream(fp);
  if (s == nullptr) host_fclose(fp);
  return std::unique_ptr<stream_t>(s);
}

status stream_printf(stream_t* s, const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int len = std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (len < 0) len = 0;
  if (len > static_cast<int>(sizeof buf) - 1) len = sizeof buf - 1;
  uint64_t n = static_cast<uint64_t>(len);
  if (stream_write(s, buf, n) != n) return status_errorf("stream_printf(): stream write error (errno %d)\n", host_errno());
  return status::ok();
}

status stream_read_exact(stream_t* s, void* buf, uint64_t n, const char* func, int line) {
  if (stream_read(s, buf, n) != n) return status_errorf("%s():%d: stream_read error (short read)\n", func, line);
  return status::ok();
}

status stream_write_exact(stream_t* s, const void* buf, uint64_t n, const char* func, int line) {
  if (stream_write(s, buf, n) != n) return status_errorf("%s():%d: stream_write error (short write)\n", func, line);
  return status::ok();
}

}  // namespace volpack
