// The HFS+ record codecs against bytes typed from the TN1150 layout tables.
// Every field holds a distinct value, so a field written at a wrong offset, in
// the wrong byte order or with the wrong width changes the bytes. Each record
// is also decoded from its golden bytes and encoded again, which must give
// the same bytes (reserved fields, finder info and four-character codes too).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "format_test_util.h"
#include "hfs/hfs_format.h"

namespace volpack {
namespace {

using test::golden;

// Encodes `value` and compares with `expected`; checks that the encoder writes
// nothing past the record; decodes `expected` and encodes it again.
template <class T>
void expect_codec(const T& value, const std::vector<uint8_t>& expected) {
  const size_t size = expected.size();
  std::vector<uint8_t> out(size + 16, 0xCC);
  encode(value, out.data());
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + size), expected);
  for (size_t i = size; i < out.size(); ++i) ASSERT_EQ(out[i], 0xCC) << "encoder wrote past the record at " << i;

  T back;
  decode(expected.data(), &back);
  std::vector<uint8_t> again(size, 0);
  encode(back, again.data());
  EXPECT_EQ(again, expected);
}

HFSPlusForkData sample_fork(uint8_t tag) {
  HFSPlusForkData f;
  f.logicalSize = 0x0000000100002000ull + tag;
  f.clumpSize = 0x00003000u + tag;
  f.totalBlocks = 0x00000300u + tag;
  for (uint32_t i = 0; i < 8; ++i) {
    f.extents[i].startBlock = (static_cast<uint32_t>(tag) << 16) | (0x10 + i);
    f.extents[i].blockCount = (static_cast<uint32_t>(tag) << 16) | (0x20 + i);
  }
  return f;
}

// The bytes of sample_fork(tag), typed field by field.
std::vector<std::pair<size_t, std::string>> sample_fork_bytes(size_t at, const std::string& t) {
  return {
      {at + 0, "00 00 00 01 00 00 20" + t},  // logicalSize
      {at + 8, "00 00 30" + t},               // clumpSize
      {at + 12, "00 00 03" + t},              // totalBlocks
      {at + 16, "00" + t + "00 10 00" + t + "00 20"},  // extents[0]
      {at + 24, "00" + t + "00 11 00" + t + "00 21"}, {at + 32, "00" + t + "00 12 00" + t + "00 22"},
      {at + 40, "00" + t + "00 13 00" + t + "00 23"}, {at + 48, "00" + t + "00 14 00" + t + "00 24"},
      {at + 56, "00" + t + "00 15 00" + t + "00 25"}, {at + 64, "00" + t + "00 16 00" + t + "00 26"},
      {at + 72, "00" + t + "00 17 00" + t + "00 27"},  // extents[7]
  };
}

TEST(HfsFormat, ForkDataAndExtents) {
  expect_codec(sample_fork(0x5A), golden(kHFSPlusForkDataSize, sample_fork_bytes(0, "5A")));
  HFSPlusExtentDescriptor d;
  d.startBlock = 0x01020304;
  d.blockCount = 0x0A0B0C0D;
  expect_codec(d, golden(8, {{0, "01 02 03 04 0A 0B 0C 0D"}}));
}

