// Catalog lookups: paths, symbolic and hard links, IDs, folder listings.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "hfs/catalog.h"
#include "volume_fixture.h"

namespace volpack {
namespace test {
namespace {

std::string name_of(volume_t* v, const catalog_record_t& r) {
  catalog_key_t k;
  catalog_make_key(&k, r.id(), HFSUniStr255());
  bool exact = false;
  std::unique_ptr<btree_record_t> t = test::ok_value(btree_search(&v->catalog_tree, k, &exact, nullptr, nullptr));
  if (!exact) return "?";
  return unistr_to_utf8(static_cast<catalog_record_t&>(*t).thread.nodeName);
}

// The ID of the record a listing of the root shows under `name`; 0 if none.
CatalogNodeID listed_id(volume_t* v, const std::string& name) {
  for (const folder_entry_t& e : ok_value(volume_get_folder_contents(v, kHFSRootFolderID))) {
    if (unistr_to_utf8(e.name) == name) return e.record->id();
  }
  return 0;
}

class LookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apps = ok_value(volume_create_folder(t.v(), "/Apps"));
    contents = ok_value(volume_create_folder(t.v(), "/Apps/Contents"));
    plist = ok_value(volume_create_file(t.v(), "/Apps/Contents/Info.plist"));
    ASSERT_TRUE(ok_value(volume_create_symlink(t.v(), "/Apps/Current", "Contents")));  // relative
    ASSERT_TRUE(ok_value(volume_create_symlink(t.v(), "/abs", "/Apps/Contents/Info.plist")));
    ASSERT_TRUE(ok_value(volume_create_symlink(t.v(), "/Apps/up", "../x")));  // ".." is a name
  }
  TestVolume t;
  CatalogNodeID apps = 0, contents = 0, plist = 0;
};

TEST_F(LookupTest, RootFromEmptyOrSlashPaths) {
  for (const char* path : {"", "/", "//"}) {
    const char* rest = nullptr;
    std::unique_ptr<catalog_record_t> r = ok_value(volume_get_record_from_path(t.v(), path, &rest, nullptr));
    ASSERT_NE(r, nullptr) << path;
    EXPECT_TRUE(r->is_folder());
    EXPECT_EQ(r->id(), kHFSRootFolderID);
    EXPECT_EQ(rest, path);
  }
}

TEST_F(LookupTest, PathsResolveComponentByComponent) {
  const struct {
    const char* path;
    CatalogNodeID start;
    CatalogNodeID want;  // 0: not found
    const char* rest;    // where the remainder points after a failure
  } cases[] = {
      {"/Apps/Contents/Info.plist", 2, plist, nullptr},
      {"/apps/CONTENTS/info.PLIST", 2, plist, nullptr},  // case-insensitive
      {"Apps/Contents", 2, contents, nullptr},
      {"/Apps//Contents/", 2, contents, nullptr},
      {"Contents/Info.plist", apps, plist, nullptr},
      {"/Apps/Contents/Info.plist/x", 2, 0, "Info.plist/x"},  // a file inside a path
      {"/Apps/Missing/x", 2, 0, "Missing/x"},
      {"/Apps/Contents/none", 2, 0, "none"},
      {"/Apps/./Contents", 2, 0, "./Contents"},  // "." is only a name
      // Symbolic links: relative to the link's folder, inside a path, absolute.
      {"/Apps/Current/Info.plist", 2, plist, nullptr},
      {"/abs", 2, plist, nullptr},
      {"/Apps/up", 2, 0, nullptr},  // a target that does not resolve
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const char* rest = nullptr;
    std::unique_ptr<catalog_record_t> r =
        ok_value(volume_get_record_from_path_with_options(t.v(), c.path, true, true, c.start, &rest, nullptr));
    if (c.want == 0) {
      EXPECT_EQ(r, nullptr);
      EXPECT_STREQ(c.rest != nullptr ? rest : nullptr, c.rest);
    } else {
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(r->id(), c.want);
    }
  }
}

TEST_F(LookupTest, KeyOutNamesTheRecordFound) {
  catalog_key_t key;
  ASSERT_NE(ok_value(volume_get_record_from_path(t.v(), "/Apps/Contents", nullptr, &key)), nullptr);
  EXPECT_EQ(key.parentID, apps);
  EXPECT_EQ(unistr_to_utf8(key.nodeName), "Contents");
  EXPECT_EQ(key.keyLength, 6 + 2 * 8);
  ASSERT_NE(ok_value(volume_get_record_from_path(t.v(), "/Apps/Contents/Info.plist", nullptr, &key)), nullptr);
  EXPECT_EQ(key.parentID, contents);
  // Through a link: the target's key.
  ASSERT_NE(ok_value(volume_get_record_from_path(t.v(), "/Apps/Current", nullptr, &key)), nullptr);
  EXPECT_EQ(key.parentID, apps);
  EXPECT_EQ(unistr_to_utf8(key.nodeName), "Contents");
}

TEST_F(LookupTest, SymbolicLinksNotFollowedAtTheEnd) {
  // followLast false: the link itself.
  std::unique_ptr<catalog_record_t> r =
      ok_value(volume_get_record_from_path_with_options(t.v(), "/abs", true, false, 2, nullptr, nullptr));
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(r->is_symlink());
  EXPECT_EQ(r->file.dataFork.logicalSize, std::strlen("/Apps/Contents/Info.plist"));
  // ... but links before the end are still followed.
  r = ok_value(
      volume_get_record_from_path_with_options(t.v(), "/Apps/Current/Info.plist", true, false, 2, nullptr, nullptr));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->id(), plist);
  // Without following, a link inside a path is a file there.
  EXPECT_EQ(ok_value(volume_get_record_from_path_with_options(t.v(), "/Apps/Current/Info.plist", false, false, 2,
                                                              nullptr, nullptr)),
            nullptr);
}

