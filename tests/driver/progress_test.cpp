// The terminal progress line: its texts, its redraw rate, and that it is gone
// from the terminal whenever a message or the end of a phase comes.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "driver/progress.h"
#include "support/support.h"

namespace volpack {
namespace {

uint64_t g_now = 0;
uint64_t fake_ms() { return g_now; }

// A terminal_progress writing into a temporary file, on the fake clock.
struct Terminal {
  std::FILE* file = std::tmpfile();
  std::unique_ptr<terminal_progress> progress;
  Terminal() {
    g_now = 1000;
    if (file != nullptr) progress = std::make_unique<terminal_progress>(file, fake_ms);
  }
  ~Terminal() {
    progress.reset();
    if (file != nullptr) std::fclose(file);
  }
  std::string bytes() {
    std::fflush(file);
    std::rewind(file);
    std::string s;
    for (int c; (c = std::fgetc(file)) != EOF;) s += static_cast<char>(c);
    return s;
  }
};

TEST(ProgressLine, SaysHowFarEachPhaseIs) {
  constexpr uint64_t MiB = 1024 * 1024;
  struct Case {
    progress_phase phase;
    uint64_t items, total_items, bytes, total_bytes, elapsed_ms;
    const char* text;
  } cases[] = {
      {progress_phase::counting, 1, 0, 0, 0, 10, "Counting: 1 entry"},
      {progress_phase::counting, 12345, 0, 0, 0, 10, "Counting: 12345 entries"},
      {progress_phase::copying, 3, 40, 512, 2048, 10, "Copying: 3 of 40 files, 512 B of 2.0 KiB (25%)"},
      {progress_phase::copying, 0, 0, 0, 0, 10, "Copying: 0 of 0 files, 0 B of 0 B (100%)"},
      {progress_phase::copying, 9, 10, 1023 * MiB, 3 * 1024 * MiB, 10,
       "Copying: 9 of 10 files, 1023.0 MiB of 3.0 GiB (33%)"},
      // No rate before half a second, nor before the first byte.
      {progress_phase::compressing, 0, 0, 5 * MiB, 20 * MiB, 499, "Compressing: 5.0 MiB of 20.0 MiB (25%)"},
      {progress_phase::compressing, 0, 0, 0, 20 * MiB, 5000, "Compressing: 0 B of 20.0 MiB (0%)"},
      {progress_phase::compressing, 0, 0, 5 * MiB, 20 * MiB, 1000,
       "Compressing: 5.0 MiB of 20.0 MiB (25%), 5.0 MiB/s, 3 s left"},
      {progress_phase::compressing, 0, 0, 1 * MiB, 601 * MiB, 1000,
       "Compressing: 1.0 MiB of 601.0 MiB (0%), 1.0 MiB/s, 10:00 left"},
      {progress_phase::compressing, 0, 0, 1 * MiB, 3601 * MiB, 1000,
       "Compressing: 1.0 MiB of 3.5 GiB (0%), 1.0 MiB/s, 1:00:00 left"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.text, progress_line(c.phase, c.items, c.total_items, c.bytes, c.total_bytes, c.elapsed_ms));
  }
  // Never wider than an 80-column terminal takes without wrapping.
  EXPECT_GE(79u, progress_line(progress_phase::copying, ~0ull, ~0ull, ~0ull, ~0ull, 10).size());
}

TEST(TerminalProgress, RedrawsAtMostTenTimesASecondAndErasesItself) {
  Terminal t;
  ASSERT_NE(nullptr, t.file);
  t.progress->begin(progress_phase::counting, 0, 0);
  for (int i = 0; i < 2000; ++i) {  // two seconds of entries, one per millisecond
    ++g_now;
    t.progress->advance(1, 0);
  }
  std::string out = t.bytes();
  size_t draws = 0;
  for (char c : out) draws += c == '\r';
  EXPECT_LE(draws, 21u);  // the first line, then one per 100 ms
  EXPECT_GE(draws, 19u);
  EXPECT_EQ(std::string::npos, out.find('\n'));
  EXPECT_EQ((std::vector<std::string>{"Counting: 2000 entries"}), test::terminal_screen(out));

  t.progress->end();
  EXPECT_EQ("", test::terminal_screen(t.bytes()).back());  // the terminal line is blank again
  size_t before = t.bytes().size();
  g_now += 1000;
  t.progress->advance(5, 0);  // after the phase: nothing drawn
  EXPECT_EQ(before, t.bytes().size());
}

TEST(TerminalProgress, MessagesStartAtTheLeftMarginAndTheLineComesBack) {
  Terminal t;
  ASSERT_NE(nullptr, t.file);
  struct file_reporter final : reporter_t {
    std::FILE* f;
    void report(report_kind, const std::string& text) override { std::fputs(text.c_str(), f); }
  } inner;
  inner.f = t.file;
  progress_safe_reporter reporter(&inner, t.progress.get());

  t.progress->begin(progress_phase::copying, 4, 4096);
  g_now += 200;
  t.progress->advance(1, 4000);  // a long line: "... 3.9 KiB of 4.0 KiB (97%)"
  reporter.warnf("WARNING: skipped %s\n", "a");
  g_now += 200;
  t.progress->advance(1, 10);
  std::vector<std::string> lines = test::terminal_screen(t.bytes());
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("WARNING: skipped a", lines[0]);
  EXPECT_EQ("Copying: 2 of 4 files, 3.9 KiB of 4.0 KiB (97%)", lines[1]);

  t.progress->begin(progress_phase::compressing, 0, 100);  // a shorter line covers the longer one
  g_now += 200;
  t.progress->advance(0, 1);
  EXPECT_EQ("Compressing: 1 B of 100 B (1%)", test::terminal_screen(t.bytes()).back());
}

}  // namespace
}  // namespace volpack
