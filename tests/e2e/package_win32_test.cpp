// volpack.exe on Windows: drive-letter and backslash paths, names outside the
// code page, files that other programs hold open, a second run on the same
// output, and the output inside the source. (Reading the images back with 7-Zip
// is left to tools/compare-windows-image.sh, which compares them with the Linux
// build's.)
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "io/host_fs.h"
#include "support/support.h"

namespace volpack {
namespace {

namespace fs = std::filesystem;
using test::random_text;
using test::TempDir;

std::string utf8(const fs::path& p) {
  std::string s;
  for (auto c : p.u8string()) s += static_cast<char>(c);
  return s;
}

// The path in Windows form: drive letter and backslashes.
std::string win(const fs::path& p) { return utf8(fs::path(p).make_preferred()); }

// Holds a file open the way another program may: sharing only what `share` allows.
class HeldOpen {
 public:
  HeldOpen(const fs::path& p, DWORD access, DWORD share)
      : h_(CreateFileW(p.wstring().c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~HeldOpen() {
    if (ok()) CloseHandle(h_);
  }
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

class Win32Package : public ::testing::Test {
 protected:
  TempDir work, src;
  fs::path out() const { return work.path() / "out.dmg"; }
  // Packages with Windows paths; an image made is checked against its source.
  test::program_result package() { return test::package(win(out()), win(src.path())); }
  // Nothing but the output (when there is one) in the work folder.
  void expect_no_leftovers() {
    for (const auto& e : fs::directory_iterator(work.path()))
      EXPECT_EQ("out.dmg", e.path().filename().string()) << "left behind";
  }
};

TEST_F(Win32Package, BackslashPathsAndNamesOutsideTheCodePage) {
  const std::string resume = "R\xC3\xA9sum\xC3\xA9.txt", japan = "\xE6\x97\xA5\xE6\x9C\xAC";  // "Résumé.txt", "日本"
  src.write("big.bin", random_text(600000, 1));
  test::write_file(src.path() / fs::u8path(resume), "# not a link\n");
  fs::create_directory(src.path() / fs::u8path(japan));
  test::write_file(src.path() / fs::u8path(japan) / "data.bin", std::string("a\r\nb\x1A", 5) + random_text(5000, 2));
  // The source with a trailing backslash still names the volume after its folder.
  auto r = test::package(win(out()), win(src.path()) + "\\", true);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_NE(std::string::npos, r.out.find("Added file: /" + resume + "\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Added file: /" + japan + "/data.bin\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Done.\n")) << r.out;
  std::string image = test::read_file(out());
  ASSERT_GT(image.size(), 512u);
  EXPECT_EQ("koly", image.substr(image.size() - 512, 4));
  expect_no_leftovers();
}

TEST_F(Win32Package, AFileAnotherProgramHoldsExclusivelyFailsTheRunCleanly) {
  src.write("ok.txt", "# fine\n");
  src.write("held.bin", random_text(600000, 3));
  test::write_file(out(), "old image");
  HeldOpen held(src.path() / "held.bin", GENERIC_READ, 0);
  ASSERT_TRUE(held.ok());
  auto r = package();
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("held.bin")) << r.err;
  EXPECT_EQ("old image", test::read_file(out()));
  expect_no_leftovers();
}

TEST_F(Win32Package, AnImageOpenInAReaderIsKeptAndReported) {
  src.write("a.bin", random_text(600000, 4));
  test::write_file(out(), "old image");
  {
    HeldOpen reader(out(), GENERIC_READ, FILE_SHARE_READ);  // no sharing of deletion: no replacing
    ASSERT_TRUE(reader.ok());
    auto r = package();
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot write DMG file")) << r.err;
    EXPECT_EQ("old image", test::read_file(out()));
    expect_no_leftovers();
  }
  auto r = package();
  EXPECT_EQ(0, r.status) << r.err;
  expect_no_leftovers();
}

// A run holding the output's lock stops a second one, which leaves the lock
// alone; an output inside the source is refused.
TEST_F(Win32Package, SecondRunOnTheSameOutputStopsAndTheOutputStaysOutOfTheSource) {
  src.write("a.bin", random_text(600000, 5));
  const std::string lock = win(work.path() / "out.dmg.volpack-lock");
  bool created = false;
  int fd = host_lock_file(lock.c_str(), &created);
  ASSERT_GE(fd, 0);
  auto r = package();
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("another volpack run")) << r.err;
  EXPECT_TRUE(fs::exists(lock));
  EXPECT_FALSE(fs::exists(out()));
  host_close(fd);
  fs::remove(lock);

  std::string inside = win(src.path()) + "\\out.dmg";
  r = test::package(inside, win(src.path()));
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("inside the source")) << r.err;
  EXPECT_FALSE(fs::exists(inside));
  expect_no_leftovers();
}

}  // namespace
}  // namespace volpack
