// Catalog updates: folders, files and links with their threads and counters,
// link rewrites, and the names that must be refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "hfs/catalog.h"
#include "volume_fixture.h"

namespace volpack {
namespace test {
namespace {

std::unique_ptr<catalog_record_t> at(volume_t* v, const char* path) {
  return ok_value(volume_get_record_from_path_with_options(v, path, true, false, kHFSRootFolderID, nullptr, nullptr));
}

std::string link_text(volume_t* v, const char* path) {
  std::unique_ptr<catalog_record_t> r = at(v, path);
  if (r == nullptr || !r->is_symlink()) return "<none>";
  std::unique_ptr<hfsfile_t> f = ok_value(volume_open_hfsfile(v, r->file.fileID, &r->file.dataFork, r.get()));
  std::string s(r->file.dataFork.logicalSize, '\0');
  EXPECT_TRUE(hfsfile_read(f.get(), 0, s.size(), s.data()));
  return s;
}

// IDs are taken in turn; threads, valences, folder counts and the header's
// counts are judged by the volume checker.
TEST(CreateFolder, AppsTakesTheNextIdWithItsThreadAndCounts) {
  TestVolume t;
  ASSERT_EQ(t.v()->header.nextCatalogID, 16u);
  ASSERT_EQ(ok_value(volume_create_folder(t.v(), "/Apps")), 16u);
  EXPECT_EQ(t.v()->header.folderCount, 1u);
  t.reopen();  // all of it is on disk
  volume_t* v = t.v();
  EXPECT_EQ(v->header.nextCatalogID, 17u);
  std::unique_ptr<catalog_record_t> folder = at(v, "/Apps");
  ASSERT_TRUE(folder != nullptr && folder->is_folder());
  EXPECT_EQ(folder->folder.folderID, 16u);
  EXPECT_EQ(folder->folder.flags, kHFSHasFolderCountMask);
  EXPECT_EQ(folder->folder.permissions.fileMode, 040755);
  ASSERT_EQ(ok_value(volume_create_file(v, "Apps/readme")), 17u);  // no leading slash: from the root
  EXPECT_EQ(v->catalog_tree.header.leafRecords, 6u);  // root, Apps, readme and their threads
  EXPECT_EQ(checker_findings(t.image), "");
}

TEST(CreateFile, InheritsOwnerAndGroupWithEqualDates) {
  TestVolume t;
  ASSERT_NE(ok_value(volume_create_folder(t.v(), "/home")), 0u);
  std::unique_ptr<catalog_record_t> home = at(t.v(), "/home");
  home->folder.permissions.ownerID = 501;
  home->folder.permissions.groupID = 20;
  ASSERT_TRUE(volume_update_catalog(t.v(), *home));
  CatalogNodeID id = ok_value(volume_create_file(t.v(), "/home/notes.txt"));
  std::unique_ptr<catalog_record_t> f = ok_value(volume_get_record_by_id(t.v(), id));
  ASSERT_TRUE(f->is_file());
  const HFSPlusCatalogFile& r = f->file;
  EXPECT_EQ(r.permissions.ownerID, 501u);
  EXPECT_EQ(r.permissions.groupID, 20u);
  EXPECT_EQ(r.permissions.fileMode, 0100644);
  EXPECT_EQ(r.flags, kHFSThreadExistsMask);
  EXPECT_NE(r.createDate, 0u);
  for (uint32_t d : {r.contentModDate, r.attributeModDate, r.accessDate, r.backupDate}) EXPECT_EQ(d, r.createDate);
  EXPECT_EQ(r.dataFork.logicalSize, 0u);
  EXPECT_EQ(r.userInfo.fileType, 0u);
}

TEST(CreateRefusals, CollidingTooLongOrEmptyNamesChangeNothing) {
  TestVolume t;
  CatalogNodeID readme = ok_value(volume_create_file(t.v(), "/README"));
  CatalogNodeID cafe = ok_value(volume_create_folder(t.v(), "/caf\xC3\xA9"));
  ASSERT_NE(readme, 0u);
  ASSERT_NE(cafe, 0u);
  struct {
    const char* path;
    bool folder;
    create_status_t status;
    CatalogNodeID existing;
  } cases[] = {
      {"/readme", false, create_status_t::kNameExists, readme},
      {"/ReadMe", true, create_status_t::kNameExists, readme},
      {"/CAFE\xCC\x81", false, create_status_t::kNameExists, cafe},  // decomposed, other case
      {"/caf\xE9", true, create_status_t::kNameExists, cafe},        // Latin-1 host name
      {"/READ\xE2\x80\x8DME", false, create_status_t::kNameExists, readme},  // zero-width joiner
      {"/caf\xC3\xA9/", false, create_status_t::kEmptyName, 0},
      {"/\xE2\x80\x8D", true, create_status_t::kEmptyName, 0},       // ignorable only
  };
  std::string long_name = "/" + std::string(300, 'n');
  const std::vector<uint8_t> before = t.image;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    create_result_t result;
    CatalogNodeID id = c.folder ? ok_value(volume_create_folder(t.v(), c.path, &result))
                                : ok_value(volume_create_file(t.v(), c.path, &result));
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.existing_id, c.existing);
  }
  create_result_t result;
  EXPECT_EQ(ok_value(volume_create_file(t.v(), long_name.c_str(), &result)), 0u);
  EXPECT_EQ(result.status, create_status_t::kNameTooLong);
  EXPECT_FALSE(ok_value(volume_create_symlink(t.v(), "/readme", "x", &result)));
  EXPECT_EQ(result.status, create_status_t::kNameExists);
  EXPECT_EQ(result.existing_id, readme);
  EXPECT_FALSE(ok_value(volume_create_symlink(t.v(), "/l", std::string(1024, 't').c_str(), &result)));
  EXPECT_EQ(result.status, create_status_t::kTargetTooLong);
  EXPECT_FALSE(ok_value(volume_create_symlink(t.v(), "/README", "target")));  // a regular file is not rewritten
  // A parent that is missing or no folder fails.
  EXPECT_EQ(message_of(volume_create_file(t.v(), "/README/x")),
            "volume_create_file():1107: ERROR: parent is not a folder\n");
  EXPECT_EQ(message_of(volume_create_folder(t.v(), "/missing/x")),
            "volume_create_folder():1013: ERROR: parent is not a folder\n");
  EXPECT_EQ(t.image, before);

