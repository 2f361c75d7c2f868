#include "driver/progress.h"

#include <chrono>

#include "io/host_fs.h"

namespace volpack {

namespace {

// Lines stay within 79 columns so that an 80-column terminal never wraps them
// (a wrapped line could not be rewritten with a carriage return).
constexpr size_t kMaxLine = 79;

std::string size_text(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  std::string s;
  if (bytes < 1024) {
    asprintf(&s, "%llu B", static_cast<unsigned long long>(bytes));
    return s;
  }
  double v = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (v >= 1024 && unit < 4) {
    v /= 1024;
    ++unit;
  }
  asprintf(&s, "%.1f %s", v, kUnits[unit]);
  return s;
}

std::string duration_text(uint64_t seconds) {
  std::string s;
  if (seconds < 60) {
    asprintf(&s, "%llu s", static_cast<unsigned long long>(seconds));
  } else if (seconds < 3600) {
    asprintf(&s, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
             static_cast<unsigned long long>(seconds % 60));
  } else {
    asprintf(&s, "%llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
             static_cast<unsigned long long>(seconds / 60 % 60), static_cast<unsigned long long>(seconds % 60));
  }
  return s;
}

unsigned percent(uint64_t done, uint64_t total) {
  if (total == 0 || done >= total) return 100;
  return static_cast<unsigned>(static_cast<double>(done) * 100 / static_cast<double>(total));
}

}  // namespace

std::string progress_line(progress_phase phase, uint64_t items, uint64_t total_items, uint64_t bytes,
                          uint64_t total_bytes, uint64_t elapsed_ms) {
  std::string s;
  switch (phase) {
    case progress_phase::counting:
      asprintf(&s, "Counting: %llu %s", static_cast<unsigned long long>(items), items == 1 ? "entry" : "entries");
      break;
    case progress_phase::copying:
      asprintf(&s, "Copying: %llu of %llu files, %s of %s (%u%%)", static_cast<unsigned long long>(items),
               static_cast<unsigned long long>(total_items), size_text(bytes).c_str(),
               size_text(total_bytes).c_str(), percent(bytes, total_bytes));
      break;
    case progress_phase::compressing: {
      asprintf(&s, "Compressing: %s of %s (%u%%)", size_text(bytes).c_str(), size_text(total_bytes).c_str(),
               percent(bytes, total_bytes));
      if (elapsed_ms >= 500 && bytes > 0) {
        double rate = static_cast<double>(bytes) * 1000 / static_cast<double>(elapsed_ms);  // bytes per second
        uint64_t left = total_bytes > bytes ? total_bytes - bytes : 0;
        std::string tail;
        asprintf(&tail, ", %s/s, %s left", size_text(static_cast<uint64_t>(rate)).c_str(),
                 duration_text(static_cast<uint64_t>(static_cast<double>(left) / rate + 0.5)).c_str());
        s += tail;
      }
      break;
    }
  }
  if (s.size() > kMaxLine) s.resize(kMaxLine);
  return s;
}

uint64_t terminal_progress::steady_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

terminal_progress::terminal_progress(std::FILE* out, clock_fn now_ms) : out_(out), now_ms_(now_ms) {}

terminal_progress::~terminal_progress() { clear(); }

void terminal_progress::begin(progress_phase phase, uint64_t total_items, uint64_t total_bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  active_ = true;
  phase_ = phase;
  items_ = bytes_ = 0;
  total_items_ = total_items;
  total_bytes_ = total_bytes;
  started_ms_ = now_ms_();
  maybe_draw_locked();
}

void terminal_progress::advance(uint64_t items, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  items_ += items;
  bytes_ += bytes;
  if (active_) maybe_draw_locked();
}

void terminal_progress::end() {
  std::lock_guard<std::mutex> lock(mu_);
  active_ = false;
  clear_locked();
}

void terminal_progress::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  clear_locked();
}

void terminal_progress::maybe_draw_locked() {
  uint64_t now = now_ms_();
  if (ever_drawn_ && now - drawn_ms_ < kRedrawMs) return;
  std::string line = progress_line(phase_, items_, total_items_, bytes_, total_bytes_, now - started_ms_);
  size_t length = line.size();
  if (length < shown_) line.append(shown_ - length, ' ');  // cover the longer line before
  std::fputc('\r', out_);
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
  shown_ = line.size();
  drawn_ms_ = now;
  ever_drawn_ = true;
}

void terminal_progress::clear_locked() {
  if (shown_ == 0) return;
  std::string blank = "\r" + std::string(shown_, ' ') + "\r";
  std::fwrite(blank.data(), 1, blank.size(), out_);
  std::fflush(out_);
  shown_ = 0;
}

std::unique_ptr<terminal_progress> make_stderr_progress(bool verbose) {
  if (verbose || !host_is_terminal(stderr)) return nullptr;
  return std::make_unique<terminal_progress>(stderr);
}

void progress_safe_reporter::report(report_kind kind, const std::string& text) {
  if (progress_ != nullptr) progress_->clear();
  inner_->report(kind, text);
}

}  // namespace volpack
