// End to end: a freshly formatted volume is filled with a few thousand folders,
// files (some fragmented on purpose past eight extents) and symbolic links,
// closed, reopened and read back through lookups, listings and forks; both
// trees are then checked structurally, and 7-Zip, where installed, extracts
// the raw volume for an independent comparison.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hfs/catalog.h"
#include "hfs/format.h"
#include "format_test_util.h"
#include "hfs/volume.h"
#include "support/support.h"
#include "volume_fixture.h"

namespace volpack {
namespace test {
namespace {

struct item {
  enum Kind { kFolder, kFile, kLink } kind;
  std::string parent;  // host path of the parent folder ("" for the root)
  std::string name;    // host name
  CatalogNodeID id = 0;
  std::vector<uint8_t> data;  // file content
  std::string target;         // link target
  std::string path() const { return parent + "/" + name; }
};

// The name as the volume stores it, as UTF-8.
std::string volume_name(const std::string& host) {
  HFSUniStr255 n;
  EXPECT_TRUE(unistr_from_host(&n, host.data(), host.size())) << host;
  return unistr_to_utf8(n);
}

TEST(VolumeEndToEnd, FillCloseReopenAndReadEverythingBack) {
  TempDir dir;
  const std::string image_path = dir.str() + "/volume.hfs";
  // As the driver formats: 64 MiB, defaults everywhere else.
  test::FormatArgs args;
  args.name = "E2E";
  args.size = 64 << 20;
  ASSERT_EQ(message_of(args.format(image_path)), "");
  const std::vector<uint8_t> formatted = read_bytes(image_path);
  std::unique_ptr<io_t> device = create_io_from_path(image_path.c_str());
  ASSERT_NE(device, nullptr);
  std::unique_ptr<volume_t> v = ok_value(volume_open(device.get()));
  ASSERT_NE(v, nullptr);
  // The device ends a sector past the last block; its own alternate copy is kept too.
  EXPECT_EQ(v->device_alternate_offset, formatted.size() - 1024);
  volume_close(std::move(v));
  ASSERT_TRUE(io_close(std::move(device)));
  EXPECT_EQ(read_bytes(image_path), formatted);  // opening and closing write nothing

  device = create_io_from_path(image_path.c_str());
  v = ok_value(volume_open(device.get()));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->private_folder_id, 0u);

  std::mt19937 rng(424242);
  std::vector<item> items;
  std::vector<size_t> folders;  // indexes of folder items
  auto pick_parent = [&]() -> std::string {
    if (folders.empty() || rng() % 5 == 0) return "";
    return items[folders[rng() % folders.size()]].path();
  };
  const char* folder_names[] = {"dir%d", "Dossier \xC3\xA9t\xC3\xA9 %d", "\xED\x8F\xB4\xEB\x8D\x94%d",
                                "Contents%d", "a:b %d"};
  const char* file_names[] = {"file%d.txt", "R\xC3\xA9sum\xC3\xA9 %d.pdf", "\xE3\x83\x95\xE3\x82\xA1%d",
                              "emoji \xF0\x9F\x98\x80 %d", "Info%d.plist", "caf\xE9%d"};
  char buf[128];

