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
    if (fp_ != nullptr) std::fclose(fp_);
  }
  uint64_t write(const void* buf, uint64_t n) override {
    if (n == 0) return 0;
    return std::fwrite(buf, 1, static_cast<size_t>(n), fp_);
  }
  uint64_t read(void* buf, uint64_t n) override {
    if (n == 0) return 0;
    return std::fread(buf, 1, static_cast<size_t>(n), fp_);
  }
  bool seek(uint64_t offset) override { return host_fseek64(fp_, offset); }
  uint64_t tell() override {
    int64_t t = host_ftell64(fp_);
    return t < 0 ? 0 : static_cast<uint64_t>(t);
  }
  uint64_t length() override {
    uint64_t here = tell();
    if (std::fseek(fp_, 0, SEEK_END) != 0) return 0;
    uint64_t end = tell();
    seek(here);
    return end;
  }
  bool close() override {
    if (fp_ == nullptr) return true;
    bool ok = !std::ferror(fp_);
    std::FILE* fp = fp_;
    fp_ = nullptr;
    if (std::fclose(fp) != 0) ok = false;
    return ok;
  }

 private:
  std::FILE* fp_;
};

}  // namespace

bool stream_close(std::unique_ptr<stream_t> s) {
  if (!s) return true;
  return s->close();
}

std::unique_ptr<stream_t> create_stream_from_fp(std::FILE* fp) {
  if (fp == nullptr) return nullptr;
  stream_t* s = new (std::nothrow) FileStream(fp);
  if (s == nullptr) std::fclose(fp);
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