TEST(HfsFormat, VolumeHeader) {
  HFSPlusVolumeHeader vh;
  vh.signature = kHFSPlusSigWord;
  vh.version = kHFSPlusVersion;
  vh.attributes = 0x80002100;
  vh.lastMountedVersion = fourcc("10.0");
  vh.journalInfoBlock = 0x00000007;
  vh.createDate = 0xC0010203;
  vh.modifyDate = 0xC0010204;
  vh.backupDate = 0xC0010205;
  vh.checkedDate = 0xC0010206;
  vh.fileCount = 0x21;
  vh.folderCount = 0x22;
  vh.blockSize = 4096;
  vh.totalBlocks = 2560;
  vh.freeBlocks = 2517;
  vh.nextAllocation = 242;
  vh.rsrcClumpSize = 0x00010000;
  vh.dataClumpSize = 0x00020000;
  vh.nextCatalogID = 16;
  vh.writeCount = 9;
  vh.encodingsBitmap = 0x0102030405060708ull;
  for (size_t i = 0; i < 32; ++i) vh.finderInfo[i] = static_cast<uint8_t>(0xA0 + i);
  vh.allocationFile = sample_fork(0x01);
  vh.extentsFile = sample_fork(0x02);
  vh.catalogFile = sample_fork(0x03);
  vh.attributesFile = sample_fork(0x04);
  vh.startupFile = sample_fork(0x05);

  std::vector<std::pair<size_t, std::string>> pieces = {
      {0, "48 2B"},        {2, "00 04"},        {4, "80 00 21 00"},  {8, "31 30 2E 30"},  // "10.0"
      {12, "00 00 00 07"}, {16, "C0 01 02 03"}, {20, "C0 01 02 04"}, {24, "C0 01 02 05"},
      {28, "C0 01 02 06"}, {32, "00 00 00 21"}, {36, "00 00 00 22"}, {40, "00 00 10 00"},
      {44, "00 00 0A 00"}, {48, "00 00 09 D5"}, {52, "00 00 00 F2"}, {56, "00 01 00 00"},
      {60, "00 02 00 00"}, {64, "00 00 00 10"}, {68, "00 00 00 09"}, {72, "01 02 03 04 05 06 07 08"},
      {80, "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF B0 B1 B2 B3 B4 B5 B6 B7 B8 B9 BA BB BC BD BE BF"},
  };
  const std::pair<size_t, const char*> forks[] = {{112, "01"}, {192, "02"}, {272, "03"}, {352, "04"}, {432, "05"}};
  for (const auto& f : forks) {
    auto more = sample_fork_bytes(f.first, f.second);
    pieces.insert(pieces.end(), more.begin(), more.end());
  }
  expect_codec(vh, golden(kHFSPlusVolumeHeaderSize, pieces));
}

TEST(HfsFormat, NodeDescriptorAndHeaderRecord) {
  BTNodeDescriptor d;
  d.fLink = 0x01020304;
  d.bLink = 0x05060708;
  d.kind = kBTLeafNode;
  d.height = 1;
  d.numRecords = 0x0203;
  d.reserved = 0x0A0B;
  expect_codec(d, golden(kBTNodeDescriptorSize, {{0, "01 02 03 04 05 06 07 08 FF 01 02 03 0A 0B"}}));
  d.kind = kBTMapNode;
  expect_codec(d, golden(kBTNodeDescriptorSize, {{0, "01 02 03 04 05 06 07 08 02 01 02 03 0A 0B"}}));

  BTHeaderRec h;
  h.treeDepth = 0x0102;
  h.rootNode = 0x03040506;
  h.leafRecords = 0x0708090A;
  h.firstLeafNode = 0x0B0C0D0E;
  h.lastLeafNode = 0x0F101112;
  h.nodeSize = 0x1000;
  h.maxKeyLength = 0x0204;
  h.totalNodes = 0x14;
  h.freeNodes = 0x12;
  h.reserved1 = {0xEE, 0xEF};
  h.clumpSize = 0x00014000;
  h.btreeType = 0x5A;
  h.keyCompareType = kHFSCaseFolding;
  h.attributes = kBTBigKeysMask | kBTVariableIndexKeysMask;
  h.reserved3[0] = 0x99;
  h.reserved3[63] = 0x77;
  expect_codec(h, golden(kBTHeaderRecSize,
                         {{0, "01 02"}, {2, "03 04 05 06"}, {6, "07 08 09 0A"}, {10, "0B 0C 0D 0E"},
                          {14, "0F 10 11 12"}, {18, "10 00"}, {20, "02 04"}, {22, "00 00 00 14"}, {26, "00 00 00 12"},
                          {30, "EE EF"}, {32, "00 01 40 00"}, {36, "5A CF"}, {38, "00 00 00 06"}, {42, "99"},
                          {105, "77"}}));
}