  for (int i = 0; i < 400; ++i) {
    item it{item::kFolder, pick_parent(), "", 0, {}, {}};
    std::snprintf(buf, sizeof buf, folder_names[i % 5], i);
    it.name = buf;
    it.id = ok_value(volume_create_folder(v.get(), it.path().c_str()));
    ASSERT_NE(it.id, 0u) << it.path();
    folders.push_back(items.size());
    items.push_back(it);
  }
  const size_t sizes[] = {0, 1, 4095, 4096, 4097, 12288, 70000};
  for (int i = 0; i < 2400; ++i) {
    item it{item::kFile, pick_parent(), "", 0, {}, {}};
    std::snprintf(buf, sizeof buf, file_names[i % 6], i);
    it.name = buf;
    size_t size = i % 3 == 0 ? sizes[rng() % 7] : rng() % 9000;
    it.data = random_bytes(static_cast<uint32_t>(i), size);
    it.id = ok_value(volume_create_file(v.get(), it.path().c_str()));
    ASSERT_NE(it.id, 0u) << it.path();
    if (size != 0) {
      std::unique_ptr<catalog_record_t> r = ok_value(volume_get_record_by_id(v.get(), it.id));
      std::unique_ptr<hfsfile_t> f = ok_value(volume_open_hfsfile(v.get(), it.id, &r->file.dataFork, r.get()));
      ASSERT_TRUE(hfsfile_allocate(f.get(), size));  // as the importer does: one pass
      ASSERT_TRUE(hfsfile_write(f.get(), 0, size, it.data.data()));
    }
    items.push_back(it);
  }
  // Fragmented on purpose: forty files grown a block at a time in turn.
  {
    std::vector<std::unique_ptr<catalog_record_t>> records;
    std::vector<std::unique_ptr<hfsfile_t>> forks;
    std::vector<size_t> index;
    for (int i = 0; i < 40; ++i) {
      item it{item::kFile, pick_parent(), "frag" + std::to_string(i), 0, {}, {}};
      it.data = random_bytes(1000000u + i, 14 * 4096 - 100);
      it.id = ok_value(volume_create_file(v.get(), it.path().c_str()));
      ASSERT_NE(it.id, 0u);
      records.push_back(ok_value(volume_get_record_by_id(v.get(), it.id)));
      forks.push_back(
          ok_value(volume_open_hfsfile(v.get(), it.id, &records.back()->file.dataFork, records.back().get())));
      index.push_back(items.size());
      items.push_back(it);
    }
    for (uint64_t offset = 0; offset < 14 * 4096; offset += 4096) {
      for (size_t k = 0; k < forks.size(); ++k) {
        const std::vector<uint8_t>& d = items[index[k]].data;
        uint64_t n = std::min<uint64_t>(4096, d.size() - offset);
        ASSERT_TRUE(hfsfile_write(forks[k].get(), offset, n, d.data() + offset));
      }
    }
    for (const auto& f : forks) EXPECT_GT(f->extents.size(), 8u);
  }
  // Symbolic links to folders and files: to siblings (relative), by absolute
  // path, and dangling.
  const size_t linkable = items.size();
  for (int i = 0; i < 300; ++i) {
    const item to = items[rng() % linkable];
    item it{item::kLink, "", "link" + std::to_string(i), 0, {}, {}};
    if (i % 3 == 0) {
      it.parent = to.parent;
      it.target = to.name;
    } else if (i % 3 == 1) {
      it.parent = pick_parent();
      it.target = to.path();
    } else {
      it.parent = pick_parent();
      it.target = "nowhere/" + std::to_string(i);
    }
    ASSERT_TRUE(ok_value(volume_create_symlink(v.get(), it.path().c_str(), it.target.c_str()))) << it.path();
    items.push_back(it);
  }
  // Names that differ only in case collide and change nothing.
  for (int i = 0; i < 5; ++i) {
    const item& f = items[folders.size() + i * 3];
    std::string upper = f.name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    create_result_t result;
    EXPECT_EQ(ok_value(volume_create_file(v.get(), (f.parent + "/" + upper).c_str(), &result)), 0u);
    EXPECT_EQ(result.status, create_status_t::kNameExists);
    EXPECT_EQ(result.existing_id, f.id);
  }
  volume_close(std::move(v));
  ASSERT_TRUE(io_close(std::move(device)));

