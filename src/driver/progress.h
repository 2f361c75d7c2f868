// The progress line a run shows on a terminal.
//
// When standard error is a terminal and "-v" is off, the driver attaches a
// `terminal_progress` to the run context: one line, rewritten in place, per
// phase ("Counting: 1234 entries", "Copying: 12 of 340 files, ...",
// "Compressing: ... left"), redrawn at most ten times a second and erased when
// the phase ends. Messages go through a `progress_safe_reporter`, which erases
// the line first, so that no message starts in the middle of it. Anywhere
// else (a pipe, a file, a CI log) nothing is attached and the run prints
// exactly what it prints without a display.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "io/run_context.h"

namespace volpack {

// The text of the line for a phase that has done `items` of `total_items`
// and `bytes` of `total_bytes` in `elapsed_ms` milliseconds since it began.
// Rate and time left appear once the phase has run half a second.
std::string progress_line(progress_phase phase, uint64_t items, uint64_t total_items, uint64_t bytes,
                          uint64_t total_bytes, uint64_t elapsed_ms);

class terminal_progress final : public progress_t {
 public:
  // Milliseconds from a steady clock.
  using clock_fn = uint64_t (*)();
  static uint64_t steady_ms();
  static constexpr uint64_t kRedrawMs = 100;  // at most ten updates a second

  explicit terminal_progress(std::FILE* out, clock_fn now_ms = steady_ms);
  ~terminal_progress() override;  // erases the line
  terminal_progress(const terminal_progress&) = delete;
  terminal_progress& operator=(const terminal_progress&) = delete;

  // May be called from any thread.
  void begin(progress_phase phase, uint64_t total_items, uint64_t total_bytes) override;
  void advance(uint64_t items, uint64_t bytes) override;
  void end() override;

  // Erases the line now, leaving the cursor at the left margin; the next
  // update draws it again.
  void clear();

 private:
  void maybe_draw_locked();
  void clear_locked();

  std::mutex mu_;
  std::FILE* out_;
  clock_fn now_ms_;
  bool active_ = false;
  progress_phase phase_ = progress_phase::counting;
  uint64_t items_ = 0, total_items_ = 0, bytes_ = 0, total_bytes_ = 0;
  uint64_t started_ms_ = 0, drawn_ms_ = 0;
  bool ever_drawn_ = false;
  size_t shown_ = 0;  // characters of the line now on the terminal
};

// The display for standard error: null when it is not a terminal or when
// verbose lines are on (they would scroll the line away).
std::unique_ptr<terminal_progress> make_stderr_progress(bool verbose);

// Passes every line to `inner`, erasing the progress line first.
class progress_safe_reporter final : public reporter_t {
 public:
  progress_safe_reporter(reporter_t* inner, terminal_progress* progress) : inner_(inner), progress_(progress) {}
  void report(report_kind kind, const std::string& text) override;

 private:
  reporter_t* inner_;
  terminal_progress* progress_;
};

}  // namespace volpack
