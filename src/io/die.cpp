#include "io/die.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "io/host_fs.h"

namespace volpack {

namespace {

// Fixed storage, so that the interrupt handler reads nothing that allocates.
constexpr int kMaxCleanupPaths = 8;
constexpr size_t kMaxCleanupPath = 4096;
char g_cleanup_paths[kMaxCleanupPaths][kMaxCleanupPath];
volatile int g_cleanup_used[kMaxCleanupPaths];
bool g_handler_installed = false;

void on_interrupt() { cleanup_run(); }

}  // namespace

void cleanup_register(const char* path) {
  if (!g_handler_installed) {
    host_on_interrupt(on_interrupt);
    g_handler_installed = true;
  }
  if (std::strlen(path) >= kMaxCleanupPath) return;
  for (int i = 0; i < kMaxCleanupPaths; ++i) {
    if (!g_cleanup_used[i]) {
      std::strcpy(g_cleanup_paths[i], path);
      g_cleanup_used[i] = 1;
      return;
    }
  }
}

void cleanup_unregister(const char* path) {
  for (int i = 0; i < kMaxCleanupPaths; ++i) {
    if (g_cleanup_used[i] && std::strcmp(g_cleanup_paths[i], path) == 0) g_cleanup_used[i] = 0;
  }
}

void cleanup_run() {
  for (int i = 0; i < kMaxCleanupPaths; ++i) {
    if (g_cleanup_used[i]) {
      host_remove_raw(g_cleanup_paths[i]);
      g_cleanup_used[i] = 0;
    }
  }
}

namespace {

void print_failure(std::FILE* stream, const host_failure& f) {
  static const char* const kWhat[kHostOpKinds] = {"open",  "read",             "write",           "resize",
                                                  "sync",  "read the folder", "move the file to", "remove"};
  std::fprintf(stream, "error: cannot %s \"%s\": %s\n", kWhat[static_cast<int>(f.op)], f.path.c_str(),
               host_strerror(f.error));
}

}  // namespace

void report_host_failure(std::FILE* stream) {
  host_failure f;
  if (host_take_failure(&f) && stream != nullptr) print_failure(stream, f);
}

void vdie_to(std::FILE* stream, const char* fmt, va_list ap) {
  if (stream != nullptr) {
    status text = status_verrorf(fmt, ap);
    std::fputs(text.message().c_str(), stream);
    // A few messages of the formatter end without a line end: the reason goes on a line of its own.
    host_failure f;
    if (host_take_failure(&f)) {
      if (!text.message().empty() && text.message().back() != '\n') std::fputc('\n', stream);
      print_failure(stream, f);
    }
    std::fflush(stream);
  }
  cleanup_run();
  std::fflush(stdout);
  std::exit(1);
}

void die_to(std::FILE* stream, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vdie_to(stream, fmt, ap);
}

void die(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vdie_to(stderr, fmt, ap);
}

std::vector<uint8_t> malloc_or_die(size_t size, const char* func, int line) {
  try {
    return std::vector<uint8_t>(size);
  } catch (const std::bad_alloc&) {
    die("%s():%d: malloc error (out of memory)\n", func, line);
  } catch (const std::length_error&) {
    die("%s():%d: malloc error (out of memory)\n", func, line);
  }
}

void realloc_or_die(std::vector<uint8_t>& block, size_t size, const char* func, int line) {
  try {
    block.resize(size);
  } catch (const std::bad_alloc&) {
    die("%s():%d: realloc error (out of memory)\n", func, line);
  } catch (const std::length_error&) {
    die("%s():%d: realloc error (out of memory)\n", func, line);
  }
}

}  // namespace volpack
