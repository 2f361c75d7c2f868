// volpack verify, list and extract: damaged copies of a real image are each
// caught, Apple's sample images read clean, and the commands behave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

#include "dmg/dmg.h"
#include "dmg/udif_read.h"
#include "hfs/check.h"
#include "support/support.h"

namespace volpack {
namespace {

namespace fs = std::filesystem;
using test::run_volpack;
using test::shell_quote;
using test::TempDir;

// Everything found in an image held in memory, as `verify` finds it.
struct check_outcome {
  bool readable = false;
  findings_t findings;
  std::string all() const {
    std::string s;
    for (const finding& f : findings.list()) s += f.text + "\n";
    return s;
  }
};

check_outcome check_image(std::vector<uint8_t> bytes) {
  check_outcome out;
  uint64_t size = bytes.size();
  auto image = udif_open(std::make_unique<test::MemIo>(&bytes, false), size, &out.findings);
  if (!image) return out;
  image.value()->verify_data(&out.findings);
  int index = image.value()->hfs_partition();
  auto volume = image.value()->open_partition(static_cast<size_t>(index));
  if (!volume) return out;
  auto model = hfs_check(volume.get(), image.value()->partitions()[0].table.sector_count * 512, &out.findings);
  out.readable = model.is_ok() || out.findings.errors() > 0;
  return out;
}

check_outcome check_volume(std::vector<uint8_t> raw) {
  check_outcome out;
  test::MemIo io(&raw, false);
  out.readable = hfs_check(&io, raw.size(), &out.findings).is_ok();
  return out;
}

std::vector<uint8_t> wrap(std::vector<uint8_t> raw) {
  test::CountingIds ids;
  run_context ctx;
  ctx.ids = &ids;
  std::vector<uint8_t> dmg;
  EXPECT_TRUE(convert_to_DMG(std::make_unique<test::MemStream>(&raw), std::make_unique<test::MemStream>(&dmg), ctx));
  return dmg;
}

// A packaged tree deep enough for an index level in the catalog.
class Inspect : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    src_ = new TempDir;
    for (int i = 0; i < 400; ++i) {
      char rel[96];
      std::snprintf(rel, sizeof rel, "dir%02d/a file with a rather long name number %04d.txt", i % 7, i);
      src_->write(rel, std::string(static_cast<size_t>(i * 37 % 9000), 'x') + "\n");
    }
    src_->write("link", "dir00");  // a one-line link file
    src_->write("zz", "renamed by a test\n");
    image_path_ = new fs::path(src_->path().parent_path() / (src_->path().filename().string() + ".dmg"));
    auto r = test::package(image_path_->string(), src_->str());
    ASSERT_EQ(0, r.status) << r.err;
    dmg_ = new std::vector<uint8_t>(test::read_bytes(*image_path_));
    findings_t f;
    std::vector<uint8_t> copy = *dmg_;
    auto image = udif_open(std::make_unique<test::MemIo>(&copy, false), copy.size(), &f);
    ASSERT_TRUE(image.is_ok());
    uint64_t size = image.value()->partitions()[0].table.sector_count * 512;
    raw_ = new std::vector<uint8_t>(size);
    ASSERT_TRUE(image.value()->open_partition(0)->read(0, size, raw_->data()));
  }
  static void TearDownTestSuite() {
    fs::remove(*image_path_);
    delete src_;
    delete image_path_;
    delete dmg_;
    delete raw_;
  }

  static TempDir* src_;
  static fs::path* image_path_;
  static std::vector<uint8_t>* dmg_;
  static std::vector<uint8_t>* raw_;
};
TempDir* Inspect::src_;
fs::path* Inspect::image_path_;
std::vector<uint8_t>* Inspect::dmg_;
std::vector<uint8_t>* Inspect::raw_;

// ---- Finding one's way in a raw volume, to damage it.

