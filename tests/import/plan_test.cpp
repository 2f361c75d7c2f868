// What a host entry becomes: one-line files are links only where the link-files
// mode lets them be, executables are marked, and every refusal warns once; and
// the content rules for one-line link files and executables on their own.
#include <gtest/gtest.h>

#include "import/import.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::TempDir;

TEST(PlanHostEntry, OneLineFilesByMode) {
  TempDir t;
  t.mkdir("App/Versions/A");
  t.write("App/Versions/Current", "A");
  t.write("App/Frameworks/X.framework/Versions/A/X", "binary\n");
  t.write("App/Frameworks/X.framework/Versions/Current", "A");
  t.write("App/Frameworks/X.framework/X", "Versions/Current/X");  // through another link file
  t.write("App/Frameworks/X.framework/Res", "Versions\\Current\\..\\A\\.\\X");
  t.write("App/Applications", "/Applications");
  t.write("App/apps", "C:\\Apps\\x");
  t.write("App/VERSION", "1.2.3");
  t.write("App/index.js", "module.exports = require('./lodash');");
  t.write("App/out", "../../../outside");
  t.write("App/loop", "loop/x");                    // resolves through itself without end
  t.write("App/long", std::string(1024, 'k'));     // longer than a link's text
  t.write("App/longest", std::string(1023, 'k'));
  t.write("App/text.txt", "a line\n");
  t.write("App/run.sh", "#!/bin/sh");
  const std::string root = t.str() + "/App";

  // kind per mode: 'l' link, 'f' file, 'x' executable; w: a warning in tree mode.
  struct Case {
    const char* rel;
    char tree, all, none;
    bool warns;
  } cases[] = {
      {"Versions/Current", 'l', 'l', 'f', false},
      {"Frameworks/X.framework/X", 'l', 'l', 'f', false},
      {"Frameworks/X.framework/Res", 'l', 'l', 'f', false},
      {"Applications", 'l', 'l', 'f', false},
      {"apps", 'l', 'l', 'f', false},
      {"VERSION", 'f', 'l', 'f', true},
      {"index.js", 'f', 'l', 'f', true},
      {"out", 'f', 'l', 'f', true},
      {"loop", 'f', 'l', 'f', true},
      {"long", 'f', 'f', 'f', true},
      {"longest", 'f', 'l', 'f', true},
      {"text.txt", 'f', 'f', 'f', false},
      {"run.sh", 'x', 'x', 'x', false},
  };
  auto letter = [](entry_kind k) {
    return k == entry_kind::link ? 'l' : k == entry_kind::executable ? 'x' : k == entry_kind::file ? 'f' : '?';
  };
  for (const Case& c : cases) {
    const std::pair<link_files_mode, char> modes[] = {
        {link_files_mode::tree, c.tree}, {link_files_mode::all, c.all}, {link_files_mode::none, c.none}};
    for (const auto& [mode, want] : modes) {
      result<entry_plan> p = plan_host_entry(root, c.rel, mode, {});
      ASSERT_TRUE(p) << c.rel << p.error().message();
      EXPECT_EQ(want, letter(p.value().kind)) << c.rel << " mode " << static_cast<int>(mode);
      if (want == 'l') {
        EXPECT_EQ(test::read_file(root + "/" + c.rel), p.value().target) << c.rel;
      }
      // Only a one-line file kept for its text's sake warns, and only once.
      bool warns = mode == link_files_mode::tree ? c.warns
                   : mode == link_files_mode::all ? std::string(c.rel) == "long"
                                                  : false;
      EXPECT_EQ(warns, !p.value().warning.empty()) << c.rel << " mode " << static_cast<int>(mode);
      if (warns) {
        EXPECT_EQ(0u, p.value().warning.rfind("WARNING: " + root + "/" + c.rel + ": one-line file kept", 0));
      }
    }
  }
  result<entry_plan> p = plan_host_entry(root, "VERSION", link_files_mode::tree, {});
  EXPECT_EQ("WARNING: " + root + "/VERSION: one-line file kept as a file: \"1.2.3\" is not in the tree\n",
            p.value().warning);
  p = plan_host_entry(root, "Versions", link_files_mode::tree, {});
  EXPECT_EQ(entry_kind::folder, p.value().kind);
  p = plan_host_entry(root, "missing", link_files_mode::tree, {});
  ASSERT_FALSE(p);
  EXPECT_NE(std::string::npos, p.error().message().find(root + "/missing")) << p.error().message();
}

// ---- The content rules on their own

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
