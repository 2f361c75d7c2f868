// The fault sweep: one whole run per injected failure. The host layer fails
// the n-th write, read, directory read, sync, rename, open, resize or removal
// of a run; after each the run must have either failed cleanly (status 1, a
// message naming the file and the host's reason, no file of its own left, an
// earlier image byte for byte as it was, the source untouched) or succeeded
// with an image that reads back equal to the source.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "driver/driver.h"
#include "io/host_fs.h"
#include "support/support.h"

namespace volpack {
namespace {

namespace fs = std::filesystem;
using test::HostFaults;
using test::TempDir;

using tree_map = std::map<std::string, std::string>;  // relative path -> kind and content

tree_map scan(const fs::path& root) {
  tree_map m;
  if (!fs::exists(root)) return m;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().lexically_relative(root).generic_string();
    if (it->is_symlink())
      m[rel] = "l:" + fs::read_symlink(it->path()).string();
    else if (it->is_directory())
      m[rel] = "d";
    else
      m[rel] = "f:" + std::to_string(std::hash<std::string>()(test::read_file(it->path())));
  }
  return m;
}

struct outcome {
  int status = -1;
  std::string err;
};

// Runs volpack_main in a child process with the fault `op`/`nth` (nth 0: none)
// and, when `counts` is given, the number of operations of each kind.
outcome run_with_fault(const fs::path& out, const fs::path& src, host_op op, uint64_t nth,
                       std::vector<uint64_t>* counts = nullptr) {
  TempDir logs;
  fs::path err = logs.path() / "err", tally = logs.path() / "counts";
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!std::freopen(err.c_str(), "w", stderr) || !std::freopen("/dev/null", "w", stdout)) _exit(99);
    int rc;
    {
      HostFaults faults(op, nth, EIO);
      std::string o = out.string(), s = src.string();
      char* argv[] = {const_cast<char*>("volpack"), &o[0], &s[0], nullptr};
      rc = volpack_main(3, argv);
      std::string t;
      for (int k = 0; k < kHostOpKinds; ++k) t += std::to_string(faults.count(static_cast<host_op>(k))) + " ";
      host_set_fault_hook(nullptr, nullptr);
      test::write_file(tally, t);
    }
    std::fflush(nullptr);
    _exit(rc);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  outcome r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.err = test::read_file(err);
  if (counts != nullptr) {
    std::istringstream in(test::read_file(tally));
    counts->assign(kHostOpKinds, 0);
    for (uint64_t& c : *counts) in >> c;
  }
  return r;
}

// The image's tree as 7-Zip reads it.
tree_map read_back(const fs::path& image, const std::string& volume) {
  TempDir x;
  auto r = test::run_program("7zz x -y -snld " + test::shell_quote("-o" + x.str()) + " " +
                             test::shell_quote(image.string()));
  EXPECT_EQ(0, r.status) << r.out << r.err;
  return scan(x.path() / volume);
}

// At most `samples` of 1..total, the first and the last always among them.
std::vector<uint64_t> sample(uint64_t total, uint64_t samples) {
  std::vector<uint64_t> v;
  if (total == 0) return v;
  uint64_t step = total <= samples ? 1 : (total + samples - 1) / samples;
  for (uint64_t n = 1; n <= total; n += step) v.push_back(n);
  if (v.back() != total) v.push_back(total);
  return v;
}

TEST(FaultSweep, EveryFailureEndsCleanOrCorrect) {
  if (!test::have_program("7zz")) GTEST_SKIP() << "7zz is needed (Debian: 7zip)";
  TempDir work, src_root;
  fs::path src = src_root.mkdir("Tree");
  src_root.write("Tree/readme.txt", "read me\n");
  src_root.write("Tree/bin/tool", "#!/bin/sh\necho tool\n");
  src_root.write("Tree/data/blob", std::string(300000, 'b') + "\n");
  src_root.write("Tree/data/deep/er/note", "note\n");
  src_root.mkdir("Tree/empty");
  fs::path out = work.path() / "out.dmg";
  const std::string old_image = "an earlier image\n";
  test::write_file(out, old_image);
  const tree_map source = scan(src);

  std::vector<uint64_t> counts;
  outcome clean = run_with_fault(out, src, host_op::open, 0, &counts);
  ASSERT_EQ(0, clean.status) << clean.err;
  ASSERT_EQ(source, read_back(out, "Tree"));

  for (int k = 0; k < kHostOpKinds; ++k) {
    host_op op = static_cast<host_op>(k);
    for (uint64_t n : sample(counts[k], 12)) {
      SCOPED_TRACE(std::string(host_op_name(op)) + " #" + std::to_string(n) + " of " + std::to_string(counts[k]));
      test::write_file(out, old_image);
      outcome r = run_with_fault(out, src, op, n);
      std::vector<std::string> names;
      for (const auto& e : fs::directory_iterator(work.path())) names.push_back(e.path().filename().string());
      EXPECT_EQ(std::vector<std::string>{"out.dmg"}, names) << "left behind; " << r.err;
      EXPECT_EQ(source, scan(src));
      if (r.status == 0) {
        EXPECT_EQ(source, read_back(out, "Tree")) << r.err;
      } else {
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_EQ(old_image, test::read_file(out));
        EXPECT_NE(std::string::npos, r.err.find(std::strerror(EIO))) << "no reason given: " << r.err;
      }
    }
  }
}

}  // namespace
}  // namespace volpack
