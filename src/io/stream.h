// Sequential byte streams over open host files.
//
// A `stream_t` has six operations in a fixed order: write, read, seek (always
// absolute, from the start), tell, length (the position is kept), close. Its
// creator owns it through a std::unique_ptr until `stream_close`, which closes
// the host file and frees the object; a failed flush or close is reported, so
// that no caller mistakes a truncated file for a complete one. Results are
// counts: a short count means end of file or a host error. The `_exact`
// variants give a failed status naming the caller's function and number instead.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "io/status.h"

namespace volpack {

class stream_t {
 public:
  virtual ~stream_t() = default;
  virtual uint64_t write(const void* buf, uint64_t n) = 0;  // bytes written; n on success
  virtual uint64_t read(void* buf, uint64_t n) = 0;         // bytes read; fewer at end or error
  virtual bool seek(uint64_t offset) = 0;                   // absolute
  virtual uint64_t tell() = 0;
  virtual uint64_t length() = 0;                            // keeps the position
  virtual bool close() = 0;                                 // false when the data may be lost
};

inline uint64_t stream_write(stream_t* s, const void* buf, uint64_t n) { return s->write(buf, n); }
inline uint64_t stream_read(stream_t* s, void* buf, uint64_t n) { return s->read(buf, n); }
inline bool stream_seek(stream_t* s, uint64_t offset) { return s->seek(offset); }
inline uint64_t stream_tell(stream_t* s) { return s->tell(); }
inline uint64_t stream_length(stream_t* s) { return s->length(); }
// Closes the host file and frees the stream; false when a flush or close failed.
[[nodiscard]] bool stream_close(std::unique_ptr<stream_t> s);

// Wraps a host file opened by the caller ("rb", "wb", untranslated). A null
// file gives no stream and allocates nothing; so does a stream that cannot be
// allocated (the file is then closed). The stream owns the file.
std::unique_ptr<stream_t> create_stream_from_fp(std::FILE* fp);

// Formats into a 1024-byte buffer (longer texts are cut at 1023 bytes) and
// writes the text; a short write fails with
// "stream_printf(): stream write error (errno %d)\n".
[[nodiscard]] status stream_printf(stream_t* s, const char* fmt, ...) VOLPACK_PRINTF(2, 3);

// Exactly n bytes, or "%s():%d: stream_read error (short read)\n".
[[nodiscard]] status stream_read_exact(stream_t* s, void* buf, uint64_t n, const char* func, int line);
// Exactly n bytes, or "%s():%d: stream_write error (short write)\n".
[[nodiscard]] status stream_write_exact(stream_t* s, const void* buf, uint64_t n, const char* func, int line);

}  // namespace volpack
