// The host layer on POSIX hosts: host symbolic links are reported as links.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

#include "io/host_fs.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::TempDir;

TEST(HostDir, TypesLinksAndSpecialFilesApart) {
  TempDir dir;
  dir.mkdir("real");
  std::filesystem::create_directory_symlink("real", dir.path() / "dirlink");
  std::filesystem::create_symlink("nowhere", dir.path() / "dangling");
  std::set<std::string> names;
  host_dir* d = host_opendir(dir.str().c_str());
  ASSERT_NE(nullptr, d);
  while (host_dirent* e = host_readdir(d)) {
    std::string n = e->d_name;
    if (n == "dirlink" || n == "dangling") {
      EXPECT_EQ(DT_LNK, e->d_type) << n;
    } else if (n == "real") {
      EXPECT_EQ(DT_DIR, e->d_type);
    }
  }
  host_closedir(d);
  host_stat_t st;
  ASSERT_EQ(0, host_lstat((dir.path() / "dangling").string().c_str(), &st));
  EXPECT_EQ(DT_LNK, st.type);
  EXPECT_EQ(7u, st.size);  // the link's own size: its target text
  EXPECT_EQ(-1, host_stat((dir.path() / "dangling").string().c_str(), &st));
  std::string target;
  EXPECT_TRUE(host_readlink((dir.path() / "dangling").string().c_str(), &target));
  EXPECT_EQ("nowhere", target);
  EXPECT_FALSE(host_readlink((dir.path() / "real").string().c_str(), &target));
}

// Links planted at the names of a run's files are never followed, and a
// FIFO swapped in for an input file is refused instead of waited on.
TEST(HostRunFiles, PlantedLinksAndFifosAreRefused) {
  TempDir dir;
  auto victim = dir.write("victim", "precious\n");
  std::filesystem::create_symlink(victim, dir.path() / "out.dmg.lock");
  bool created = false;
  EXPECT_EQ(-1, host_lock_file((dir.path() / "out.dmg.lock").c_str(), &created));
  EXPECT_EQ(-1, host_open((dir.path() / "out.dmg.lock").c_str(),
                          HOST_O_RDWR | HOST_O_CREAT | HOST_O_EXCL | HOST_O_NOFOLLOW, 0644));
  EXPECT_EQ("precious\n", test::read_file(victim));

  ASSERT_EQ(0, mkfifo((dir.path() / "fifo").c_str(), 0644));
  host_stat_t st;
  EXPECT_EQ(nullptr, host_fopen_input((dir.path() / "fifo").c_str(), &st));
  EXPECT_EQ(ENXIO, host_errno());
  EXPECT_EQ(nullptr, host_fopen_input((dir.path() / "out.dmg.lock").c_str(), &st));  // a link
  std::FILE* fp = host_fopen_input(victim.c_str(), &st);
  ASSERT_NE(nullptr, fp);
  EXPECT_EQ(9u, st.size);
  EXPECT_NE(0, st.mtime_ns);
  host_fclose(fp);
}

// What the caller chose to ignore stays ignored. (That a file-size limit is
// a write error is checked end to end: Package.FileSizeLimitIsAWriteError.)
TEST(HostInterruptDeathTest, IgnoredSignalsStayIgnored) {
  EXPECT_EXIT(
      {
        std::signal(SIGHUP, SIG_IGN);
        host_on_interrupt(nullptr);
        std::raise(SIGHUP);
        std::exit(7);
      },
      ::testing::ExitedWithCode(7), "");
}

}  // namespace
}  // namespace volpack
