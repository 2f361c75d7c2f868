// Positioned block I/O: read or write n bytes at a byte offset.
//
// An `io_t` has three operations in a fixed order: read, write (both take the
// offset, the byte count, then the buffer, and return true only when every
// byte moved) and close. Two implementations exist: one over a host file
// (`create_io_from_path`, on which the volume is opened) and one over a fork
// inside the volume (hfs/volume.h), on which the B-trees and the importer's
// file copy run. Callers never know which one they hold. A zero count succeeds
// at once, at any offset. Operations never print: callers report
// "io_read error" / "io_write error" with their own function name.
//
// Ownership: whoever creates an io_t holds it in a std::unique_ptr; `io_close`
// takes it, releases what it holds and frees it. Closing a host file hands its
// bytes to the system; it does not wait for them to reach the disk.
#pragma once

#include <cstdint>
#include <memory>

namespace volpack {

class io_t {
 public:
  virtual ~io_t() = default;
  virtual bool read(uint64_t offset, uint64_t count, void* buf) = 0;
  virtual bool write(uint64_t offset, uint64_t count, const void* buf) = 0;
  virtual bool close() = 0;  // false when written data may be lost
};

inline bool io_read(io_t* io, uint64_t offset, uint64_t count, void* buf) {
  return io->read(offset, count, buf);
}
inline bool io_write(io_t* io, uint64_t offset, uint64_t count, const void* buf) {
  return io->write(offset, count, buf);
}
// Closes and frees; false when a flush or close of the host file failed.
bool io_close(std::unique_ptr<io_t> io);

// Opens an existing host file for reading and writing ("rb+", untranslated).
// Null when the file cannot be opened or the object cannot be allocated.
std::unique_ptr<io_t> create_io_from_path(const char* path);

}  // namespace volpack
