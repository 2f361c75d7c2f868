#include "io/buffer.h"

namespace volpack {

status out_of_memory(const char* func, int line) {
  return status_errorf("%s():%d: malloc error (out of memory)\n", func, line);
}

status buffer_alloc(std::vector<uint8_t>* block, size_t size, const char* func, int line) {
  return allocating(func, line, [&] { block->assign(size, 0); });
}

status buffer_resize(std::vector<uint8_t>* block, size_t size, const char* func, int line) {
  status s = allocating(func, line, [&] { block->resize(size); });
  if (!s) return status_errorf("%s():%d: realloc error (out of memory)\n", func, line);
  return s;
}

}  // namespace volpack
