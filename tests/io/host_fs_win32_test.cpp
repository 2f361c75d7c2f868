// The host layer on Windows: search patterns, drive roots and backslashes,
// untranslated files, offsets past 4 GiB, and names outside ASCII.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>

#include "io/host_fs.h"
#include "io/io.h"
#include "io/stream.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::TempDir;

std::set<std::string> names_in(const std::string& path) {
  std::set<std::string> names;
  host_dir* d = host_opendir(path.c_str());
  if (d == nullptr) return names;
  while (host_dirent* e = host_readdir(d)) names.insert(std::string(e->d_name) + (e->d_type == DT_DIR ? "/" : ""));
  host_closedir(d);
  return names;
}

std::string utf8(const std::filesystem::path& p) {
  std::string s;
  for (auto c : p.u8string()) s += static_cast<char>(c);
  return s;
}

// The folder in Windows form, with backslashes.
std::string win(const TempDir& dir) { return utf8(dir.path().lexically_normal().make_preferred()); }

TEST(Win32Dir, SearchPatternsForEverySeparatorStyle) {
  TempDir dir;
  dir.write("sub\\a.txt", "1");
  dir.mkdir("sub\\inner");
  std::set<std::string> expected = {"./", "../", "a.txt", "inner/"};
  std::string base = win(dir) + "\\sub";
  for (const std::string& p : {base, base + "\\", base + "/", win(dir) + "/sub/", win(dir) + "/sub\\\\"})
    EXPECT_EQ(expected, names_in(p)) << p;
}

TEST(Win32Dir, DriveRootsEnumerateAndStatAsFolders) {
  std::string drive = win(TempDir()).substr(0, 2);  // "C:"
  ASSERT_EQ(':', drive[1]);
  for (const std::string& root : {drive + "\\", drive + "/"}) {
    std::set<std::string> names = names_in(root);
    EXPECT_FALSE(names.empty()) << root;
    host_stat_t st;
    ASSERT_EQ(0, host_stat(root.c_str(), &st)) << root;
    EXPECT_EQ(DT_DIR, st.type) << root;
  }
}

TEST(Win32Stat, BackslashesTrailingSeparatorsAndIdentity) {
  TempDir dir;
  dir.write("d/f.bin", "12345");
  std::string d = win(dir) + "\\d";
  host_stat_t a, b, folder;
  ASSERT_EQ(0, host_stat((d + "\\f.bin").c_str(), &a));
  ASSERT_EQ(0, host_stat((utf8(dir.path()) + "/d\\f.bin").c_str(), &b));
  EXPECT_EQ(5u, a.size);
  EXPECT_EQ(DT_REG, a.type);
  EXPECT_FALSE(a.owner_exec);
  EXPECT_NE(0u, a.inode);  // the same file, reached two ways
  EXPECT_EQ(a.inode, b.inode);
  EXPECT_EQ(a.device, b.device);
  for (const std::string& p : {d, d + "\\", d + "/"}) {
    ASSERT_EQ(0, host_stat(p.c_str(), &folder)) << p;
    EXPECT_EQ(DT_DIR, folder.type) << p;
  }
  std::string target;
  EXPECT_FALSE(host_readlink((d + "\\f.bin").c_str(), &target));
}

// Text mode would turn "\r\n" into "\n" and stop reading at 0x1A.
TEST(Win32Files, EveryModeIsUntranslated) {
  TempDir dir;
  std::string content = std::string("a\r\nb\x1A" "c\nd\r", 9) + std::string(5000, '\x1A') + "\r\n";
  std::string src = win(dir) + "\\src.bin", dst = win(dir) + "\\dst.bin";
  dir.write("src.bin", content);
  for (const char* in_mode : {"rb", "r"}) {
    for (const char* out_mode : {"wb", "w"}) {
      auto in = create_stream_from_fp(host_fopen(src.c_str(), in_mode));
      auto out = create_stream_from_fp(host_fopen(dst.c_str(), out_mode));
      ASSERT_NE(nullptr, in);
      ASSERT_NE(nullptr, out);
      EXPECT_EQ(content.size(), stream_length(in.get()));
      std::vector<uint8_t> buf(content.size() + 10);
      ASSERT_EQ(content.size(), stream_read(in.get(), buf.data(), buf.size())) << in_mode;
      EXPECT_EQ(content.size(), stream_write(out.get(), buf.data(), content.size()));
      EXPECT_TRUE(stream_close(std::move(in)));
      EXPECT_TRUE(stream_close(std::move(out)));
      EXPECT_EQ(content, test::read_file(dst)) << in_mode << " " << out_mode;
    }
  }
  auto io = create_io_from_path(dst.c_str());
  ASSERT_NE(nullptr, io);
  EXPECT_TRUE(io_write(io.get(), 3, 2, "\n\r"));
  EXPECT_TRUE(io_close(std::move(io)));
  EXPECT_EQ("a\r\n\n\r", test::read_file(dst).substr(0, 5));
}

// Marks a file sparse where the file system can, so that the test does not
// take gigabytes of disk (Wine's files on Linux are sparse anyway).
void make_sparse(int fd) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD unused = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
}

