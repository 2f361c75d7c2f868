// Running programs on Windows: commands go to cmd.exe, started directly so that
// its output, error and input are files and its exit code is the program's.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "support/support.h"

namespace volpack {
namespace test {

namespace {

std::wstring wide(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

HANDLE inheritable(const wchar_t* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The runtime writes "\r\n" for "\n" on text-mode output; tests compare texts.
std::string without_cr(std::string s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    out += s[i];
  }
  return out;
}

// Removes `dir` (a "\\?\" path) and its contents with the host's own calls:
// the C runtime's folder listing cannot reach paths of MAX_PATH characters or
// more, so std::filesystem::remove_all leaves deep test folders behind.
void remove_wide_tree(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = dir + L"\\" + name;
      DWORD a = found.dwFileAttributes;
      if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        remove_wide_tree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(h, &found));
    FindClose(h);
  }
  SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_DIRECTORY);
  RemoveDirectoryW(dir.c_str());
}

}  // namespace

void remove_tree(const std::filesystem::path& p) {
  std::error_code ec;
  std::wstring full = std::filesystem::absolute(p, ec).wstring();
  if (ec || full.empty()) return;
  std::replace(full.begin(), full.end(), L'/', L'\\');
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  if (full.compare(0, 2, L"\\\\") != 0)
    full = L"\\\\?\\" + full;
  else if (full.compare(0, 4, L"\\\\?\\") != 0)
    full = L"\\\\?\\UNC\\" + full.substr(2);
  remove_wide_tree(full);
}

// One argument as the C runtime splits a command line: quoted, with
// backslashes doubled before a quote and at the end, quotes escaped.
std::string shell_quote(const std::string& s) {
  std::string q = "\"";
  size_t backslashes = 0;
  for (char c : s) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    q.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    q += c;
  }
  q.append(2 * backslashes, '\\');
  return q + "\"";
}

program_result run_program(const std::string& command, const std::string& cwd, const std::vector<env_setting>& env) {
  ScopedEnvironment scoped(env);  // inherited by cmd.exe
  TempDir tmp;
  std::wstring out = (tmp.path() / "out").wstring(), err = (tmp.path() / "err").wstring();
  program_result r;
  HANDLE hout = inheritable(out.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE herr = inheritable(err.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE hin = inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  if (hout != INVALID_HANDLE_VALUE && herr != INVALID_HANDLE_VALUE && hin != INVALID_HANDLE_VALUE) {
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hin;
    si.hStdOutput = hout;
    si.hStdError = herr;
    PROCESS_INFORMATION pi;
    // /s: cmd takes everything between the first and the last quote as the command.
    std::wstring line = L"cmd.exe /d /s /c \"" + wide(command) + L"\"";
    std::wstring dir = wide(cwd);
    if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, dir.empty() ? nullptr : dir.c_str(),
                       &si, &pi)) {
      WaitForSingleObject(pi.hProcess, INFINITE);
      DWORD code = 0;
      if (GetExitCodeProcess(pi.hProcess, &code)) r.status = static_cast<int>(code);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  }
  for (HANDLE h : {hout, herr, hin})
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  r.out = without_cr(read_file(tmp.path() / "out"));
  r.err = without_cr(read_file(tmp.path() / "err"));
  return r;
}

void set_environment(const std::string& key, const char* value) {
  _putenv_s(key.c_str(), value != nullptr ? value : "");  // an empty value removes it
}

std::string this_program() {
  std::wstring buf(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, &buf[0], static_cast<DWORD>(buf.size()));
  buf.resize(n < buf.size() ? n : 0);
  std::string s;
  for (auto c : std::filesystem::path(buf).u8string()) s += static_cast<char>(c);
  return s;
}

std::string executable_name(const std::string& base) { return base + ".exe"; }

bool have_program(const std::string& name) {
  wchar_t found[MAX_PATH];
  return SearchPathW(nullptr, wide(name).c_str(), L".exe", MAX_PATH, found, nullptr) > 0;
}

}  // namespace test
}  // namespace volpack
