// POSIX regular expressions (the part GoogleTest uses) for Windows builds.
//
// GoogleTest matches death-test messages with POSIX extended regular
// expressions where the host has them and with a far smaller syntax of its own
// on Windows (no brackets, groups or alternation). Built with
// GTEST_HAS_POSIX_RE=1 and this header, it uses std::regex in its POSIX
// extended grammar instead, so one expectation such as
// "splitNode\\(\\):[0-9]+: io_write error" means the same on every host.
#pragma once

#include <cstddef>
#include <cstring>
#include <regex>
#include <string>

struct regex_t {
  std::regex* compiled = nullptr;
};
typedef std::ptrdiff_t regoff_t;
struct regmatch_t {
  regoff_t rm_so;
  regoff_t rm_eo;
};

#define REG_EXTENDED 1
#define REG_NOMATCH 1
#define REG_BADPAT 2

// std::regex refuses escapes that the GNU C library reads: \] and other
// escaped ordinary characters stand for themselves, \w, \W, \s and \S for
// their classes. Inside a bracket expression a backslash is itself.
inline std::string gnu_escapes_to_std(const char* p) {
  std::string out;
  bool bracket = false;
  for (; *p != '\0'; ++p) {
    if (bracket) {
      if (p[0] == '[' && (p[1] == ':' || p[1] == '.' || p[1] == '=')) {
        const char close[3] = {p[1], ']', '\0'};
        const char* end = std::strstr(p + 2, close);
        if (end != nullptr) {
          out.append(p, static_cast<size_t>(end + 2 - p));
          p = end + 1;
          continue;
        }
      }
      if (*p == ']') bracket = false;
      out += *p;
    } else if (*p == '[') {
      bracket = true;
      out += *p;
      if (p[1] == '^') out += *++p;
      if (p[1] == ']') out += *++p;  // a leading ']' is a member
    } else if (*p == '\\' && p[1] != '\0') {
      char c = *++p;
      switch (c) {
        case 'w': out += "[_[:alnum:]]"; break;
        case 'W': out += "[^_[:alnum:]]"; break;
        case 's': out += "[[:space:]]"; break;
        case 'S': out += "[^[:space:]]"; break;
        default:
          if (std::strchr(".[\\()*+?{|^$", c) != nullptr) out += '\\';
          out += c;
      }
    } else {
      out += *p;
    }
  }
  return out;
}

inline int regcomp(regex_t* re, const char* pattern, int flags) {
  (void)flags;  // always the extended grammar, as GoogleTest asks
  try {
    re->compiled = new std::regex(gnu_escapes_to_std(pattern), std::regex::extended);
    return 0;
  } catch (...) {
    re->compiled = nullptr;
    return REG_BADPAT;
  }
}

inline int regexec(const regex_t* re, const char* text, std::size_t nmatch, regmatch_t* match, int flags) {
  (void)flags;
  std::cmatch m;
  if (re->compiled == nullptr || !std::regex_search(text, m, *re->compiled)) return REG_NOMATCH;
  if (nmatch > 0 && match != nullptr) {
    match[0].rm_so = m.position(0);
    match[0].rm_eo = m.position(0) + m.length(0);
  }
  return 0;
}

inline void regfree(regex_t* re) {
  delete re->compiled;
  re->compiled = nullptr;
}