TEST_F(LookupTest, LinkCyclesEndWithoutARecord) {
  ASSERT_TRUE(ok_value(volume_create_symlink(t.v(), "/loop1", "loop2")));
  ASSERT_TRUE(ok_value(volume_create_symlink(t.v(), "/loop2", "/loop1")));
  ASSERT_TRUE(ok_value(volume_create_symlink(t.v(), "/self", "self/x")));
  EXPECT_EQ(ok_value(volume_get_record_from_path(t.v(), "/loop1", nullptr, nullptr)), nullptr);
  EXPECT_EQ(ok_value(volume_get_record_from_path(t.v(), "/self", nullptr, nullptr)), nullptr);
}

TEST_F(LookupTest, OverlongLinkTargetIsRefusedNotRead) {
  // A link whose fork holds 1,500 bytes (volpack itself never writes one).
  CatalogNodeID id = ok_value(volume_create_file(t.v(), "/long"));
  std::unique_ptr<catalog_record_t> r = ok_value(volume_get_record_by_id(t.v(), id));
  r->file.permissions.fileMode |= S_IFLNK_HFS;
  ASSERT_TRUE(volume_update_catalog(t.v(), *r));
  std::unique_ptr<hfsfile_t> f = ok_value(volume_open_hfsfile(t.v(), id, &r->file.dataFork, r.get()));
  std::string target(1500, 'a');
  ASSERT_TRUE(hfsfile_write(f.get(), 0, target.size(), target.data()));
  hfsfile_close(std::move(f));
  CaptureReporter reporter;
  t.v()->reporter = &reporter;
  EXPECT_EQ(ok_value(volume_get_record_from_path(t.v(), "/long", nullptr, nullptr)), nullptr);
  EXPECT_EQ(reporter.text, "getLinkTarget(): ERROR: symbolic link target of 1500 bytes is longer than 1023\n");
}

TEST_F(LookupTest, RecordsByIdThroughThreads) {
  std::unique_ptr<catalog_record_t> root = ok_value(volume_get_record_by_id(t.v(), kHFSRootFolderID));
  ASSERT_NE(root, nullptr);
  EXPECT_TRUE(root->is_folder());
  EXPECT_EQ(root->folder.valence, 2u);  // Apps and abs
  std::unique_ptr<catalog_record_t> f = ok_value(volume_get_record_by_id(t.v(), plist));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(name_of(t.v(), *f), "Info.plist");
  EXPECT_EQ(ok_value(volume_get_record_by_id(t.v(), 9999)), nullptr);
}