struct catalog_map {
  std::vector<uint8_t>* raw;
  HFSPlusVolumeHeader vh;
  BTHeaderRec bh;
  explicit catalog_map(std::vector<uint8_t>* r) : raw(r) {
    decode(raw->data() + 1024, &vh);
    decode(at(14), &bh);
  }
  // Byte `offset` of the catalog file, in the volume.
  uint8_t* at(uint64_t offset) {
    for (const auto& e : vh.catalogFile.extents) {
      uint64_t len = uint64_t{e.blockCount} * vh.blockSize;
      if (offset < len) return raw->data() + uint64_t{e.startBlock} * vh.blockSize + offset;
      offset -= len;
    }
    return nullptr;
  }
  uint8_t* node(uint32_t n) { return at(uint64_t{n} * bh.nodeSize); }
  uint8_t* record(uint32_t n, int i) { return node(n) + get_be16(node(n) + bh.nodeSize - 2 * (i + 1)); }
  int records(uint32_t n) { return get_be16(node(n) + 10); }
  // The leaf record whose key matches, as (node, index).
  std::pair<uint32_t, int> find(const std::function<bool(const HFSPlusCatalogKey&, const uint8_t* data)>& match) {
    for (uint32_t n = bh.firstLeafNode; n != 0; n = get_be32(node(n))) {
      for (int i = 0; i < records(n); ++i) {
        HFSPlusCatalogKey k;
        decode(record(n, i), &k);
        if (match(k, record(n, i) + 2 + k.keyLength)) return {n, i};
      }
    }
    return {0, -1};
  }
  // Removes record i of node n, as if it had never been inserted.
  void remove(uint32_t n, int i) {
    uint8_t* nd = node(n);
    int count = records(n);
    uint16_t start = get_be16(nd + bh.nodeSize - 2 * (i + 1)), end = get_be16(nd + bh.nodeSize - 2 * (i + 2));
    uint16_t free_at = get_be16(nd + bh.nodeSize - 2 * (count + 1));
    std::memmove(nd + start, nd + end, free_at - end);
    for (int k = i; k < count; ++k)
      put_be16(nd + bh.nodeSize - 2 * (k + 1), static_cast<uint16_t>(get_be16(nd + bh.nodeSize - 2 * (k + 2)) - (end - start)));
    put_be16(nd + 10, static_cast<uint16_t>(count - 1));
    put_be32(at(14 + 6), bh.leafRecords - 1);
  }
};

TEST_F(Inspect, TheImageAndItsVolumeAreSound) {
  check_outcome whole = check_image(*dmg_);
  EXPECT_TRUE(whole.readable);
  EXPECT_EQ(0u, whole.findings.list().size()) << whole.all();
  catalog_map cat(raw_);
  EXPECT_GE(cat.bh.treeDepth, 2) << "the damage cases need an index level";
}

