// The B-tree files of a new volume: header nodes, the catalog's root leaf
// (typed byte by byte for the one-letter and the empty name) and the name
// conversion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "format_test_util.h"

namespace volpack {
namespace {

using test::FormatArgs;
using test::golden;
using test::TempDir;
using test::Volume;

std::string hex32(uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "%02X %02X %02X %02X", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  return s;
}

// A 10 MiB volume formatted with the driver's values and the given name.
// Its warnings go to `warnings` when given.
std::string format_named(const TempDir& dir, const char* name, std::string* warnings = nullptr) {
  const std::string path = test::device_path(dir);
  FormatArgs args;
  args.size = 10485760;
  args.volume_name = name;
  EXPECT_EQ(test::message_of(args.format(path)), "");
  if (warnings != nullptr) *warnings = args.warnings.text;
  return path;
}

TEST(FormatBtree, HeaderNodesOfTheDriversVolume) {
  TempDir dir;
  Volume v(format_named(dir, "A"));
  const std::vector<std::pair<size_t, std::string>> slots = {{4088, "0F F8 00 F8 00 78 00 0E"}};

  auto extents = slots;
  extents.insert(extents.end(), {
                                    {0, "00 00 00 00 00 00 00 00 01 00 00 03 00 00"},  // header node, 3 records
                                    {14, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},  // empty tree
                                    {32, "10 00 00 0A 00 00 00 14 00 00 00 13 00 00 00 01 40 00"},
                                    {50, "00 00 00 00 00 02"},  // type 0, compare 0, big keys
                                    {248, "80"},                 // node 0 in use
                                });
  EXPECT_EQ(v.node(v.vh.extentsFile, 4096, 0), golden(4096, extents));

  auto catalog = slots;
  catalog.insert(catalog.end(), {
                                    {0, "00 00 00 00 00 00 00 00 01 00 00 03 00 00"},
                                    {14, "00 01 00 00 00 01 00 00 00 02 00 00 00 01 00 00 00 01"},
                                    {32, "10 00 02 04 00 00 00 14 00 00 00 12 00 00 00 01 40 00"},
                                    {50, "00 CF 00 00 00 06"},  // case folding, big and variable keys
                                    {248, "C0"},                 // nodes 0 and 1 in use
                                });
  EXPECT_EQ(v.node(v.vh.catalogFile, 4096, 0), golden(4096, catalog));
}

// The root leaf, typed from the layouts: record 0 the root folder under
// (1, name), record 1 its thread under (2, "").
TEST(FormatBtree, RootLeafBytes) {
  const struct {
    const char* name;
    std::vector<std::pair<size_t, std::string>> pieces;  // "DATE" fields patched below
    std::vector<size_t> dates;
  } cases[] = {
      {"A",
       {{0, "00 00 00 00 00 00 00 00 FF 01 00 02 00 00"},
        {14, "00 08 00 00 00 01 00 01 00 41"},               // key (1, "A")
        {24, "00 01 00 10 00 00 00 00 00 00 00 02"},         // folder counting subfolders, valence 0, ID 2
        {56, "00 00 00 00 00 00 00 00 00 00 41 ED 00 00 00 00"},  // root, wheel, 0755
        {112, "00 06 00 00 00 02 00 00"},                    // key (2, "")
        {120, "00 03 00 00 00 00 00 01 00 01 00 41"},        // thread to (1, "A")
        {4090, "00 84 00 70 00 0E"}},                        // free 132, 112, 14
       {36, 40}},
      {"",
       {{0, "00 00 00 00 00 00 00 00 FF 01 00 02 00 00"},
        {14, "00 06 00 00 00 01 00 00"},
        {22, "00 01 00 10 00 00 00 00 00 00 00 02"},
        {54, "00 00 00 00 00 00 00 00 00 00 41 ED 00 00 00 00"},
        {110, "00 06 00 00 00 02 00 00"},
        {118, "00 03 00 00 00 00 00 01 00 00"},
        {4090, "00 80 00 6E 00 0E"}},
       {34, 38}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Volume v(format_named(dir, c.name));
    auto pieces = c.pieces;
    for (size_t at : c.dates) pieces.push_back({at, hex32(v.vh.modifyDate)});  // createDate, contentModDate
    EXPECT_EQ(v.node(v.vh.catalogFile, 4096, 1), golden(4096, pieces));
  }
}

struct LeafName {
  const char* name;
  std::vector<uint16_t> units;  // as stored in the key and the thread
  const char* warning;          // on the message stream
};

const LeafName kLeafNames[] = {
    {"a:b", {0x61, 0x2F, 0x62}, ""},
    {"\xC3\xA9\xE2\x82\xAC", {0x0065, 0x0301, 0x20AC}, ""},  // stored decomposed
    {"\xF0\x9F\x98\x80", {'u', 'n', 't', 'i', 't', 'l', 'e', 'd'},
     "Warning: invalid HFS+ name: \"\xF0\x9F\x98\x80\", using \"untitled\" instead"},
    {"ab\x80", {'u', 'n', 't', 'i', 't', 'l', 'e', 'd'},
     "Warning: invalid HFS+ name: \"ab\x80\", using \"untitled\" instead"},
};

std::vector<uint16_t> units_of(const HFSUniStr255& n) {
  return std::vector<uint16_t>(n.unicode.begin(), n.unicode.begin() + n.length);
}

TEST(FormatBtree, VolumeNameInKeyAndThread) {
  for (const LeafName& c : kLeafNames) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string warnings;
    Volume v(format_named(dir, c.name, &warnings));
    EXPECT_EQ(warnings, c.warning);

    const std::vector<uint8_t> leaf = v.root_leaf();
    HFSPlusCatalogKey key;
    decode(leaf.data() + test::offset_slot(leaf, 0), &key);
    EXPECT_EQ(key.keyLength, 6 + 2 * c.units.size());
    EXPECT_EQ(key.parentID, kHFSRootParentID);
    EXPECT_EQ(units_of(key.nodeName), c.units);
    HFSPlusCatalogThread thread;
    decode(leaf.data() + test::offset_slot(leaf, 1) + kHFSPlusCatalogKeyMinSize, &thread);
    EXPECT_EQ(thread.recordType, kHFSPlusFolderThreadRecord);
    EXPECT_EQ(units_of(thread.nodeName), c.units);
    EXPECT_EQ(test::offset_slot(leaf, 2), 128 + 4 * c.units.size());
  }
}

// A 256-byte name cut after 255 bytes, inside its last two-byte sequence.
TEST(FormatBtree, NameCutInsideASequenceBecomesUntitled) {
  TempDir dir;
  const std::string name = std::string(254, 'x') + "\xC3\xA9";
  std::string warnings;
  const std::string path = format_named(dir, name.c_str(), &warnings);
  EXPECT_EQ(warnings, path + ": Warning: volume name too long (truncated to 255 chars)\n" +
                          "Warning: invalid HFS+ name: \"" + name.substr(0, 255) + "\", using \"untitled\" instead");
  Volume v(path);
  HFSPlusCatalogKey key;
  decode(v.node(v.vh.catalogFile, 4096, 1).data() + kBTNodeDescriptorSize, &key);
  EXPECT_EQ(units_of(key.nodeName), (std::vector<uint16_t>{'u', 'n', 't', 'i', 't', 'l', 'e', 'd'}));
}

TEST(FormatBtree, Utf8ToHfsName) {
  const struct {
    std::string utf8;
    size_t limit;
    int result;
    std::vector<uint16_t> units;
  } cases[] = {
      {"", 510, 0, {}},
      {"Vol 1", 510, 0, {'V', 'o', 'l', ' ', '1'}},
      {"a:b/c", 510, 0, {'a', '/', 'b', '/', 'c'}},
      {"\xC3\xA9", 510, 0, {0x00E9}},
      {"\xE2\x82\xAC", 510, 0, {0x20AC}},
      {"\xC0\x80", 510, 0, {0x0000}},         // overlong, taken as decoded
      {"\xED\xA0\x80", 510, 0, {0xD800}},     // a surrogate, taken as decoded
      {"\xF0\x9F\x98\x80", 510, 22, {}},      // four-byte sequences are not supported
      {"\x80", 510, 22, {}},                  // a continuation byte as lead
      {"\xFF", 510, 22, {}},
      {"\xC3(", 510, 22, {}},                 // a bad continuation
      {"\xC3", 510, 22, {}},                  // the name ends inside a sequence
      {"\xE2\x82", 510, 22, {}},
      {"\xE2(\xAC", 510, 22, {}},
      {"\xE2\x82(", 510, 22, {}},           // a bad second continuation
      {"ab", 4, 0, {'a', 'b'}},
      {"abc", 4, 119, {}},
      {"abc", 5, 0, {'a', 'b', 'c'}},         // the third unit starts before the limit
      {"ab\xC3", 4, 22, {}},                  // malformed is found before the limit
      {"", 0, 0, {}},
      {"a", 0, 119, {}},
      {std::string(255, 'z'), 510, 0, std::vector<uint16_t>(255, 'z')},
      {std::string(256, 'z'), 510, 119, {}},
      {std::string(256, 'z'), 4096, 119, {}},  // never past 255 units
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8 + " limit " + std::to_string(c.limit));
    HFSUniStr255 name;
    name.length = 77;
    EXPECT_EQ(utf8_to_hfs_name(c.utf8.c_str(), c.limit, &name), c.result);
    EXPECT_EQ(units_of(name), c.units);
  }
}

}  // namespace
}  // namespace volpack