TEST(HfsFormat, CatalogFolder) {
  HFSPlusCatalogFolder f;
  f.flags = kHFSHasFolderCountMask;
  f.valence = 3;
  f.folderID = 2;
  f.createDate = 0xD0000001;
  f.contentModDate = 0xD0000002;
  f.attributeModDate = 0xD0000003;
  f.accessDate = 0xD0000004;
  f.backupDate = 0xD0000005;
  f.permissions.ownerID = 501;
  f.permissions.groupID = 20;
  f.permissions.adminFlags = 0x02;
  f.permissions.ownerFlags = 0x01;
  f.permissions.fileMode = 0x41ED;
  f.permissions.special = 7;
  f.userInfo.windowBoundsTop = 0x10;
  f.userInfo.windowBoundsLeft = 0x20;
  f.userInfo.windowBoundsBottom = 0x130;
  f.userInfo.windowBoundsRight = 0x240;
  f.userInfo.finderFlags = kHasCustomIcon;
  f.userInfo.location.v = -1;
  f.userInfo.location.h = 0x50;
  f.userInfo.reservedField = {0xAB, 0xCD};
  f.finderInfo.scrollPosition.v = 1;
  f.finderInfo.scrollPosition.h = 2;
  f.finderInfo.reserved1 = {0xDE, 0xAD, 0xBE, 0xEF};
  f.finderInfo.extendedFinderFlags = 4;
  f.finderInfo.reserved2 = {0xCA, 0xFE};
  f.finderInfo.putAwayFolderID = 0x11;
  f.textEncoding = 1;
  f.folderCount = 2;
  expect_codec(f, golden(kHFSPlusCatalogFolderSize,
                         {{0, "00 01 00 10"}, {4, "00 00 00 03"}, {8, "00 00 00 02"},
                          {12, "D0 00 00 01 D0 00 00 02 D0 00 00 03"}, {24, "D0 00 00 04 D0 00 00 05"},
                          {32, "00 00 01 F5 00 00 00 14 02 01 41 ED 00 00 00 07"},
                          {48, "00 10 00 20 01 30 02 40 04 00 FF FF 00 50 AB CD"},
                          {64, "00 01 00 02 DE AD BE EF 00 04 CA FE 00 00 00 11"}, {80, "00 00 00 01"},
                          {84, "00 00 00 02"}}));
}

TEST(HfsFormat, CatalogFile) {
  HFSPlusCatalogFile f;
  f.flags = kHFSThreadExistsMask;
  f.reserved1 = {0x11, 0x22, 0x33, 0x44};
  f.fileID = 0x15;
  f.createDate = 0xE0000001;
  f.contentModDate = 0xE0000002;
  f.attributeModDate = 0xE0000003;
  f.accessDate = 0xE0000004;
  f.backupDate = 0xE0000005;
  f.permissions.groupID = 0x50;
  f.permissions.ownerFlags = 1;
  f.permissions.fileMode = 0x81A4;
  f.permissions.special = 1;
  f.userInfo.fileType = fourcc("slnk");
  f.userInfo.fileCreator = fourcc("rhap");
  f.userInfo.finderFlags = kIsInvisible | kNameLocked;
  f.userInfo.location.v = 0x12;
  f.userInfo.location.h = -2;
  f.userInfo.reservedField = {0x12, 0x34};
  f.finderInfo.reserved1 = {1, 2, 3, 4, 5, 6, 7, 8};
  f.finderInfo.extendedFinderFlags = 0x8000;
  f.finderInfo.reserved2 = {0xAB, 0xCD};
  f.finderInfo.putAwayFolderID = 0x1F;
  f.textEncoding = 0x7E;
  f.reserved2 = {0x55, 0x66, 0x77, 0x88};
  f.dataFork = sample_fork(0x06);
  f.resourceFork = sample_fork(0x07);
  std::vector<std::pair<size_t, std::string>> pieces = {
      {0, "00 02 00 02 11 22 33 44"},
      {8, "00 00 00 15"},
      {12, "E0 00 00 01 E0 00 00 02 E0 00 00 03 E0 00 00 04 E0 00 00 05"},
      {32, "00 00 00 00 00 00 00 50 00 01 81 A4 00 00 00 01"},
      {48, "73 6C 6E 6B 72 68 61 70 50 00 00 12 FF FE 12 34"},  // "slnk" "rhap"
      {64, "01 02 03 04 05 06 07 08 80 00 AB CD 00 00 00 1F"},
      {80, "00 00 00 7E 55 66 77 88"},
  };
  for (const auto& fork : {sample_fork_bytes(88, "06"), sample_fork_bytes(168, "07")})
    pieces.insert(pieces.end(), fork.begin(), fork.end());
  expect_codec(f, golden(kHFSPlusCatalogFileSize, pieces));
}

