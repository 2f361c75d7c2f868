#include "support/support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

namespace volpack {
namespace test {

HostFaults::HostFaults(host_op op, uint64_t nth, int error, bool persistent)
    : op_(op), nth_(nth), error_(error), persistent_(persistent) {
  host_set_fault_hook(&HostFaults::hook, this);
}

HostFaults::~HostFaults() { host_set_fault_hook(nullptr, nullptr); }

int HostFaults::hook(host_op op, const char* path, void* self) {
  HostFaults* f = static_cast<HostFaults*>(self);
  if (f->on) {
    if (int e = f->on(op, path)) return e;
  }
  uint64_t n = f->counts_[static_cast<int>(op)].fetch_add(1) + 1;
  if (op != f->op_ || f->nth_ == 0 || n < f->nth_ || (n > f->nth_ && !f->persistent_)) return 0;
  f->fired_ = true;
  return f->error_;
}

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

status MemIo::fork_allocate(uint64_t new_size) {
  ++growths;
  if (new_size > bytes_->size()) bytes_->resize(new_size, 0);
  return status::ok();
}

void FaultIo::arm(Op op, uint64_t k, bool persistent) {
  op_ = op;
  k_ = k;
  persistent_ = persistent;
  reads_ = writes_ = 0;
}

bool FaultIo::fail_now(Op op) {
  uint64_t n = op == Op::kRead ? ++reads_ : ++writes_;
  if (op != op_ || (n != k_ && !(persistent_ && n > k_))) return false;
  fired_ = true;
  return true;
}

bool FaultIo::read(uint64_t offset, uint64_t count, void* buf) {
  return !fail_now(Op::kRead) && inner_->read(offset, count, buf);
}

bool FaultIo::write(uint64_t offset, uint64_t count, const void* buf) {
  return !fail_now(Op::kWrite) && inner_->write(offset, count, buf);
}

uint64_t MemStream::write(const void* buf, uint64_t n) {
  uint64_t room = pos_ >= limit ? 0 : limit - pos_;
  uint64_t m = n < room ? n : room;
  if (m == 0) return 0;  // nothing to copy, and an empty vector has no data()
  if (pos_ + m > bytes_->size()) bytes_->resize(pos_ + m);
  std::memcpy(bytes_->data() + pos_, buf, m);
  pos_ += m;
  return m;
}

uint64_t MemStream::read(void* buf, uint64_t n) {
  if (log_ != nullptr && n > log_->largest_read) log_->largest_read = n;
  if (pos_ >= bytes_->size()) return 0;
  uint64_t m = bytes_->size() - pos_;
  if (m > n) m = n;
  std::memcpy(buf, bytes_->data() + pos_, m);
  pos_ += m;
  return m;
}

bool MemStream::close() {
  if (log_ != nullptr) log_->events.push_back("close:" + tag_);
  return close_ok_;
}

namespace {

// Folders are named after the test program's run, the test and their order in
// the test. A death test's child on Windows runs the test again from its start
// in a new process (which inherits the run's name), so it meets the folders
// of the process that spawned it, files and all.
const std::string& test_run_name() {
  static const std::string name = [] {
    const char* inherited = std::getenv("VOLPACK_TEST_RUN");
    if (inherited != nullptr) return std::string(inherited);
    std::random_device rd;
    std::string fresh = std::to_string(rd()) + std::to_string(rd() % 10000);
    set_environment("VOLPACK_TEST_RUN", fresh.c_str());
    return fresh;
  }();
  return name;
}

std::string next_temp_name() {
  static const ::testing::TestInfo* test = nullptr;
  static unsigned sequence = 0;
  const ::testing::TestInfo* now = ::testing::UnitTest::GetInstance()->current_test_info();
  if (now != test) {
    test = now;
    sequence = 0;
  }
  uint32_t h = 2166136261u;  // FNV-1a of the test's full name
  if (now != nullptr) {
    for (const char* part : {now->test_suite_name(), ".", now->name()})
      for (const char* c = part; *c != '\0'; ++c) h = (h ^ static_cast<uint8_t>(*c)) * 16777619u;
  }
  return "volpack-test-" + test_run_name() + "-" + std::to_string(h) + "-" + std::to_string(sequence++);
}

}  // namespace

TempDir::TempDir() {
  std::filesystem::path base = std::filesystem::temp_directory_path();
  const bool child = ::testing::internal::InDeathTestChild();
  for (;;) {
    path_ = base / next_temp_name();
    if (std::filesystem::create_directory(path_) || (child && std::filesystem::is_directory(path_))) break;
  }
}

TempDir::~TempDir() { remove_tree(path_); }

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

ScopedEnvironment::ScopedEnvironment(const std::vector<env_setting>& env) {
  for (const env_setting& e : env) {
    const char* old = std::getenv(e.name.c_str());
    saved_.push_back({e.name, old != nullptr, old != nullptr ? old : ""});
    set_environment(e.name, e.value);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
    set_environment(it->name, it->present ? it->value.c_str() : nullptr);
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

std::string volpack_exe() { return VOLPACK_EXE; }


std::vector<uint8_t> golden(size_t size, const std::vector<std::pair<size_t, std::string>>& pieces) {
  std::vector<uint8_t> out(size, 0);
  for (const auto& piece : pieces) {
    size_t at = piece.first;
    for (size_t i = 0; i < piece.second.size(); i += piece.second[i] == ' ' ? 1 : 2) {
      if (piece.second[i] != ' ')
        out.at(at++) = static_cast<uint8_t>(std::stoul(piece.second.substr(i, 2), nullptr, 16));
    }
  }
  return out;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::string random_text(size_t n, uint32_t seed) {
  std::vector<uint8_t> v = random_bytes(n, seed);
  return std::string(v.begin(), v.end());
}

tree_map scan_tree(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  tree_map m;
  if (!fs::exists(root)) return m;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = it->path().lexically_relative(root).generic_string();
    if (it->is_symlink()) {
      m[rel] = {'l', fs::read_symlink(it->path()).string()};
    } else if (it->is_directory()) {
      m[rel] = {'d', ""};
    } else {
      m[rel] = {'f', read_file(it->path())};
    }
  }
  return m;
}

tree_map extract_with_7zz(const std::filesystem::path& image, const std::filesystem::path& dest,
                          const std::string& volume_name) {
  program_result r =
      run_program("7zz x -y -snld " + shell_quote("-o" + dest.string()) + " " + shell_quote(image.string()));
  EXPECT_EQ(0, r.status) << r.out << r.err;
  return scan_tree(dest / volume_name);
}

std::vector<std::string> terminal_screen(const std::string& bytes) {
  std::vector<std::string> lines(1);
  size_t col = 0;
  for (char c : bytes) {
    if (c == '\n') {
      lines.emplace_back();
      col = 0;
    } else if (c == '\r') {
      col = 0;
    } else {
      std::string& l = lines.back();
      if (col < l.size())
        l[col] = c;
      else
        l += c;
      ++col;
    }
  }
  for (std::string& l : lines) l.erase(l.find_last_not_of(' ') + 1);
  return lines;
}

program_result run_volpack(const std::string& args, const std::string& cwd, const std::vector<env_setting>& env) {
  return run_program(shell_quote(volpack_exe()) + " " + args, cwd, env);
}

program_result package(const std::string& out, const std::string& src, bool verbose) {
  program_result r = run_volpack(shell_quote(out) + " " + shell_quote(src) + (verbose ? " -v" : ""));
  if (r.status == 0) {
    program_result v = run_volpack("verify " + shell_quote(out) + " --against " + shell_quote(src));
    EXPECT_EQ(0, v.status) << v.out << v.err;
    EXPECT_EQ(std::string::npos, v.out.find("WARNING")) << v.out;
  }
  return r;
}

}  // namespace test
}  // namespace volpack
