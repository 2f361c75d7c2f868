// Which host files become symbolic links or executables in the volume.
#include <gtest/gtest.h>

#include "import/import.h"
#include "support/support.h"

namespace volpack {
namespace {

bool is_link(const std::string& content) {
  std::vector<uint8_t> bytes(content.begin(), content.end());
  test::MemStream s(&bytes);
  bool r = is_oneliner_symlink(&s);
  EXPECT_EQ(0u, s.tell()) << "the stream goes back to the start";
  return r;
}

TEST(OneLinerLink, ContentDecides) {
  struct Case {
    std::string content;
    bool link;
  } cases[] = {
      {"../Resources/target", true},
      {"../Resources/target\n", false},  // a line end disqualifies
      {"../Resources/target\r", false},
      {"A", true},
      {"/Applications", true},
      {"C:\\Program Files\\App", true},   // drive letter's colon
      {"dir/a:b", false},                 // a colon elsewhere
      {"", false},
      {" leading-space", false},
      {"\tx", false},
      {"#!/bin/sh", false},
      {"#comment", false},
      {"//x", false},
      {"/*x", false},
      {"/", true},                        // too short to be a comment opener
      {"\xEF\xBB\xBFtarget", false},
      {"\xEF\xBB\xBF", true},             // the mark is only a mark when text follows it
      {std::string("\xFF\xFEz", 3), false},
      {"caf\xC3\xA9", true},              // UTF-8 bytes are fine
      {std::string(2061, 'x'), true},
      {std::string(2062, 'x'), false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.link, is_link(c.content)) << "content: " << c.content.substr(0, 40);
  // Bytes no Windows name can hold.
  for (char bad : std::string("*?|<>\"\0\x7F", 8)) EXPECT_FALSE(is_link(std::string("a") + bad + "b")) << int(bad);
}

TEST(ExecutableMagic, ShebangAndMachOMagics) {
  struct Case {
    std::vector<uint8_t> head;
    bool exec;
  } cases[] = {
      {{'#', '!', '/', 'b'}, true},
      {{0xCE, 0xFA, 0xED, 0xFE}, true},
      {{0xCF, 0xFA, 0xED, 0xFE}, true},
      {{0xCA, 0xFE, 0xBA, 0xBE}, true},
      {{0xCA, 0xFE, 0xBA, 0xBF}, true},
      {{0xFE, 0xED, 0xFA, 0xCE}, false},  // big-endian thin Mach-O is not recognised
      {{0xFE, 0xED, 0xFA, 0xCF}, false},
      {{0x7F, 'E', 'L', 'F'}, false},
      {{'#', '!', 0, 0}, true},
      {{'#', '!'}, false},  // fewer than four bytes
  };
  for (const Case& c : cases) {
    uint8_t b[4] = {};
    std::copy(c.head.begin(), c.head.end(), b);
    EXPECT_EQ(c.exec, is_executable_magic(b, c.head.size())) << int(c.head[0]);
  }
}

}  // namespace
}  // namespace volpack
