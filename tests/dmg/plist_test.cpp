// Base64 layout and the property list document.
#include <gtest/gtest.h>

#include "dmg/dmg.h"
#include "dmg_test_util.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::MemStream;

std::vector<uint8_t> bytes_of(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(Base64, LayoutAndAlphabet) {
  std::vector<uint8_t> first33;
  for (int i = 0; i < 33; ++i) first33.push_back(static_cast<uint8_t>(i));
  struct Case {
    std::vector<uint8_t> data;
    int tabs, wrap;
    std::string expect;
  } cases[] = {
      {bytes_of("abc"), 0, 43, "YWJj\n"},
      {{0x00}, 0, 43, "AA==\n"},
      {{0x00, 0x01}, 0, 43, "AAE=\n"},
      {{0xFB, 0xFF, 0xBF}, 0, 43, "+/+/\n"},
      {{}, 4, 43, "\t\t\t\t\n"},
      {bytes_of("abcdef"), 1, 2, "\tYWJ\n\tjZG\n\tVm\n"},
      {bytes_of("abcd"), 1, 2, "\tYWJ\n\tjZA\n\t==\n"},  // padding counts as characters
      // 44 characters exactly: a full line, then a line of tabs alone.
      {first33, 4, 43, "\t\t\t\tAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8g\n\t\t\t\t\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(base64_encode_pretty(c.data.data(), c.data.size(), c.tabs, c.wrap).value(), c.expect);
  }
}

std::string plist_of(const udif_resource_list_t& list) {
  std::vector<uint8_t> bytes;
  MemStream s(&bytes);
  EXPECT_TRUE(write_resource_plist(&s, list));
  return std::string(bytes.begin(), bytes.end());
}

// One resource's dictionary as the property list lays it out.
std::string resource_dict(const std::string& attributes, const std::string& base64, const std::string& id,
                          const std::string& name) {
  return "\t\t\t<dict>\n"
         "\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>" + attributes + "</string>\n"
         "\t\t\t\t<key>Data</key>\n\t\t\t\t<data>\n\t\t\t\t" + base64 + "\n\t\t\t\t</data>\n"
         "\t\t\t\t<key>ID</key>\n\t\t\t\t<string>" + id + "</string>\n"
         "\t\t\t\t<key>Name</key>\n\t\t\t\t<string>" + name + "</string>\n"
         "\t\t\t</dict>\n";
}

TEST(WriteResourcePlist, WholeDocument) {
  udif_resource_list_t list;
  ASSERT_TRUE(insertData(list, "abcd", -5, "n", "abc", 3, true));
  ASSERT_TRUE(insertData(list, "abcd", 7, "", "", 0, false));
  ASSERT_TRUE(insertData(list, "efgh", 2147483647, "some name", "a", 1, false));
  const std::string expect =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple Computer//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n\t<key>resource-fork</key>\n\t<dict>\n"
      "\t\t<key>abcd</key>\n\t\t<array>\n" +
      resource_dict("0x0050", "YWJj", "-5", "n") + resource_dict("0x0000", "", "7", "") +
      "\t\t</array>\n\t\t<key>efgh</key>\n\t\t<array>\n" +
      resource_dict("0x0000", "YQ==", "2147483647", "some name") +
      "\t\t</array>\n\t</dict>\n</dict>\n</plist>\n";
  EXPECT_EQ(plist_of(list), expect);
}

std::vector<uint8_t> data_in(const std::string& doc, const std::string& type) {
  size_t at = doc.find("<key>" + type + "</key>");
  EXPECT_NE(at, std::string::npos) << type;
  size_t a = doc.find("<data>\n", at) + 7, b = doc.find("</data>", a);
  std::vector<uint8_t> d;
  EXPECT_TRUE(base64_decode(doc.data() + a, b - a, &d));
  return d;
}

TEST(WriteResourcePlist, RecordsGoOutInDiskOrder) {
  udif_blkx_table_t table;
  table.version = 1;
  table.checksum.type = 2;
  table.checksum.data[0] = 0x01020304;
  table.chunks.push_back({UDIF_CHUNK_ZLIB, 0, 0, 1, 0, 20});
  table.chunks.push_back({UDIF_CHUNK_TERMINATOR, 0, 1, 0, 20, 0});
  udif_csum_t csum;
  csum.checksum = 0xA0B0C0D0;
  udif_resource_list_t list;
  ASSERT_TRUE(insertData(list, "blkx", 0, "t", udif_resource_data_t(table), true));
  ASSERT_TRUE(insertData(list, "cSum", 0, "", udif_resource_data_t(csum), false));
  std::string doc = plist_of(list);

  std::vector<uint8_t> blkx = data_in(doc, "blkx");
  ASSERT_EQ(blkx.size(), 284u);
  EXPECT_EQ(std::vector<uint8_t>(blkx.begin(), blkx.begin() + 8), (std::vector<uint8_t>{0x6D, 0x69, 0x73, 0x68, 0, 0, 0, 1}));
  EXPECT_EQ(get_be32(blkx.data() + 72), 0x01020304u);
  EXPECT_EQ(get_be32(blkx.data() + 200), 2u);
  EXPECT_EQ(get_be32(blkx.data() + 204), 0x80000005u);
  EXPECT_EQ(get_be32(blkx.data() + 244), 0xFFFFFFFFu);
  EXPECT_EQ(data_in(doc, "cSum"), (std::vector<uint8_t>{0, 1, 0, 0, 0, 2, 0xA0, 0xB0, 0xC0, 0xD0}));
  // The list itself keeps its records in host order; writing twice gives the same text.
  EXPECT_EQ(std::get<udif_blkx_table_t>(list[0].entries[0].data).checksum.data[0], 0x01020304u);
  EXPECT_EQ(plist_of(list), doc);
}

}  // namespace
}  // namespace volpack
