#include "io/io.h"

#include <cstdio>
#include <new>

#include "io/host_fs.h"

namespace volpack {

namespace {

class HostFileIo final : public io_t {
 public:
  explicit HostFileIo(std::FILE* fp) : fp_(fp) {}
  ~HostFileIo() override {
    if (fp_ != nullptr) std::fclose(fp_);
  }
  bool read(uint64_t offset, uint64_t count, void* buf) override {
    if (count == 0) return true;
    if (!host_fseek64(fp_, offset)) return false;
    return std::fread(buf, 1, static_cast<size_t>(count), fp_) == count;
  }
  bool write(uint64_t offset, uint64_t count, const void* buf) override {
    if (count == 0) return true;
    if (!host_fseek64(fp_, offset)) return false;
    return std::fwrite(buf, 1, static_cast<size_t>(count), fp_) == count;
  }
  bool close() override {
    if (fp_ == nullptr) return true;
    bool ok = host_fflush_sync(fp_) && !std::ferror(fp_);
    std::FILE* fp = fp_;
    fp_ = nullptr;
    if (std::fclose(fp) != 0) ok = false;
    return ok;
  }

 private:
  std::FILE* fp_;
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
  if (io == nullptr) std::fclose(fp);
  return std::unique_ptr<io_t>(io);
}

}  // namespace volpack
