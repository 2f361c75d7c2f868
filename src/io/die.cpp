#include "io/die.h"

#include <cstring>

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

std::string host_failure_line(const host_failure& f) {
  static const char* const kWhat[kHostOpKinds] = {"open",  "read",             "write",           "resize",
                                                  "sync",  "read the folder", "move the file to", "remove"};
  std::string line;
  (void)asprintf(&line, "error: cannot %s \"%s\": %s\n", kWhat[static_cast<int>(f.op)], f.path.c_str(),
                 host_strerror(f.error));
  return line;
}

}  // namespace

bool take_host_failure_line(std::string* line) {
  host_failure f;
  if (!host_take_failure(&f)) return false;
  *line = host_failure_line(f);
  return true;
}

}  // namespace volpack