TEST_F(LookupTest, HardLinksResolveThroughThePrivateFolderWhenThereIsOne) {
  // Without the folder: nothing to resolve to.
  CatalogNodeID link = ok_value(volume_create_file(t.v(), "/hl"));
  std::unique_ptr<catalog_record_t> r = ok_value(volume_get_record_by_id(t.v(), link));
  r->file.userInfo.fileType = fourcc("hlnk");
  r->file.permissions.special = 42;
  ASSERT_TRUE(volume_update_catalog(t.v(), *r));
  EXPECT_EQ(t.v()->private_folder_id, 0u);
  EXPECT_EQ(ok_value(volume_get_record_from_path(t.v(), "/hl", nullptr, nullptr)), nullptr);
  EXPECT_EQ(listed_id(t.v(), "hl"), link);  // the link's own record

  // With the folder and the node.
  HFSUniStr255 name;
  name.length = 21;
  const char* text = "HFS+ Private Data";
  for (int i = 0; i < 17; ++i) name.unicode[4 + i] = static_cast<uint8_t>(text[i]);
  catalog_record_t folder;
  folder.recordType = kHFSPlusFolderRecord;
  folder.folder.folderID = 500;
  add_raw(t.v(), kHFSRootFolderID, name, folder);
  catalog_record_t node;
  node.recordType = kHFSPlusFileRecord;
  node.file.fileID = 501;
  HFSUniStr255 node_name;
  ASSERT_TRUE(unistr_printf(&node_name, "iNode%d", 42));
  add_raw(t.v(), 500, node_name, node);
  t.reopen();
  EXPECT_EQ(t.v()->private_folder_id, 500u);
  EXPECT_EQ(ok_value(volume_get_private_data_folder_id(t.v())), 500u);
  r = ok_value(volume_get_record_from_path(t.v(), "/hl", nullptr, nullptr));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->id(), 501u);
  EXPECT_EQ(listed_id(t.v(), "hl"), 501u);
}

TEST(FolderListing, SpansLeavesInKeyOrder) {
  TestVolume t(small_blocks(4096));
  CatalogNodeID a = ok_value(volume_create_folder(t.v(), "/a"));
  CatalogNodeID b = ok_value(volume_create_folder(t.v(), "/b"));
  std::vector<std::string> names;
  for (int i = 0; i < 150; ++i) {
    std::string n = (i % 2 ? "File" : "file") + std::to_string(i * 7919 % 1000);
    names.push_back(n);
    ASSERT_NE(ok_value(volume_create_file(t.v(), ("/a/" + n).c_str())), 0u) << n;
  }
  ASSERT_NE(ok_value(volume_create_file(t.v(), "/b/only")), 0u);
  EXPECT_GT(t.v()->catalog_tree.header.treeDepth, 1);

  std::vector<folder_entry_t> listing = ok_value(volume_get_folder_contents(t.v(), a));
  ASSERT_EQ(listing.size(), names.size());
  for (size_t i = 0; i + 1 < listing.size(); ++i) {
    const HFSUniStr255 &x = listing[i].name, &y = listing[i + 1].name;
    EXPECT_LT(unicode_compare_folded(x.unicode.data(), x.length, y.unicode.data(), y.length), 0);
  }
  std::vector<std::string> got;
  for (const auto& e : listing) {
    got.push_back(unistr_to_utf8(e.name));
    EXPECT_TRUE(e.record->is_file());
    EXPECT_EQ(name_of(t.v(), *e.record), got.back());
  }
  std::sort(got.begin(), got.end());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(got, names);

  ASSERT_EQ(ok_value(volume_get_folder_contents(t.v(), b)).size(), 1u);
  EXPECT_TRUE(ok_value(volume_get_folder_contents(t.v(), ok_value(volume_create_folder(t.v(), "/empty")))).empty());
  EXPECT_TRUE(ok_value(volume_get_folder_contents(t.v(), 7777)).empty());
}

TEST(Lookup, SymbolicLinkThatCannotBeReadFails) {
  TestVolume t(small_blocks(1024));
  ASSERT_TRUE(ok_value(volume_create_symlink(t.v(), "/l", "target")));
  std::unique_ptr<catalog_record_t> r =
      ok_value(volume_get_record_from_path_with_options(t.v(), "/l", true, false, 2, nullptr, nullptr));
  ASSERT_NE(r, nullptr);
  // A size past the fork's one block: the read runs out of extents.
  r->file.dataFork.logicalSize = 1000;
  ASSERT_TRUE(volume_update_catalog(t.v(), *r));
  EXPECT_EQ(message_of(volume_get_record_from_path(t.v(), "/l", nullptr, nullptr)),
            "getLinkTarget():743: io_read error\n");
  // The block itself gone from the device.
  r->file.dataFork.logicalSize = 6;
  ASSERT_TRUE(volume_update_catalog(t.v(), *r));
  t.image.resize(uint64_t{r->file.dataFork.extents[0].startBlock} * 512);
  EXPECT_EQ(message_of(volume_get_record_from_path(t.v(), "/l", nullptr, nullptr)),
            "hfsfile_read():250: io_read error\n");
}

}  // namespace
}  // namespace test
}  // namespace volpack