HFSUniStr255 units(std::initializer_list<uint16_t> u) {
  HFSUniStr255 n;
  n.length = static_cast<uint16_t>(u.size());
  std::copy(u.begin(), u.end(), n.unicode.begin());
  return n;
}

TEST(HfsFormat, CatalogKeysAndThreads) {
  HFSPlusCatalogKey key;
  key.keyLength = 12;
  key.parentID = 0x01020304;
  key.nodeName = units({0x0041, 0x002F, 0x20AC});
  EXPECT_EQ(encoded_size(key), 14u);
  expect_codec(key, golden(14, {{0, "00 0C 01 02 03 04 00 03 00 41 00 2F 20 AC"}}));

  HFSPlusCatalogKey empty;
  empty.keyLength = 6;
  empty.parentID = kHFSRootFolderID;
  EXPECT_EQ(encoded_size(empty), kHFSPlusCatalogKeyMinSize);
  expect_codec(empty, golden(8, {{0, "00 06 00 00 00 02 00 00"}}));

  HFSPlusCatalogThread t;
  t.recordType = kHFSPlusFolderThreadRecord;
  t.reserved = {0xBE, 0xEF};
  t.parentID = kHFSRootParentID;
  t.nodeName = units({0x0041, 0x00E9});
  EXPECT_EQ(encoded_size(t), 14u);
  expect_codec(t, golden(14, {{0, "00 03 BE EF 00 00 00 01 00 02 00 41 00 E9"}}));

  // The largest records: 255 units.
  HFSPlusCatalogThread longest;
  longest.recordType = kHFSPlusFileThreadRecord;
  longest.nodeName.length = 255;
  longest.nodeName.unicode.fill(0x0102);
  EXPECT_EQ(encoded_size(longest), kHFSPlusCatalogThreadMaxSize);
  std::vector<std::pair<size_t, std::string>> pieces = {{0, "00 04 00 00 00 00 00 00 00 FF"}};
  for (size_t i = 0; i < 255; ++i) pieces.push_back({10 + 2 * i, "01 02"});
  expect_codec(longest, golden(kHFSPlusCatalogThreadMaxSize, pieces));
}

TEST(HfsFormat, ExtentKeyAndJournalInfoBlock) {
  HFSPlusExtentKey k;
  k.forkType = 0xFF;
  k.pad = 0x5A;
  k.fileID = 0x15;
  k.startBlock = 0x0100;
  expect_codec(k, golden(kHFSPlusExtentKeySize, {{0, "00 0A FF 5A 00 00 00 15 00 00 01 00"}}));

  JournalInfoBlock j;
  j.flags = kJIJournalInFSMask | kJIJournalNeedInitMask;
  for (size_t i = 0; i < 32; ++i) j.device_signature[i] = static_cast<uint8_t>(0x40 + i);
  j.offset = 0x0000000100003000ull;
  j.size = 0x00800000;
  j.reserved[0] = 0xDB;
  j.reserved[127] = 0xBD;
  expect_codec(j, golden(kJournalInfoBlockSize,
                         {{0, "00 00 00 05"}, {4, "40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F"},
                          {20, "50 51 52 53 54 55 56 57 58 59 5A 5B 5C 5D 5E 5F"}, {36, "00 00 00 01 00 00 30 00"},
                          {44, "00 00 00 00 00 80 00 00"}, {52, "DB"}, {179, "BD"}}));
}

}  // namespace
}  // namespace volpack
