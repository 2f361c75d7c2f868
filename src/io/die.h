// The one way volpack ends the process on failure, and the clean-up that runs first.
//
// Failures travel up as a `status` (io/status.h) and the driver prints them
// once and picks the exit status. What is left here is the process-level end:
// `die` and `die_to` print one message, remove the files registered with
// `cleanup_register` (the scratch volume and the half-written image) and exit
// with status 1; an interrupt (Ctrl-C, SIGTERM) runs the same clean-up. The
// `_or_die` routines are thin wrappers for callers that cannot hand a failure
// up: they turn a failed status into `die`. The io, dmg and symlink layers
// never call any of them. Nothing else in the program calls exit().
//
// `malloc_or_die`/`realloc_or_die`: io/buffer.h's allocation, dying with its
// text ("%s():%d: malloc error (out of memory)\n" or the realloc text).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "io/status.h"  // VOLPACK_PRINTF

namespace volpack {

// Prints the formatted message on standard error, cleans up, exits with status 1.
[[noreturn]] void die(const char* fmt, ...) VOLPACK_PRINTF(1, 2);
// The same on a given stream; a null stream prints nothing.
[[noreturn]] void die_to(std::FILE* stream, const char* fmt, ...) VOLPACK_PRINTF(2, 3);
[[noreturn]] void vdie_to(std::FILE* stream, const char* fmt, va_list ap);

// Runs `fn(arg)` before a fatal message is printed, so that a progress line
// on the terminal can be erased first; a null `fn` removes the hook.
void set_fatal_message_hook(void (*fn)(void*), void* arg);

// When the host layer holds a failure on a named file (host_take_failure),
// takes it and gives the line that names the file and the host's reason:
// "error: cannot write \"PATH\": No space left on device\n". `die` prints it
// after its message; the driver prints it after its own.
bool take_host_failure_line(std::string* line);

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
