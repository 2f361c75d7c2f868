#include "support/support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include <sys/wait.h>

namespace volpack {
namespace test {

namespace {
// Test programs, like volpack itself, hand host paths to the host unchanged:
// the symlink emulation would otherwise read small test files as link files.
// Tests of the emulation pass their settings explicitly or set the variable
// in a child process.
[[maybe_unused]] const bool kSymlinkEmulationOff = setenv("VELLORA_FOLLOWSYMLINKS", "0", 1) == 0;
}  // namespace

bool MemIo::read(uint64_t offset, uint64_t count, void* buf) {
  ++reads;
  if (count == 0) return true;
  if (offset + count > bytes_->size()) return false;
  std::memcpy(buf, bytes_->data() + offset, count);
  return true;
}

bool MemIo::write(uint64_t offset, uint64_t count, const void* buf) {
  ++writes;
  if (count == 0) return true;
  if (offset + count > bytes_->size()) {
    if (!growable_) return false;
    bytes_->resize(offset + count);
  }
  std::memcpy(bytes_->data() + offset, buf, count);
  return true;
}

bool FaultIo::fail_now(Op op) {
  uint64_t n = op == Op::kRead ? ++reads_ : ++writes_;
  if (op != op_) return false;
  if (n == k_ || (persistent_ && n > k_)) {
    fired_ = true;
    return true;
  }
  return false;
}

bool FaultIo::read(uint64_t offset, uint64_t count, void* buf) {
  if (fail_now(Op::kRead)) return false;
  return inner_->read(offset, count, buf);
}

bool FaultIo::write(uint64_t offset, uint64_t count, const void* buf) {
  if (fail_now(Op::kWrite)) return false;
  return inner_->write(offset, count, buf);
}

uint64_t MemStream::write(const void* buf, uint64_t n) {
  if (n == 0) return 0;
  uint64_t room = pos_ >= limit ? 0 : limit - pos_;
  uint64_t m = n < room ? n : room;
  if (m == 0) return 0;  // nothing to copy, and an empty vector has no data()
  if (pos_ + m > bytes_->size()) bytes_->resize(pos_ + m);
  std::memcpy(bytes_->data() + pos_, buf, m);
  pos_ += m;
  return m;
}

uint64_t MemStream::read(void* buf, uint64_t n) {
  if (pos_ >= bytes_->size()) return 0;
  uint64_t m = bytes_->size() - pos_;
  if (m > n) m = n;
  std::memcpy(buf, bytes_->data() + pos_, m);
  pos_ += m;
  return m;
}

bool MemStream::seek(uint64_t offset) {
  pos_ = offset;
  return true;
}

TempDir::TempDir() {
  std::random_device rd;
  std::filesystem::path base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("volpack-test-" + std::to_string(rd()));
    if (std::filesystem::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make unreadable folders left by failure tests removable again.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(const std::string& rel, const std::string& content) const {
  std::filesystem::path p = path_ / rel;
  std::filesystem::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(content.data(), static_cast<std::streamsize>(content.size()));
  return p;
}

std::filesystem::path TempDir::mkdir(const std::string& rel) const {
  std::filesystem::path p = path_ / rel;
  std::filesystem::create_directories(p);
  return p;
}

std::string read_file(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void write_file(const std::filesystem::path& p, const std::string& content) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::vector<uint8_t> read_bytes(const std::filesystem::path& p) {
  std::string s = read_file(p);
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

program_result run_program(const std::string& command) {
  TempDir tmp;
  std::string out = (tmp.path() / "out").string(), err = (tmp.path() / "err").string();
  std::string full = command + " >" + shell_quote(out) + " 2>" + shell_quote(err) + " </dev/null";
  int raw = std::system(full.c_str());
  program_result r;
  if (raw != -1 && WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

std::string volpack_exe() { return VOLPACK_EXE; }

bool have_program(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace test
}  // namespace volpack
