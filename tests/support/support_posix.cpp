// Running programs on POSIX hosts: commands go to /bin/sh.
#include <sys/wait.h>

#include <cstdlib>

#include "support/support.h"

namespace volpack {
namespace test {

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

program_result run_program(const std::string& command, const std::string& cwd, const std::vector<env_setting>& env) {
  ScopedEnvironment scoped(env);  // inherited by the shell
  TempDir tmp;
  std::string out = (tmp.path() / "out").string(), err = (tmp.path() / "err").string();
  std::string full = command + " >" + shell_quote(out) + " 2>" + shell_quote(err) + " </dev/null";
  if (!cwd.empty()) full = "cd " + shell_quote(cwd) + " && " + full;
  int raw = std::system(full.c_str());
  program_result r;
  if (raw != -1 && WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

void remove_tree(const std::filesystem::path& p) {
  std::error_code ec;
  // Make unreadable folders left by failure tests removable again.
  for (auto it = std::filesystem::recursive_directory_iterator(
           p, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(p, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(p, ec);
}

void set_environment(const std::string& key, const char* value) {
  if (value != nullptr)
    setenv(key.c_str(), value, 1);
  else
    unsetenv(key.c_str());
}

std::string this_program() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

std::string executable_name(const std::string& base) { return base; }

bool have_program(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace test
}  // namespace volpack
