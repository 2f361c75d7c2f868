// What the hfs layer's code shares for returning failures: the early return
// of a failed result, and buffers whose allocation failure is a status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "io/status.h"

namespace volpack {

#define VOLPACK_HFS_CONCAT2(a, b) a##b
#define VOLPACK_HFS_CONCAT(a, b) VOLPACK_HFS_CONCAT2(a, b)
// `lhs = value of expr`, or return expr's failed status from the enclosing
// function (which returns a status or a result).
#define VOLPACK_ASSIGN_OR_RETURN(lhs, expr)                                            \
  auto VOLPACK_HFS_CONCAT(volpack_result_, __LINE__) = (expr);                        \
  if (!VOLPACK_HFS_CONCAT(volpack_result_, __LINE__))                                 \
    return VOLPACK_HFS_CONCAT(volpack_result_, __LINE__).error();                     \
  lhs = VOLPACK_HFS_CONCAT(volpack_result_, __LINE__).take()

// Sizes `buffer` to `size` zero bytes, or gives the out-of-memory status
// "<func>():<number>: malloc error (out of memory)\n".
inline status hfs_buffer(std::vector<uint8_t>* buffer, size_t size, const char* func, int number) {
  try {
    buffer->assign(size, 0);
    return status::ok();
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return status_errorf("%s():%d: malloc error (out of memory)\n", func, number);
}

}  // namespace volpack