  // 255 units are fine.
  std::string longest = "/" + std::string(255, 'n');
  EXPECT_NE(ok_value(volume_create_file(t.v(), longest.c_str(), &result)), 0u);
  EXPECT_EQ(result.status, create_status_t::kCreated);
}

TEST(CreateSymlink, NewLinkThenRewritesOfTheSameName) {
  TestVolume t;
  const uint32_t free_before = t.v()->header.freeBlocks;
  ASSERT_TRUE(ok_value(volume_create_symlink(t.v(), "/link", "some/longer/target")));
  std::unique_ptr<catalog_record_t> r = at(t.v(), "/link");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->file.permissions.fileMode, 0120644);
  EXPECT_EQ(r->file.userInfo.fileType, fourcc("slnk"));
  EXPECT_EQ(r->file.userInfo.fileCreator, fourcc("rhap"));
  EXPECT_EQ(r->file.dataFork.logicalSize, 18u);
  EXPECT_EQ(link_text(t.v(), "/link"), "some/longer/target");
  EXPECT_EQ(t.v()->header.fileCount, 1u);
  EXPECT_EQ(t.v()->header.freeBlocks, free_before - 1);

  // A shorter target leaves no tail of the old one; an empty one frees the block.
  ASSERT_TRUE(ok_value(volume_create_symlink(t.v(), "/link", "short")));
  EXPECT_EQ(link_text(t.v(), "/link"), "short");
  ASSERT_TRUE(ok_value(volume_create_symlink(t.v(), "/link", "")));
  EXPECT_EQ(link_text(t.v(), "/link"), "");
  EXPECT_EQ(t.v()->header.freeBlocks, free_before);
  EXPECT_EQ(t.v()->header.fileCount, 1u);

  // The same link under another case is a collision, not a rewrite.
  create_result_t result;
  EXPECT_FALSE(ok_value(volume_create_symlink(t.v(), "/LINK", "x", &result)));
  EXPECT_EQ(result.status, create_status_t::kNameExists);
  EXPECT_EQ(link_text(t.v(), "/link"), "");
}

// Items created in a held folder record come back with where their records
// went; later insertions move them, and a rewrite by a place that no longer
// holds the record (or holds another) must still rewrite exactly that record.
TEST(UpdateCatalog, APlaceIsCheckedBeforeTheRecordIsRewrittenThere) {
  TestVolume t;
  catalog_record_t root = *ok_value(volume_get_record_by_id(t.v(), kHFSRootFolderID));
  struct made {
    catalog_record_t record;
    catalog_key_t key;
    catalog_place_t place;
  };
  std::vector<made> files(150);
  for (size_t i = 0; i < files.size(); ++i) {
    HFSUniStr255 name;
    ASSERT_TRUE(unistr_printf(&name, "file %03d", static_cast<int>(files.size() - i)));  // each one goes first
    made& m = files[i];
    ASSERT_NE(ok_value(volume_create_in_folder(t.v(), &root, name, false, nullptr, &m.record, &m.key, &m.place)), 0u);
  }
  ASSERT_TRUE(volume_update_catalog(t.v(), root));
  for (size_t i = 0; i < files.size(); ++i) {
    made& m = files[i];
    m.record.file.userInfo.fileCreator = static_cast<uint32_t>(i + 1);
    const catalog_place_t& place = files[i % 2 == 0 ? i : files.size() - 1 - i].place;  // its own, or another's
    ASSERT_TRUE(volume_update_catalog_at(t.v(), m.key, m.record, &place));
  }
  for (size_t i = 0; i < files.size(); ++i) {
    std::unique_ptr<catalog_record_t> r = ok_value(volume_get_record_by_id(t.v(), files[i].record.file.fileID));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->file.userInfo.fileCreator, i + 1) << i;
  }
  EXPECT_EQ(ok_value(volume_get_record_by_id(t.v(), kHFSRootFolderID))->folder.valence, files.size());
  expect_sound_trees(t.v());
}

}  // namespace
}  // namespace test
}  // namespace volpack
