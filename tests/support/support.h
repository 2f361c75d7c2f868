// Test doubles and helpers shared by every test program.
//
// MemIo: an io_t (and a B-tree file) over a byte vector. FaultIo: wraps one
// and fails its k-th read or write (once or from then on). MemStream: a
// stream_t over a byte vector that can log its traffic. TempDir: a fresh host
// directory removed with its contents at the end of the test. run_program:
// runs a command line and captures its exit status, standard output and error.
// The helpers at the end run volpack itself and read its images back.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hfs/btree.h"
#include "io/host_fs.h"
#include "io/io.h"
#include "io/run_context.h"
#include "io/status.h"
#include "io/stream.h"

namespace volpack {
namespace test {

// An io_t over a byte vector, which is also a B-tree file: with `growable`,
// writes past the end grow the vector; otherwise they fail, as on a fork,
// which grows only by fork_allocate (in clumps of `clump` bytes).
class MemIo final : public btree_file_t {
 public:
  explicit MemIo(std::vector<uint8_t>* bytes, bool growable = true, uint32_t clump = 0)
      : bytes_(bytes), growable_(growable), clump_(clump) {}
  bool read(uint64_t offset, uint64_t count, void* buf) override;
  bool write(uint64_t offset, uint64_t count, const void* buf) override;
  bool close() override { return true; }
  uint64_t fork_logical_size() const override { return bytes_->size(); }
  uint32_t fork_clump_size() const override { return clump_; }
  status fork_allocate(uint64_t new_size) override;
  uint64_t reads = 0, writes = 0, growths = 0;

 private:
  std::vector<uint8_t>* bytes_;
  bool growable_;
  uint32_t clump_;
};

// Passes everything to `inner` but fails the k-th read or write (1-based)
// counted from construction or the last arm(); with `persistent`, every later one too.
class FaultIo final : public btree_file_t {
 public:
  enum class Op { kNone, kRead, kWrite };
  explicit FaultIo(btree_file_t* inner, Op op = Op::kNone, uint64_t k = 0, bool persistent = false) : inner_(inner) {
    arm(op, k, persistent);
  }
  void arm(Op op, uint64_t k, bool persistent = false);
  bool read(uint64_t offset, uint64_t count, void* buf) override;
  bool write(uint64_t offset, uint64_t count, const void* buf) override;
  bool close() override { return inner_->close(); }
  uint64_t fork_logical_size() const override { return inner_->fork_logical_size(); }
  uint32_t fork_clump_size() const override { return inner_->fork_clump_size(); }
  status fork_allocate(uint64_t new_size) override { return inner_->fork_allocate(new_size); }
  uint64_t reads() const { return reads_; }
  uint64_t writes() const { return writes_; }
  bool fired() const { return fired_; }

 private:
  bool fail_now(Op op);
  btree_file_t* inner_;
  Op op_ = Op::kNone;
  uint64_t k_ = 0, reads_ = 0, writes_ = 0;
  bool persistent_ = false, fired_ = false;
};

// A stream over a byte vector. With a log, it records its closes ("close:<tag>")
// and its largest read; its close fails unless `close_ok`.
class MemStream final : public stream_t {
 public:
  struct Log {
    std::vector<std::string> events;
    uint64_t largest_read = 0;
  };
  explicit MemStream(std::vector<uint8_t>* bytes, Log* log = nullptr, std::string tag = "", bool close_ok = true)
      : bytes_(bytes), log_(log), tag_(std::move(tag)), close_ok_(close_ok) {}
  uint64_t write(const void* buf, uint64_t n) override;
  uint64_t read(void* buf, uint64_t n) override;
  bool seek(uint64_t offset) override {
    pos_ = offset;
    return true;
  }
  uint64_t tell() override { return pos_; }
  uint64_t length() override { return bytes_->size(); }
  bool close() override;
  // Writes fail once the stream would grow past this size.
  uint64_t limit = UINT64_MAX;

 private:
  std::vector<uint8_t>* bytes_;
  Log* log_;
  std::string tag_;
  bool close_ok_;
  uint64_t pos_ = 0;
};

// Counts the host layer's operations by kind for its lifetime and makes the
// `nth` (1-based) of kind `op` fail with `error` (with `persistent`, every later
// one too); nth 0 only counts. `on` runs before every operation with its kind
// and path (null when unknown); it may act on the files as another process
// would, and fails the operation when it returns an error number. One at a time.
class HostFaults {
 public:
  explicit HostFaults(host_op op = host_op::open, uint64_t nth = 0, int error = EIO, bool persistent = false);
  std::function<int(host_op, const char*)> on;
  ~HostFaults();
  HostFaults(const HostFaults&) = delete;
  HostFaults& operator=(const HostFaults&) = delete;
  uint64_t count(host_op op) const { return counts_[static_cast<int>(op)].load(); }
  bool fired() const { return fired_.load(); }