TEST_F(Inspect, EachDamagedCopyIsCaught) {
  struct Case {
    const char* what;
    bool image_level;  // damage the image file, else the raw volume
    std::function<void(std::vector<uint8_t>&)> damage;
    const char* expect;
  };
  auto trailer_word = [](std::vector<uint8_t>& d, size_t field) {
    uint8_t* t = d.data() + d.size() - 512;
    put_be32(t + field, get_be32(t + field) ^ 1);
  };
  auto file_named = [](const std::string& name) {
    return [name](const HFSPlusCatalogKey& k, const uint8_t* data) {
      return get_be16(data) == kHFSPlusFileRecord && hfs_volume_model::display_name(k.nodeName) == name;
    };
  };
  const Case cases[] = {
      {"flipped chunk byte", true, [](std::vector<uint8_t>& d) { d[100] ^= 0x40; }, "chunk 0"},
      {"data fork checksum", true, [&](std::vector<uint8_t>& d) { trailer_word(d, 80 + 8); }, "data fork checksum"},
      {"master checksum", true, [&](std::vector<uint8_t>& d) { trailer_word(d, 352 + 8); }, "master checksum"},
      {"block table hole", true,
       [](std::vector<uint8_t>& d) {
         // Drop the second chunk entry of the table inside the property list.
         std::string text(d.begin(), d.end());
         size_t start = text.find("<data>", text.find("<key>blkx</key>")) + 6;
         size_t end = text.find("</data>", start);
         std::vector<uint8_t> table;
         ASSERT_TRUE(base64_decode(text.data() + start, end - start, &table));
         put_be32(table.data() + 200, get_be32(table.data() + 200) - 1);
         table.erase(table.begin() + 204 + 40, table.begin() + 204 + 80);
         std::string coded = "\n" + base64_encode_pretty(table.data(), table.size(), 4, 43).value() + "\t\t\t\t";
         uint8_t* t = d.data() + d.size() - 512;
         uint64_t xml_length = get_be64(t + 224) + coded.size() - (end - start);
         put_be64(t + 224, xml_length);
         d.erase(d.begin() + static_cast<std::ptrdiff_t>(start), d.begin() + static_cast<std::ptrdiff_t>(end));
         d.insert(d.begin() + static_cast<std::ptrdiff_t>(start), coded.begin(), coded.end());
       },
       "in no chunk"},
      {"freeBlocks off by one", false, [](std::vector<uint8_t>& r) { put_be32(&r[1024 + 48], get_be32(&r[1024 + 48]) + 1); },
       "freeBlocks"},
      {"used block unmarked", false,
       [](std::vector<uint8_t>& r) {
         catalog_map cat(&r);
         uint32_t block = cat.vh.catalogFile.extents[0].startBlock;
         r[uint64_t{cat.vh.allocationFile.extents[0].startBlock} * cat.vh.blockSize + block / 8] &=
             static_cast<uint8_t>(~(0x80 >> (block % 8)));
       },
       "is in use but not marked"},
      {"leaf key out of order", false,
       [&](std::vector<uint8_t>& r) {
         catalog_map cat(&r);
         auto [n, i] = cat.find(file_named("a file with a rather long name number 0000.txt"));
         ASSERT_NE(0u, n);
         uint8_t* key = cat.record(n, i);
         put_be16(key + 8, 'z');  // "z file ...": after its neighbours
       },
       "key out of order"},
      {"index key differs from its child's first key", false,
       [](std::vector<uint8_t>& r) {
         catalog_map cat(&r);
         // An index key moved below its child's first key, still in order.
         for (int i = 1; i < cat.records(cat.bh.rootNode); ++i) {
           uint8_t* key = cat.record(cat.bh.rootNode, i);
           uint32_t parent = get_be32(key + 2);
           if (get_be32(cat.record(cat.bh.rootNode, i - 1) + 2) + 1 >= parent) continue;
           put_be32(key + 2, parent - 1);
           return;
         }
         FAIL() << "no index key to move";
       },
       "differs from the node's first key"},
      {"missing thread", false,
       [&](std::vector<uint8_t>& r) {
         catalog_map cat(&r);
         // A file's thread that is not the first record of its node.
         for (int k = 100; k < 400; ++k) {
           char name[64];
           std::snprintf(name, sizeof name, "a file with a rather long name number %04d.txt", k);
           auto [fn, fi] = cat.find(file_named(name));
           ASSERT_NE(0u, fn);
           uint32_t id = get_be32(cat.record(fn, fi) + 2 + get_be16(cat.record(fn, fi)) + 8);
           auto [n, i] = cat.find([id](const HFSPlusCatalogKey& key, const uint8_t*) {
             return key.parentID == id && key.nodeName.length == 0;
           });
           if (i > 0) return cat.remove(n, i);
         }
         FAIL() << "every thread opens its node";
       },
       "has no thread record"},
      {"wrong valence", false,
       [](std::vector<uint8_t>& r) {
         catalog_map cat(&r);
         auto [n, i] = cat.find([](const HFSPlusCatalogKey& k, const uint8_t* data) {
           return get_be16(data) == kHFSPlusFolderRecord && hfs_volume_model::display_name(k.nodeName) == "dir03";
         });
         ASSERT_NE(0u, n);
         uint8_t* rec = cat.record(n, i);
         uint8_t* valence = rec + 2 + get_be16(rec) + 4;
         put_be32(valence, get_be32(valence) + 1);
       },
       "valence"},
      {"truncated file", false,
       [&](std::vector<uint8_t>& r) {
         catalog_map cat(&r);
         auto [n, i] = cat.find(file_named("a file with a rather long name number 0300.txt"));
         ASSERT_NE(0u, n);
         uint8_t* rec = cat.record(n, i);
         uint8_t* fork = rec + 2 + get_be16(rec) + 88;
         put_be64(fork, uint64_t{get_be32(fork + 12)} * cat.vh.blockSize + 1);  // logicalSize past its blocks
       },
       "do not fit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = c.image_level ? *dmg_ : *raw_;
    c.damage(bytes);
    check_outcome out = c.image_level ? check_image(bytes) : check_volume(bytes);
    EXPECT_GE(out.findings.errors(), 1u);
    EXPECT_NE(std::string::npos, out.all().find(c.expect)) << out.all();
  }
}

TEST_F(Inspect, CommandsReportThroughTheirExitStatus) {
  TempDir work;
  std::string image = shell_quote(image_path_->string());  // verify --against the source passed in SetUp

  // A host tree that differs: a changed file, a new one, a missing one.
  TempDir other;
  for (const auto& e : fs::recursive_directory_iterator(src_->path())) {
    fs::path to = other.path() / e.path().lexically_relative(src_->path());
    if (e.is_directory()) fs::create_directories(to);
    else fs::copy_file(e.path(), to);
  }
  test::write_file(other.path() / "dir01/a file with a rather long name number 0001.txt", "changed\n");
  test::write_file(other.path() / "dir02/new.txt", "new\n");
  fs::remove(other.path() / "dir03/a file with a rather long name number 0003.txt");
  auto r = run_volpack("verify " + image + " --against " + shell_quote(other.str()));
  EXPECT_EQ(1, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("ERROR: --against: \"/dir01/a file with a rather long name number 0001.txt\": its bytes differ")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\"/dir02/new.txt\": missing from the volume")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("0003.txt\": on the volume but not in the folder")) << r.out;

  // A damaged image: exit 1 with the finding; a file that is no image: exit 2.
  std::vector<uint8_t> bad = *dmg_;
  bad[200] ^= 0x10;
  test::write_file(work.path() / "bad.dmg", std::string(bad.begin(), bad.end()));
  r = run_volpack("verify " + shell_quote((work.path() / "bad.dmg").string()));
  EXPECT_EQ(1, r.status) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("ERROR: ")) << r.out;
  test::write_file(work.path() / "cut.dmg", std::string(bad.begin(), bad.begin() + 1000) + "\n");
  r = run_volpack("verify " + shell_quote((work.path() / "cut.dmg").string()));
  EXPECT_EQ(2, r.status) << r.out << r.err;

  // list and extract give back the tree.
  r = run_volpack("list " + image);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("l 0644            5 /link -> dir00\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("f 0644           38 /dir01/a file with a rather long name number 0001.txt\n")) << r.out;
  fs::path out = work.path() / "x";
  r = run_volpack("extract " + image + " " + shell_quote(out.string()));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(test::read_file(src_->path() / "dir05/a file with a rather long name number 0005.txt"),
            test::read_file(out / "dir05/a file with a rather long name number 0005.txt"));
  r = run_volpack("extract " + image + " " + shell_quote(out.string()));
  EXPECT_EQ(1, r.status) << "an extraction never writes into a folder that holds something";
}

