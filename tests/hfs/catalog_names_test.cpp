// Volume names: case folding against the volume format's list, host text to
// decomposed UTF-16, the 255-unit limit, and the case-insensitive order.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "hfs/catalog.h"
#include "hfs/unicode_tables.h"

namespace volpack {
namespace {

std::vector<uint16_t> units(const HFSUniStr255& n) { return {n.unicode.begin(), n.unicode.begin() + n.length}; }

std::vector<uint16_t> convert(const std::string& host) {
  HFSUniStr255 n;
  EXPECT_TRUE(unistr_from_host(&n, host.data(), host.size())) << host;
  return units(n);
}

TEST(CaseFoldTable, AgreesWithTheVolumeFormatListForEveryUnit) {
  std::ifstream in(VOLPACK_SOURCE_DIR "/data/hfs-case-folding.txt");
  ASSERT_TRUE(in) << "missing " VOLPACK_SOURCE_DIR "/data/hfs-case-folding.txt";
  std::map<uint32_t, uint32_t> folds;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    uint32_t unit = 0, folded = 0;
    fields >> std::hex >> unit >> folded;
    ASSERT_FALSE(fields.fail()) << line;
    folds[unit] = folded;
  }
  ASSERT_EQ(folds.size(), 329u);
  for (uint32_t u = 0; u <= 0xFFFF; ++u) {
    auto it = folds.find(u);
    uint16_t want = it == folds.end() ? static_cast<uint16_t>(u) : static_cast<uint16_t>(it->second);
    ASSERT_EQ(hfs_case_fold(static_cast<uint16_t>(u)), want) << std::hex << u;
  }
}

struct NameCase {
  const char* what;
  std::string host;
  std::vector<uint16_t> want;
};

TEST(HostNames, DecomposeAsTheVolumeFormatRequires) {
  const NameCase cases[] = {
      {"ascii", "Info.plist", {'I', 'n', 'f', 'o', '.', 'p', 'l', 'i', 's', 't'}},
      {"colon stays a colon in memory", "a:b", {'a', ':', 'b'}},
      {"precomposed e acute", "\xC3\xA9", {0x0065, 0x0301}},
      {"decomposed e acute stays", "e\xCC\x81", {0x0065, 0x0301}},
      {"A ring", "\xC3\x85", {0x0041, 0x030A}},
      {"invalid UTF-8 byte E9 is U+00E9", "caf\xE9", {'c', 'a', 'f', 0x0065, 0x0301}},
      {"overlong form is not UTF-8", "\xC0\xAF", {0x0041, 0x0300, 0x00AF}},
      {"encoded surrogate is not UTF-8", "\xED\xA0\x80", {0x0069, 0x0301, 0x00A0, 0x0080}},
      {"truncated sequence is not UTF-8", "x\xE2\x82", {'x', 0x0061, 0x0302, 0x0082}},
      {"Hangul syllable with trailing consonant", "\xED\x95\x9C", {0x1112, 0x1161, 0x11AB}},
      {"Hangul syllable without one", "\xEA\xB0\x80", {0x1100, 0x1161}},
      {"CJK compatibility ideograph left alone", "\xEF\xA4\x80", {0xF900}},
      {"ohm sign in U+2000-U+2FFF left alone", "\xE2\x84\xA6", {0x2126}},
      {"two marks put in canonical order", "a\xCC\x87\xCC\xA3", {0x0061, 0x0323, 0x0307}},
      {"marks of one class keep their order", "a\xCC\x81\xCC\x80", {0x0061, 0x0301, 0x0300}},
      {"recursive decomposition then ordering", "\xE1\xB9\xA9", {0x0073, 0x0323, 0x0307}},
      {"compatibility-only decomposition kept", "\xEF\xAC\x81", {0xFB01}},
      {"beyond the BMP as a surrogate pair", "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
      {"beyond the BMP, decomposed", "\xF0\x9D\x85\x9E", {0xD834, 0xDD57, 0xD834, 0xDD65}},
      {"empty", "", {}},
  };
  for (const NameCase& c : cases) EXPECT_EQ(convert(c.host), c.want) << c.what;
}

TEST(HostNames, NamesOverTheLimitAreRefusedNotCut) {
  struct {
    std::string host;
    bool ok;
    size_t units;
  } cases[] = {
      {std::string(255, 'x'), true, 255},
      {std::string(256, 'x'), false, 0},
      {std::string(300, 'x'), false, 0},
      {[] { std::string s; for (int i = 0; i < 127; ++i) s += "\xC3\xA9"; return s; }(), true, 254},
      {[] { std::string s; for (int i = 0; i < 128; ++i) s += "\xC3\xA9"; return s; }(), false, 0},
      {std::string(253, 'x') + "\xF0\x9F\x98\x80", true, 255},
      {std::string(254, 'x') + "\xF0\x9F\x98\x80", false, 0},
  };
  for (const auto& c : cases) {
    HFSUniStr255 n;
    n.length = 7;
    EXPECT_EQ(unistr_from_host(&n, c.host.data(), c.host.size()), c.ok) << c.host.size();
    EXPECT_EQ(n.length, c.units) << c.host.size();
  }
  HFSUniStr255 n;
  EXPECT_FALSE(unistr_printf(&n, "%s", std::string(300, 'a').c_str()));
  EXPECT_EQ(n.length, 0);
}

TEST(HostNames, PrintfFormatsThenConverts) {
  HFSUniStr255 n;
  ASSERT_TRUE(unistr_printf(&n, "iNode%d", 1234));
  EXPECT_EQ(unistr_to_utf8(n), "iNode1234");
  ASSERT_TRUE(unistr_printf(&n, "%s", "R\xC3\xA9sum\xC3\xA9"));
  EXPECT_EQ(n.length, 8);
  EXPECT_EQ(unistr_to_utf8(n), "Re\xCC\x81sume\xCC\x81");
  ASSERT_TRUE(unistr_printf(&n, "%s", "\xF0\x9F\x98\x80"));
  EXPECT_EQ(unistr_to_utf8(n), "\xF0\x9F\x98\x80");
}

std::vector<uint16_t> u16(std::initializer_list<uint16_t> l) { return l; }

TEST(FoldedOrder, CaseAndIgnorableUnitsDoNotDistinguishNames) {
  struct {
    std::vector<uint16_t> a, b;
    int want;
  } cases[] = {
      {convert("README"), convert("readme"), 0},
      {convert("Info.plist"), convert("INFO.PLIST"), 0},
      {convert("\xC3\x89"), convert("e\xCC\x81"), 0},           // É folds with é, decomposed
      {convert("B"), convert("a"), 1},                          // b after a once folded
      {convert("a"), convert("ab"), -1},                        // a prefix orders first
      {{}, convert("a"), -1},
      {{}, {}, 0},
      {u16({'a', 0x200D, 'b'}), convert("ab"), 0},              // ignorable skipped
      {u16({0xFEFF}), {}, 0},
      {u16({'a', 0x0000}), convert("ab"), 1},                   // U+0000 orders after every unit
      {u16({'a', 0x0000}), u16({'a', 0xFFFF}), 0},              // ... as U+FFFF does
      {convert("a:b"), convert("a/b"), 0},
      {convert("a:"), convert("a0"), -1},                       // ':' ranks as '/', before '0'
      {convert("\xC3\x86"), convert("\xC3\xA6"), 0},            // Æ / æ
      {convert("\xD0\x90"), convert("\xD0\xB0"), 0},            // Cyrillic А / а
      {convert("\xEF\xBC\xA1"), convert("\xEF\xBD\x81"), 0},    // fullwidth A / a
      {u16({'x', 0x200D, 'a', 'B'}), u16({'x', 0x200D, 'a', 0x200D, 'b'}), 0},  // after a common start too
      {u16({'x', 'y', 0x200D, 'c'}), u16({'x', 'y', 'B'}), 1},
  };
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(row++);
    EXPECT_EQ(unicode_compare_folded(c.a.data(), c.a.size(), c.b.data(), c.b.size()), c.want);
    EXPECT_EQ(unicode_compare_folded(c.b.data(), c.b.size(), c.a.data(), c.a.size()), -c.want);
  }
}

}  // namespace
}  // namespace volpack
