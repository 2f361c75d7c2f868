// Helpers shared by the symlink emulation tests.
//
// The item cache lives for the whole process and never forgets a path, so
// every case builds its tree in a fresh TempDir.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/support.h"
#include "symlink/symlink.h"

namespace volpack {
namespace test {

// Resolution on, no trace.
inline symlink_settings quiet_settings() {
  symlink_settings s;
  s.enabled = true;
  s.trace_level = 0;
  return s;
}

inline symlink_settings traced_settings(int level, const std::string& file) {
  symlink_settings s = parse_symlink_switch(("1:" + std::to_string(level)).c_str());
  s.trace_file = file;
  return s;
}

// A tree entry: a file with its content, or a folder when `folder` is set.
struct tree_entry {
  std::string path;
  std::string content;
  bool folder = false;
};
inline tree_entry dir(const std::string& path) { return {path, "", true}; }
inline tree_entry file(const std::string& path, std::string content) { return {path, std::move(content), false}; }

inline void build_tree(const TempDir& tmp, const std::vector<tree_entry>& entries) {
  for (const tree_entry& e : entries) e.folder ? tmp.mkdir(e.path) : tmp.write(e.path, e.content);
}

// Replaces every '@' by `root`.
inline std::string at(const std::string& pattern, const std::string& root) {
  std::string out;
  for (char c : pattern) out += c == '@' ? root : std::string(1, c);
  return out;
}

// Runs a test body in another current folder.
class cwd_guard {
 public:
  explicit cwd_guard(const std::filesystem::path& to) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(to);
  }
  ~cwd_guard() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

}  // namespace test
}  // namespace volpack
