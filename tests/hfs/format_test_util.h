// Helpers for the formatter's tests: its options with the driver's values as
// defaults, partial reads of a formatted device file, and the
// volume's structures decoded from it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "hfs/format.h"
#include "hfs/hfs_format.h"
#include "io/host_fs.h"
#include "support/support.h"

namespace volpack {
namespace test {

// The options of volume_format with the driver's values as defaults, and the
// run context it gets: the host's clock (or a fixed time), identifiers
// seeded from it as the program does, warnings kept in `warnings`.
struct FormatArgs : format_options {
  FormatArgs() {
    volume_name = "Vol";
    owner = 0;
    group = 0;
  }
  int64_t time = -1;  // the clock's time; -1: the host's
  mutable CaptureReporter warnings;

  struct Clock final : time_source_t {
    int64_t fixed = -1;
    int64_t now() override { return fixed >= 0 ? fixed : host_time(); }
  };
  template <class F>
  status with_context(F f) const {
    Clock clock;
    clock.fixed = time;
    c_rand_ids ids(static_cast<uint32_t>(clock.now()));
    run_context context;
    context.reporter = &warnings;
    context.clock = &clock;
    context.ids = &ids;
    return f(context);
  }
  status format(const std::string& path) const {
    return with_context([&](const run_context& c) { return volume_format_file(path.c_str(), *this, c); });
  }
  // Formats `bytes` bytes of an in-memory device.
  status format_memory(std::vector<uint8_t>* device, uint64_t bytes) const {
    MemIo io(device);
    return with_context([&](const run_context& c) { return volume_format(&io, bytes, "mem", *this, c); });
  }
};

inline std::string device_path(const TempDir& dir) { return (dir.path() / "v.hfs").string(); }

// Formats device_path(dir) with `args`, swallowing the warnings small blocks
// print; returns the path.
inline std::string format_quietly(const FormatArgs& args, const TempDir& dir) {
  const std::string path = device_path(dir);
  EXPECT_EQ(message_of(args.format(path)), "") << path;
  return path;
}

// A formatter device over an io_t, 5 sectors into it.
inline format_device test_device(io_t* io) {
  format_device d;
  d.io = io;
  d.sectorOffset = 5;
  d.path = "dev";
  return d;
}

// A file of `bytes` bytes that holds no data blocks; false when the host file
// system cannot hold a file that large.
inline bool make_sparse_file(const std::string& path, uint64_t bytes) {
  { std::ofstream create(path, std::ios::binary); }
  std::error_code ec;
  std::filesystem::resize_file(path, bytes, ec);
  return !ec;
}

inline std::vector<uint8_t> read_range(const std::string& path, uint64_t offset, size_t count) {
  std::ifstream f(path, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> out(count);
  f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count));
  EXPECT_EQ(static_cast<size_t>(f.gcount()), count) << "short read at " << offset << " of " << path;
  return out;
}

// UINT64_MAX when there is no such file. Never throws: on Windows a death
// test's child runs the checks after the death tests it skips, where the file
// the skipped statement would have made is missing.
inline uint64_t file_size(const std::string& path) {
  std::error_code ec;
  uint64_t size = std::filesystem::file_size(path, ec);
  return ec ? UINT64_MAX : size;
}

// A formatted device file, read back piece by piece.
struct Volume {
  std::string path;
  HFSPlusVolumeHeader vh;

  explicit Volume(const std::string& p) : path(p) {
    std::vector<uint8_t> sector = read_range(path, kVolumeHeaderOffset, kHFSPlusVolumeHeaderSize);
    decode(sector.data(), &vh);
  }
  uint64_t total_sectors() const { return file_size(path) / 512; }
  std::vector<uint8_t> sector(uint64_t n) const { return read_range(path, n * 512, 512); }
  std::vector<uint8_t> blocks(BlockNumber start, uint32_t count) const {
    return read_range(path, static_cast<uint64_t>(start) * vh.blockSize, static_cast<size_t>(count) * vh.blockSize);
  }
  // Node n of a special file whose one extent starts at fork.extents[0].
  std::vector<uint8_t> node(const HFSPlusForkData& fork, uint32_t nodeSize, NodeNumber n) const {
    return read_range(path, static_cast<uint64_t>(fork.extents[0].startBlock) * vh.blockSize +
                                static_cast<uint64_t>(n) * nodeSize,
                      nodeSize);
  }
  BTHeaderRec tree_header(const HFSPlusForkData& fork) const {
    std::vector<uint8_t> head = read_range(path, static_cast<uint64_t>(fork.extents[0].startBlock) * vh.blockSize,
                                           kBTNodeDescriptorSize + kBTHeaderRecSize);
    BTHeaderRec h;
    decode(head.data() + kBTNodeDescriptorSize, &h);
    return h;
  }
  // The catalog's root leaf (node 1) of a new volume.
  std::vector<uint8_t> root_leaf() const {
    return node(vh.catalogFile, tree_header(vh.catalogFile).nodeSize, 1);
  }
  std::vector<uint8_t> allocation_file() const {
    return blocks(vh.allocationFile.extents[0].startBlock, vh.allocationFile.totalBlocks);
  }
};

// Offset slot i of a node.
inline uint16_t offset_slot(const std::vector<uint8_t>& node, uint32_t i) {
  return get_be16(node.data() + node.size() - 2 * (i + 1));
}

// Where record i's data starts in a catalog node: past its key.
inline size_t catalog_data_at(const std::vector<uint8_t>& node, uint32_t i) {
  HFSPlusCatalogKey key;
  decode(node.data() + offset_slot(node, i), &key);
  return offset_slot(node, i) + encoded_size(key);
}

}  // namespace test
}  // namespace volpack
