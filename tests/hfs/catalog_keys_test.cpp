// Catalog and extents keys: both catalog orders, the extents order, and the
// codecs against bytes typed from the volume format's layouts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hfs/catalog.h"
#include "hfs/volume.h"
#include "support/support.h"

namespace volpack {
namespace {

using test::FaultIo;
using test::MemIo;
using test::message_of;
using test::ok_value;

catalog_key_t key(CatalogNodeID parent, const char* name) {
  HFSUniStr255 n;
  EXPECT_TRUE(unistr_printf(&n, "%s", name));
  catalog_key_t k;
  catalog_make_key(&k, parent, n);
  return k;
}

struct OrderCase {
  CatalogNodeID pa;
  const char* a;
  CatalogNodeID pb;
  const char* b;
  int folded, binary;
};

TEST(CatalogKeyOrder, FoldedAndBinary) {
  const OrderCase cases[] = {
      {2, "Info.plist", 2, "INFO.PLIST", 0, 1},  // 'n' after 'N'
      {2, "b", 3, "a", -1, -1},
      {3, "a", 2, "b", 1, 1},
      {0x80000000u, "", 1, "z", 1, 1},  // parent IDs are unsigned
      {2, "B", 2, "a", 1, -1},
      {2, "ab", 2, "a", 1, 1},
      {2, "a:b", 2, "a/b", 0, 0},
      {2, "a:b", 2, "a.b", 1, 1},  // '/' (0x2F) after '.' (0x2E)
      {2, "", 2, "a", -1, -1},     // a thread key orders before the children
      {2, "", 2, "", 0, 0},
      {2, "README", 2, "readme", 0, -1},
      {2, "\xC3\xA9", 2, "e\xCC\x81", 0, 0},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    catalog_key_t a = key(c.pa, c.a), b = key(c.pb, c.b);
    EXPECT_EQ(catalog_compare_folded(a, b), c.folded);
    EXPECT_EQ(catalog_compare_folded(b, a), -c.folded);
    EXPECT_EQ(catalog_compare_binary(a, b), c.binary);
    EXPECT_EQ(catalog_compare_binary(b, a), -c.binary);
  }
}

TEST(CatalogKeyCodec, WritesTheDiskFormWithSlashes) {
  std::vector<uint8_t> bytes;
  MemIo io(&bytes);
  ASSERT_TRUE(catalog_writekey(4, &io, key(16, "a:b")));
  const std::vector<uint8_t> want = {0, 0, 0, 0,                            // untouched
                                     0x00, 0x0C, 0x00, 0x00, 0x00, 0x10,    // keyLength 12, parent 16
                                     0x00, 0x03, 0x00, 0x61, 0x00, 0x2F, 0x00, 0x62};
  EXPECT_EQ(bytes, want);

  std::unique_ptr<catalog_key_t> back = ok_value(catalog_readkey(4, &io));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->keyLength, 12);
  EXPECT_EQ(back->parentID, 16u);
  EXPECT_EQ(unistr_to_utf8(back->nodeName), "a:b");
  EXPECT_EQ(catalog_compare_binary(*back, key(16, "a:b")), 0);

  // A thread key: 8 bytes.
  bytes.clear();
  ASSERT_TRUE(catalog_writekey(0, &io, key(2, "")));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0x06, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00}));
}

TEST(CatalogKeyCodec, ReadFailuresGiveNull) {
  std::vector<uint8_t> bytes;
  MemIo io(&bytes);
  ASSERT_TRUE(catalog_writekey(0, &io, key(16, "name")));
  for (uint64_t k = 1; k <= 2; ++k) {
    FaultIo faulty(&io, FaultIo::Op::kRead, k);
    EXPECT_EQ(ok_value(catalog_readkey(0, &faulty)), nullptr) << k;
  }
  // A key whose units run past the end of the file.
  bytes.resize(bytes.size() - 1);
  EXPECT_EQ(ok_value(catalog_readkey(0, &io)), nullptr);
}

TEST(CatalogKeyCodec, SmallerKeyLengthIsAccepted) {
  std::vector<uint8_t> bytes = {0x00, 0x08, 0x00, 0x00, 0x00, 0x05, 0x00, 0x02, 0x00, 0x41, 0x00, 0x42};
  MemIo io(&bytes);
  std::unique_ptr<catalog_key_t> k = ok_value(catalog_readkey(0, &io));
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->keyLength, 8);
  EXPECT_EQ(k->nodeName.length, 2);
}

TEST(CatalogKeyCodec, OversizedKeysFail) {
  // keyLength 0x0106 with a name of 256 units: the length check comes first.
  std::vector<uint8_t> too_long = {0x01, 0x06, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00};
  too_long.resize(8 + 512);
  MemIo a(&too_long);
  EXPECT_EQ(message_of(catalog_readkey(0, &a)), "catalog_readkey(): ERROR: key->nodeName.length > 255\n");
  std::vector<uint8_t> long_key = {0x00, 0x10, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0, 0x41, 0, 0x42};
  MemIo b(&long_key);
  EXPECT_EQ(message_of(catalog_readkey(0, &b)),
            "catalog_readkey(): ERROR: key->keyLength > UNICODE_START - sizeof (uint16_t) + "
            "key->nodeName.length * sizeof (uint16_t)\n");
}

