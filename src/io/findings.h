// What a checker found wrong with an image: one line per finding.
//
// The image reader (dmg/udif_read.h) and the volume checker (hfs/check.h)
// append to one list; the `verify` command prints each as "ERROR: text" or
// "WARNING: text". An error means the image is not sound (a Mac would refuse
// it, or a file would not read back as stored); a warning names something
// unusual that does not lose data.
#pragma once

#include <string>
#include <vector>

#include "io/status.h"

namespace volpack {

enum class finding_severity { warning, error };

struct finding {
  finding_severity severity = finding_severity::error;
  std::string text;  // no line end
};

class findings_t {
 public:
  void error(const char* fmt, ...) VOLPACK_PRINTF(2, 3);
  void warning(const char* fmt, ...) VOLPACK_PRINTF(2, 3);
  const std::vector<finding>& list() const { return list_; }
  size_t errors() const;
  size_t warnings() const { return list_.size() + dropped_ - errors(); }
  // Findings beyond this many are counted but not kept, so that a badly
  // damaged image cannot fill memory with messages.
  static constexpr size_t kMaxKept = 1000;
  size_t dropped() const { return dropped_; }

 private:
  void add(finding_severity s, const char* fmt, va_list ap);
  std::vector<finding> list_;
  size_t dropped_ = 0;
  size_t dropped_errors_ = 0;
};

}  // namespace volpack