TEST_F(Inspect, ExtractRefusesNamesThatWouldLeaveTheFolder) {
  std::vector<uint8_t> raw = *raw_;
  catalog_map cat(&raw);
  // "zz" becomes "..".
  auto [n, i] = cat.find([](const HFSPlusCatalogKey& k, const uint8_t*) {
    return hfs_volume_model::display_name(k.nodeName) == "zz";
  });
  ASSERT_NE(0u, n);
  put_be16(cat.record(n, i) + 8, '.');
  put_be16(cat.record(n, i) + 10, '.');
  std::vector<uint8_t> dmg = wrap(raw);
  TempDir work;
  test::write_file(work.path() / "evil.dmg", std::string(dmg.begin(), dmg.end()));
  auto r = run_volpack("extract " + shell_quote((work.path() / "evil.dmg").string()) + " " +
                       shell_quote((work.path() / "x").string()));
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("refusing to write \"/..\"")) << r.err;
  EXPECT_FALSE(fs::exists(work.path() / "dir00"));
}

TEST(InspectApple, SampleImagesReadCleanOrAreRefusedAsUnsupported) {
  fs::path dir = fs::path(VOLPACK_SHARED_DATA) / "apple-dmg";
  if (!fs::exists(dir)) GTEST_SKIP() << "Apple's sample images are not at " << dir;
  struct Case {
    const char* file;
    int status;
    const char* says;
  } cases[] = {
      {"raw.dmg", 0, ": sound:"},
      {"zlib-compressed.dmg", 0, ": sound:"},
      {"gpt.dmg", 0, ": sound:"},
      {"encrypted.dmg", 0, ": sound:"},
      {"compression-adc.dmg", 2, "ADC (0x80000004): not supported"},
      {"compression-lzfse.dmg", 2, "LZFSE (0x80000007): not supported"},
      {"compression-zlib.dmg", 2, "no HFS+ partition"},
      {"compression-raw.dmg", 2, "no HFS+ partition"},
  };
  TempDir work;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string image = shell_quote((dir / c.file).string());
    auto r = run_volpack("verify " + image);
    EXPECT_EQ(c.status, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, (r.out + r.err).find(c.says)) << r.out << r.err;
    if (c.status != 0) continue;
    r = run_volpack("list " + image);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("f 0000       524288 /.journal\n")) << r.out;
    fs::path out = work.path() / c.file;
    r = run_volpack("extract " + image + " " + shell_quote(out.string()));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(36u, fs::file_size(out / ".fseventsd/fseventsd-uuid"));
  }
}

}  // namespace
}  // namespace volpack