TEST(CatalogRecordCodec, ThreadRoundTripKeepsTheSlashOnDisk) {
  catalog_record_t t;
  t.recordType = t.thread.recordType = kHFSPlusFolderThreadRecord;
  t.thread.parentID = 2;
  ASSERT_TRUE(unistr_printf(&t.thread.nodeName, "%s", "a:b"));
  std::vector<uint8_t> bytes = ok_value(catalog_encode_record(t));
  const std::vector<uint8_t> want = {0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02,
                                     0x00, 0x03, 0x00, 0x61, 0x00, 0x2F, 0x00, 0x62};
  EXPECT_EQ(bytes, want);
  MemIo io(&bytes);
  std::unique_ptr<catalog_record_t> back = ok_value(catalog_readdata(0, &io));
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(back->is_thread());
  EXPECT_EQ(back->thread.parentID, 2u);
  EXPECT_EQ(unistr_to_utf8(back->thread.nodeName), "a:b");
  EXPECT_EQ(ok_value(catalog_encode_record(*back)), want);
}

TEST(CatalogRecordCodec, FolderAndFileComeBackAsWritten) {
  catalog_record_t folder;
  folder.recordType = kHFSPlusFolderRecord;
  folder.folder.folderID = 77;
  folder.folder.valence = 3;
  folder.folder.folderCount = 1;
  catalog_record_t file;
  file.recordType = kHFSPlusFileRecord;
  file.file.fileID = 78;
  file.file.permissions.fileMode = 0120644;
  file.file.userInfo.fileType = fourcc("slnk");
  file.file.dataFork.logicalSize = 5;
  file.file.dataFork.extents[7] = {9, 1};
  for (const catalog_record_t* r : {&folder, &file}) {
    std::vector<uint8_t> bytes = ok_value(catalog_encode_record(*r));
    EXPECT_EQ(bytes.size(), r->is_folder() ? 88u : 248u);
    EXPECT_EQ(bytes[1], r->is_folder() ? 1 : 2);  // recordType, big-endian
    MemIo io(&bytes);
    std::unique_ptr<catalog_record_t> back = ok_value(catalog_readdata(0, &io));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->recordType, r->recordType);
    EXPECT_EQ(back->id(), r->id());
    EXPECT_EQ(ok_value(catalog_encode_record(*back)), bytes);
  }
  EXPECT_EQ(ok_value(catalog_encode_record(folder))[11], 77);  // folderID: bytes 8 to 11
}

TEST(CatalogRecordCodec, UnknownOrDamagedRecordsGiveNullWithAWarning) {
  std::vector<uint8_t> unknown = {0x00, 0x07, 0, 0};
  MemIo a(&unknown);
  test::CaptureReporter warnings;
  EXPECT_EQ(ok_value(catalog_readdata(0, &a, &warnings)), nullptr);
  EXPECT_EQ(warnings.text, "catalog_readdata():590: WARNING: unknown record type (7)\n");

  std::vector<uint8_t> thread = {0x00, 0x04, 0, 0, 0, 0, 0, 2, 0x01, 0x00};  // 256 units
  thread.resize(10 + 512);
  MemIo b(&thread);
  EXPECT_EQ(ok_value(catalog_readdata(0, &b, &warnings)), nullptr);
  EXPECT_NE(warnings.text.find("WARNING: thread name length 256 > 255"), std::string::npos);
  EXPECT_EQ(ok_value(catalog_readdata(0, &b)), nullptr);  // no reporter: nothing said

  std::vector<uint8_t> short_file = {0x00, 0x02, 0, 0};
  MemIo c(&short_file);
  EXPECT_EQ(ok_value(catalog_readdata(0, &c)), nullptr);
}

extent_key_t ekey(uint8_t fork, CatalogNodeID id, uint32_t start, uint16_t length = 10) {
  extent_key_t k;
  k.keyLength = length;
  k.forkType = fork;
  k.fileID = id;
  k.startBlock = start;
  return k;
}

TEST(ExtentKeys, OrderByForkThenFileThenStartThenLength) {
  struct {
    extent_key_t a, b;
    int want;
  } cases[] = {
      {ekey(0, 20, 0), ekey(0, 21, 0), -1},
      {ekey(0, 20, 8), ekey(0, 20, 16), -1},
      {ekey(0xFF, 1, 0), ekey(0, 0xFFFFFFFF, 0xFFFFFFFF), 1},
      {ekey(0, 20, 8, 6), ekey(0, 20, 8, 10), -1},
      {ekey(0, 0x80000000u, 0), ekey(0, 1, 0), 1},
      {ekey(0, 20, 8), ekey(0, 20, 8), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(extent_compare(c.a, c.b), c.want);
    EXPECT_EQ(extent_compare(c.b, c.a), -c.want);
  }
}

TEST(ExtentKeys, Codec) {
  std::vector<uint8_t> bytes;
  MemIo io(&bytes);
  extent_key_t k = ekey(0, 20, 8);
  k.pad = 0;
  ASSERT_TRUE(extent_writekey(0, &io, k));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x08}));
  std::unique_ptr<extent_key_t> back = extent_readkey(0, &io);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(extent_compare(*back, k), 0);
  EXPECT_EQ(extent_readkey(1, &io), nullptr);

  std::vector<uint8_t> record(64);
  record[3] = 0x10;  // startBlock 16
  record[7] = 0x02;  // blockCount 2
  MemIo rio(&record);
  std::unique_ptr<extent_record_t> r = extent_readdata(0, &rio);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->extents[0].startBlock, 16u);
  EXPECT_EQ(r->extents[0].blockCount, 2u);
  EXPECT_EQ(extent_readdata(8, &rio), nullptr);
}

}  // namespace
}  // namespace volpack