TEST(Win32Files, OffsetsPastFourGigabytes) {
  TempDir dir;
  std::string path = win(dir) + "\\big";
  const uint64_t size = 5ull << 30, beyond = (4ull << 30) + 7;
  int fd = host_open(path.c_str(), HOST_O_RDWR | HOST_O_CREAT | HOST_O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  make_sparse(fd);
  ASSERT_EQ(3, host_write_all(fd, "abc", 3));
  ASSERT_TRUE(host_ftruncate(fd, size));
  EXPECT_EQ(2, host_write_all(fd, "de", 2));  // the position survives the growth
  ASSERT_TRUE(host_lseek(fd, size - 3));
  EXPECT_EQ(3, host_write_all(fd, "end", 3));
  host_stat_t st;
  ASSERT_EQ(0, host_fstat(fd, &st));
  EXPECT_EQ(size, st.size);
  EXPECT_EQ(0, host_close(fd));

  auto io = create_io_from_path(path.c_str());
  ASSERT_NE(nullptr, io);
  char buf[8] = {};
  EXPECT_TRUE(io_read(io.get(), 0, 5, buf));
  EXPECT_EQ(0, std::memcmp(buf, "abcde", 5));
  EXPECT_TRUE(io_write(io.get(), beyond, 4, "FAR!"));
  EXPECT_TRUE(io_read(io.get(), beyond - 1, 6, buf));
  EXPECT_EQ(0, std::memcmp(buf, "\0FAR!\0", 6));
  EXPECT_TRUE(io_read(io.get(), beyond - (1ull << 32), 4, buf));  // a 32-bit offset would land here
  EXPECT_EQ(0, std::memcmp(buf, "\0\0\0\0", 4));
  EXPECT_FALSE(io_read(io.get(), size - 2, 3, buf));
  EXPECT_TRUE(io_close(std::move(io)));

  auto s = create_stream_from_fp(host_fopen(path.c_str(), "rb"));
  ASSERT_NE(nullptr, s);
  ASSERT_TRUE(stream_seek(s.get(), size - 3));
  EXPECT_EQ(size - 3, stream_tell(s.get()));
  EXPECT_EQ(size, stream_length(s.get()));
  EXPECT_EQ(3u, stream_read(s.get(), buf, 8));
  EXPECT_EQ(0, std::memcmp(buf, "end", 3));
  EXPECT_TRUE(stream_close(std::move(s)));

  fd = host_open(path.c_str(), HOST_O_WRONLY, 0);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(host_ftruncate(fd, 10));
  ASSERT_EQ(0, host_fstat(fd, &st));
  EXPECT_EQ(10u, st.size);
  EXPECT_EQ(0, host_close(fd));
}

TEST(Win32Names, ComeAndGoAsUtf8) {
  TempDir dir;
  // "café", a CJK name outside every Western code page, and one astral character.
  const std::string cafe = "caf\xC3\xA9", cjk = "\xE6\x97\xA5\xE6\x9C\xAC", astral = "\xF0\x9F\x8D\x8E.txt";
  const std::wstring wcafe = L"caf\u00E9", wcjk = L"\u65E5\u672C", wastral = L"\U0001F34E.txt";
  // Made by the host layer from UTF-8: the file system holds the characters.
  std::string folder = win(dir) + "\\" + cafe;
  ASSERT_TRUE(host_mkdir(folder.c_str()));
  int fd = host_open((folder + "\\" + cjk).c_str(), HOST_O_WRONLY | HOST_O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(2, host_write_all(fd, "hi", 2));
  EXPECT_EQ(0, host_close(fd));
  EXPECT_EQ("hi", test::read_file(dir.path() / wcafe / wcjk));
  // Made with UTF-16 names: the host layer reports them in UTF-8.
  std::ofstream(dir.path() / wcafe / wastral) << "apple";
  EXPECT_EQ((std::set<std::string>{"./", "../", cjk, astral}), names_in(folder));
  host_stat_t st;
  ASSERT_EQ(0, host_stat((folder + "/" + astral).c_str(), &st));
  EXPECT_EQ(5u, st.size);
  auto in = create_stream_from_fp(host_fopen((folder + "/" + astral).c_str(), "rb"));
  ASSERT_NE(nullptr, in);
  EXPECT_EQ(5u, stream_length(in.get()));
  EXPECT_TRUE(stream_close(std::move(in)));
  EXPECT_TRUE(host_rename_replace((folder + "/" + astral).c_str(), (folder + "/" + cafe).c_str()));
  EXPECT_EQ("apple", test::read_file(dir.path() / wcafe / wcafe));
}

TEST(Win32Names, TextInTheActiveCodePageStillFindsTheFile) {
  char acp[8] = {};
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(CP_ACP, 0, L"\u00E9", 1, acp, sizeof acp - 1, nullptr, &lossy);
  if (n != 1 || lossy || static_cast<uint8_t>(acp[0]) < 0x80) GTEST_SKIP() << "no single-byte \u00E9 in this code page";
  TempDir dir;
  std::ofstream(dir.path() / L"caf\u00E9") << "x";
  host_stat_t st;
  EXPECT_EQ(0, host_stat((win(dir) + "\\caf" + acp).c_str(), &st));  // not UTF-8: read in the code page
  EXPECT_EQ(1u, st.size);
}

TEST(Win32Process, ArgumentsReachTheProgramAsUtf8) {
  TempDir dir;
  const std::string name = "app-\xC3\xBC-\xE6\x97\xA5\xE6\x9C\xAC";  // "app-ü-日本"
  std::string missing = win(dir) + "\\" + name, out = win(dir) + "\\x.dmg";
  auto r = test::run_volpack(test::shell_quote(out) + " " + test::shell_quote(missing));
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("Error: cannot compute directory size of \"" + missing + "\" (errno 2)\n", r.err);
  // The same name, present: measured, so no measuring error whatever follows.
  std::filesystem::create_directory(std::filesystem::u8path(missing));
  r = test::run_volpack(test::shell_quote(out) + " " + test::shell_quote(missing));
  EXPECT_EQ(std::string::npos, r.err.find("cannot compute directory size")) << r.err;
}

}  // namespace
}  // namespace volpack
