// Allocation whose failure is a value: the documented out-of-memory texts as a
// status, for the layers that hand failures up instead of ending the process.
//
// The texts name the caller's function and its fixed message number:
// "%s():%d: malloc error (out of memory)\n" for a new block,
// "%s():%d: realloc error (out of memory)\n" for a block that grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "io/status.h"

namespace volpack {

// The malloc text for `func` and `line`.
status out_of_memory(const char* func, int line);

// `*block` becomes `size` zero bytes.
[[nodiscard]] status buffer_alloc(std::vector<uint8_t>* block, size_t size, const char* func, int line);
// `*block` keeps its bytes and grows (or shrinks) to `size`.
[[nodiscard]] status buffer_resize(std::vector<uint8_t>* block, size_t size, const char* func, int line);

// Runs `fill` (which may throw std::bad_alloc or std::length_error while it
// builds containers) and turns an allocation failure into the malloc text.
template <class Fill>
[[nodiscard]] status allocating(const char* func, int line, Fill&& fill) {
  try {
    fill();
    return status::ok();
  } catch (const std::bad_alloc&) {
    return out_of_memory(func, line);
  } catch (const std::length_error&) {
    return out_of_memory(func, line);
  }
}

}  // namespace volpack
