// The one way volpack ends the process on failure, and the clean-up that runs first.
//
// Every routine that cannot go on (the `_or_die` family, the formatter's
// refusals, the fatal checks of the B-tree and catalog) prints exactly one
// message and calls `die` or `die_to`, which removes the files registered with
// `cleanup_register` (the scratch volume and the half-written image) and exits
// with status 1. An interrupt (Ctrl-C, SIGTERM) runs the same clean-up.
// Nothing else in the program calls exit().
//
// Buffers come from `malloc_or_die`/`realloc_or_die`: a std::vector whose
// allocation failure prints "%s():%d: malloc error (out of memory)\n" (or the
// realloc text) with the caller's function name and line, then dies.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "io/status.h"  // VOLPACK_PRINTF

namespace volpack {

// Prints the formatted message on standard error, cleans up, exits with status 1.
[[noreturn]] void die(const char* fmt, ...) VOLPACK_PRINTF(1, 2);
// The same on a given stream; a null stream prints nothing.
[[noreturn]] void die_to(std::FILE* stream, const char* fmt, ...) VOLPACK_PRINTF(2, 3);
[[noreturn]] void vdie_to(std::FILE* stream, const char* fmt, va_list ap);

// When the host layer holds a failure on a named file (host_take_failure),
// prints one more line naming the file and the host's reason, and forgets the
// failure: "error: cannot write \"PATH\": No space left on device\n". `die`
// does so after its message.
void report_host_failure(std::FILE* stream);

// Files to remove when the process ends on failure or interrupt. At most a
// handful of paths are held; registering installs the interrupt handler once.
void cleanup_register(const char* path);
void cleanup_unregister(const char* path);
// Removes every registered file now (used by die and by the interrupt handler).
void cleanup_run();

std::vector<uint8_t> malloc_or_die(size_t size, const char* func, int line);
void realloc_or_die(std::vector<uint8_t>& block, size_t size, const char* func, int line);

// An object allocated under the malloc_or_die contract.
template <class T, class... Args>
std::unique_ptr<T> new_or_die(const char* func, int line, Args&&... args) {
  T* p = new (std::nothrow) T(std::forward<Args>(args)...);
  if (p == nullptr) die("%s():%d: malloc error (out of memory)\n", func, line);
  return std::unique_ptr<T>(p);
}

}  // namespace volpack