 private:
  static int hook(host_op op, const char* path, void* self);
  host_op op_;
  uint64_t nth_;
  int error_;
  bool persistent_;
  std::atomic<uint64_t> counts_[kHostOpKinds] = {};
  std::atomic<bool> fired_{false};
};

// A fresh folder for the test, removed with its contents at the end. Named
// after the test and its order there, so that a death test's child, which on
// Windows runs the test again from its start, works in the same folders.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  // The folder with '/' separators on every host (Windows takes them too).
  std::string str() const { return path_.generic_string(); }
  // Writes a file (creating parent folders) and returns its path.
  std::filesystem::path write(const std::string& rel, const std::string& content) const;
  std::filesystem::path mkdir(const std::string& rel) const;

 private:
  std::filesystem::path path_;
};

// Removes a folder and everything in it, paths of any length included, making
// unreadable folders readable again first; errors are ignored.
void remove_tree(const std::filesystem::path& p);

// A variable to set, or with a null value to remove.
struct env_setting {
  std::string name;
  const char* value;
};
// Sets (or, with a null value, removes) a variable of this process's environment.
void set_environment(const std::string& key, const char* value);

// Sets variables for its lifetime and puts back what they were.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const std::vector<env_setting>& env);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  struct saved {
    std::string name;
    bool present;
    std::string value;
  };
  std::vector<saved> saved_;
};

// A reporter that keeps every line it is given, in order.
class CaptureReporter final : public reporter_t {
 public:
  void report(report_kind kind, const std::string& line) override {
    lines.emplace_back(kind, line);
    text += line;
  }
  std::vector<std::pair<report_kind, std::string>> lines;
  std::string text;
};

// Identifiers 1, 2, 3, ... (or from `next` on), counting the draws.
class CountingIds final : public id_source_t {
 public:
  uint32_t next_u32() override {
    ++drawn;
    return next++;
  }
  uint32_t next = 1, drawn = 0;
};

// The value of a result that must succeed; a failure fails the running test
// and gives an empty value.
template <class T>
T ok_value(result<T> r) {
  if (!r) {
    ADD_FAILURE() << "unexpected failure: " << r.error().message();
    return T{};
  }
  return r.take();
}
// A failure's message, empty on success: what the driver would print.
inline std::string message_of(const status& s) { return s.is_ok() ? std::string() : s.message(); }
template <class T>
std::string message_of(const result<T>& r) {
  return message_of(r.error());
}

std::string read_file(const std::filesystem::path& p);
void write_file(const std::filesystem::path& p, const std::string& content);
std::vector<uint8_t> read_bytes(const std::filesystem::path& p);

struct program_result {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs `command` through the host's shell (/bin/sh; cmd.exe on Windows), in
// folder `cwd` when one is given, with no standard input, capturing its
// standard output and error. Build the line from shell_quote'd words joined by
// spaces (and "&&"), which both shells read alike. On Windows the captured
// texts have their "\r\n" line ends turned into "\n".
// `env` adds variables to (or, with a null value, removes them from) the
// environment the command sees.
program_result run_program(const std::string& command, const std::string& cwd = std::string(),
                           const std::vector<env_setting>& env = {});
// The running test program's own executable, to run it again as a child.
std::string this_program();
// The file name of a program built as `base` ("base.exe" on Windows).
std::string executable_name(const std::string& base);
// Quotes one word (a path) for the host's shell.
std::string shell_quote(const std::string& s);
// The volpack executable under test.
std::string volpack_exe();
// True when the named program is on the host's PATH (under Wine: the
// Windows PATH, which holds no Linux program).
bool have_program(const std::string& name);


// A record or node image of `size` zero bytes with the given pieces laid
// over it: (offset, hex bytes such as "48 2B 00 04").
std::vector<uint8_t> golden(size_t size, const std::vector<std::pair<size_t, std::string>>& pieces);

// Bytes drawn from a generator with a fixed seed, as a vector or as a string.
std::vector<uint8_t> random_bytes(size_t n, uint32_t seed);
std::string random_text(size_t n, uint32_t seed);

// A host tree as a reader of the volume should see it: each path below the
// root ('/' separators; links are not followed) with its kind ('f' file,
// 'd' folder, 'l' link) and a file's bytes or a link's target.
struct host_entry {
  char kind;
  std::string content;
  bool operator==(const host_entry& o) const { return kind == o.kind && content == o.content; }
};
using tree_map = std::map<std::string, host_entry>;
tree_map scan_tree(const std::filesystem::path& root);  // empty when there is no such folder
// Extracts `image` with 7-Zip into `dest`, links as links, and scans the
// folder 7-Zip makes for the volume `volume_name`.
tree_map extract_with_7zz(const std::filesystem::path& image, const std::filesystem::path& dest,
                          const std::string& volume_name);

// What a terminal shows after `bytes`: its lines, without trailing blanks. A
// carriage return goes back to the start of the line; characters overwrite.
std::vector<std::string> terminal_screen(const std::string& bytes);

// Runs volpack with `args`, words already shell_quote'd.
program_result run_volpack(const std::string& args, const std::string& cwd = std::string(),
                           const std::vector<env_setting>& env = {});
// Packages `src` into `out` (with -v when `verbose`); when the run succeeds,
// `volpack verify --against` must find the image sound, without a warning,
// and equal to `src`.
program_result package(const std::string& out, const std::string& src, bool verbose = false);

}  // namespace test
}  // namespace volpack