  // Everything back from a fresh open of the file.
  device = create_io_from_path(image_path.c_str());
  v = ok_value(volume_open(device.get()));
  ASSERT_NE(v, nullptr);
  std::map<std::string, std::set<std::string>> children;  // parent path -> stored names
  std::map<std::string, uint32_t> subfolders;
  uint32_t files = 0, links = 0;
  for (const item& it : items) {
    SCOPED_TRACE(it.path());
    children[it.parent].insert(volume_name(it.name));
    std::unique_ptr<catalog_record_t> r = ok_value(
        volume_get_record_from_path_with_options(v.get(), it.path().c_str(), true, false, 2, nullptr, nullptr));
    ASSERT_NE(r, nullptr);
    switch (it.kind) {
      case item::kFolder:
        ASSERT_TRUE(r->is_folder());
        EXPECT_EQ(r->id(), it.id);
        ++subfolders[it.parent];
        break;
      case item::kFile:
        ASSERT_TRUE(r->is_file());
        EXPECT_EQ(r->id(), it.id);
        EXPECT_EQ(read_file(v.get(), it.path()), it.data);
        ++files;
        break;
      case item::kLink: {
        ASSERT_TRUE(r->is_symlink());
        std::vector<uint8_t> text = read_file(v.get(), it.path());
        EXPECT_EQ(std::string(text.begin(), text.end()), it.target);
        std::unique_ptr<catalog_record_t> target =
            ok_value(volume_get_record_from_path(v.get(), it.path().c_str(), nullptr, nullptr));
        if (it.target.rfind("nowhere/", 0) == 0) {
          EXPECT_EQ(target, nullptr);
        } else {
          ASSERT_NE(target, nullptr);
          std::string resolved = it.target[0] == '/' ? it.target : it.parent + "/" + it.target;
          std::unique_ptr<catalog_record_t> direct =
              ok_value(volume_get_record_from_path(v.get(), resolved.c_str(), nullptr, nullptr));
          ASSERT_NE(direct, nullptr);
          EXPECT_EQ(target->id(), direct->id());
        }
        ++links;
        break;
      }
    }
  }
  EXPECT_EQ(v->header.fileCount, files + links);
  EXPECT_EQ(v->header.folderCount, folders.size());
  EXPECT_EQ(v->header.nextCatalogID, 16u + items.size());
  EXPECT_EQ(used_blocks(v.get()), v->header.totalBlocks - v->header.freeBlocks);

  // Listings: each folder's stored names, its valence and subfolder count.
  std::vector<std::pair<std::string, CatalogNodeID>> all_folders = {{"", kHFSRootFolderID}};
  for (size_t i : folders) all_folders.emplace_back(items[i].path(), items[i].id);
  for (const auto& [path, id] : all_folders) {
    SCOPED_TRACE(path);
    std::vector<folder_entry_t> listing = ok_value(volume_get_folder_contents(v.get(), id));
    std::set<std::string> names;
    for (const folder_entry_t& e : listing) names.insert(unistr_to_utf8(e.name));
    EXPECT_EQ(listing.size(), names.size());
    EXPECT_EQ(names, children[path]);
    std::unique_ptr<catalog_record_t> r = ok_value(volume_get_record_by_id(v.get(), id));
    EXPECT_EQ(r->folder.valence, listing.size());
    EXPECT_EQ(r->folder.folderCount, subfolders[path]);
  }

  // Both trees are sound.
  expect_sound_trees(v.get());
  EXPECT_GE(v->extents_tree.header.leafRecords, 40u);
  EXPECT_GT(v->catalog_tree.header.treeDepth, 1);
  volume_close(std::move(v));
  ASSERT_TRUE(io_close(std::move(device)));
  const std::vector<uint8_t> filled = read_bytes(image_path);
  const std::vector<uint8_t> primary(filled.begin() + 1024, filled.begin() + 1536);
  EXPECT_EQ(std::vector<uint8_t>(filled.end() - 1024, filled.end() - 512), primary);
  EXPECT_EQ(std::vector<uint8_t>(filled.begin() + (64 << 20) - 1024, filled.begin() + (64 << 20) - 512), primary);

  if (!have_program("7zz")) {
    std::printf("7zz not installed: skipping the extraction check\n");
    return;
  }
  const std::string out = dir.str() + "/x";
  program_result x = run_program("7zz x -y -o" + shell_quote(out) + " " + shell_quote(image_path));
  ASSERT_EQ(x.status, 0) << x.out << x.err;
  // 7-Zip puts the volume's items under a folder named after the volume.
  std::filesystem::path root = out;
  if (std::filesystem::exists(root / "E2E")) root /= "E2E";
  size_t compared = 0;
  for (const item& it : items) {
    if (it.kind != item::kFile) continue;
    if (it.path().find(':') != std::string::npos) continue;  // how an extractor spells '/' is its own choice
    std::filesystem::path p = root;
    std::istringstream parts(it.path().substr(1));
    for (std::string part; std::getline(parts, part, '/');) p /= volume_name(part);
    ASSERT_TRUE(std::filesystem::exists(p)) << p;
    EXPECT_EQ(read_bytes(p), it.data) << p;
    ++compared;
  }
  EXPECT_GT(compared, 1000u);
}

}  // namespace
}  // namespace test
}  // namespace volpack
