#include "io/die.h"

#include <cstdlib>
#include <cstring>

#include "io/buffer.h"
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

void (*g_message_hook)(void*) = nullptr;
void* g_message_hook_arg = nullptr;

}  // namespace

void set_fatal_message_hook(void (*fn)(void*), void* arg) {
  g_message_hook = fn;
  g_message_hook_arg = arg;
}

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

std::string host_failure_line(const host_failure& f) {
  static const char* const kWhat[kHostOpKinds] = {"open",  "read",             "write",           "resize",
                                                  "sync",  "read the folder", "move the file to", "remove"};
  std::string line;
  (void)asprintf(&line, "error: cannot %s \"%s\": %s\n", kWhat[static_cast<int>(f.op)], f.path.c_str(),
                 host_strerror(f.error));
  return line;
}

bool take_host_failure_line(std::string* line) {
  host_failure f;
  if (!host_take_failure(&f)) return false;
  *line = host_failure_line(f);
  return true;
}

void vdie_to(std::FILE* stream, const char* fmt, va_list ap) {
  if (stream != nullptr) {
    if (g_message_hook != nullptr) g_message_hook(g_message_hook_arg);
    status text = status_verrorf(fmt, ap);
    std::fputs(text.message().c_str(), stream);
    // A few messages of the formatter end without a line end: the reason goes on a line of its own.
    host_failure f;
    if (host_take_failure(&f)) {
      if (!text.message().empty() && text.message().back() != '\n') std::fputc('\n', stream);
      std::fputs(host_failure_line(f).c_str(), stream);
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
  std::vector<uint8_t> block;
  status s = buffer_alloc(&block, size, func, line);
  if (!s) die("%s", s.message().c_str());
  return block;
}

void realloc_or_die(std::vector<uint8_t>& block, size_t size, const char* func, int line) {
  status s = buffer_resize(&block, size, func, line);
  if (!s) die("%s", s.message().c_str());
}

}  // namespace volpack
