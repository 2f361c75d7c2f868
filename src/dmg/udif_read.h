// Reading UDIF images: volpack's own and those Apple's tools make.
//
// `udif_open` reads the trailer, the XML property list and every block table
// of an image held by an io_t (a host file, or memory), checking each field
// before it is used: offsets and lengths against the file, chunk entries
// against their table, sector ranges against each other. What makes the
// image unusable as a whole (no trailer, no property list, a chunk kind this
// build cannot decode, an encrypted or segmented image) fails the open with
// a status; what is wrong but leaves the rest readable becomes a finding.
//
// `udif_image_t::verify_data` then decodes every chunk and checks the three
// checksums: each table's CRC-32 of its uncompressed data (ignore chunks take
// no part, zero-fill chunks count as zeros), the trailer's CRC-32 of the data
// fork as stored, and the master checksum over the tables' checksums.
//
// `open_partition` gives the uncompressed sectors of one block table as a
// read-only io_t, decoding chunks on demand (a few decoded chunks are kept).
// A read of a damaged chunk fails; nothing here prints or ends the process.
//
// Chunk kinds: zlib, raw, zero-fill, ignore, comment, terminator, and bzip2
// when the build found libbz2 (VOLPACK_HAVE_BZIP2). ADC, LZFSE and LZMA are
// refused as unsupported.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dmg/udif_format.h"
#include "io/findings.h"
#include "io/io.h"
#include "io/status.h"

namespace volpack {

constexpr uint32_t UDIF_CHUNK_ZERO_FILL = 0x00000000;
constexpr uint32_t UDIF_CHUNK_IGNORE = 0x00000002;
constexpr uint32_t UDIF_CHUNK_COMMENT = 0x7FFFFFFE;
constexpr uint32_t UDIF_CHUNK_ADC = 0x80000004;
constexpr uint32_t UDIF_CHUNK_BZIP2 = 0x80000006;
constexpr uint32_t UDIF_CHUNK_LZFSE = 0x80000007;
constexpr uint32_t UDIF_CHUNK_LZMA = 0x80000008;

// The largest chunk decoded into memory: 16 MiB (Apple's tools and volpack
// write at most 1 MiB).
constexpr uint64_t kUdifMaxChunkSectors = 32768;
// The largest image accepted: 2^40 sectors (512 TiB).
constexpr uint64_t kUdifMaxSectors = uint64_t{1} << 40;

// One "blkx" resource: a block table and the name of the partition it holds.
struct udif_partition_t {
  int32_t id = 0;
  std::string name;
  udif_blkx_table_t table;
  bool usable = false;  // its chunk entries are consistent enough to read through
  bool whole = false;   // its chunks cover its sectors without a hole
  std::vector<udif_blkx_chunk_t> spans;  // its data chunks, in sector order
};

class udif_image_t {
 public:
  udif_image_t(std::unique_ptr<io_t> file, uint64_t file_size) : file_(std::move(file)), file_size_(file_size) {}
  const udif_trailer_t& trailer() const { return trailer_; }
  const std::vector<udif_partition_t>& partitions() const { return partitions_; }
  // Decodes every chunk and checks the checksums; adds what is wrong.
  void verify_data(findings_t* findings);
  // The uncompressed sectors of partition `index`; its size is sector_count x 512.
  std::unique_ptr<io_t> open_partition(size_t index);
  // The partition to check as the volume: the one block table named
  // "Apple_HFS"/"Apple_HFSX", or the only table. -1 when there is no such.
  int hfs_partition() const;

  // Internals shared with the reading code.
  struct impl;
  io_t* file() { return file_.get(); }
  uint64_t file_size() const { return file_size_; }
  udif_trailer_t trailer_;
  std::vector<udif_partition_t> partitions_;
  std::vector<uint8_t> csum_;  // the "cSum" resource, when present

 private:
  std::unique_ptr<io_t> file_;
  uint64_t file_size_;
};

// Reads the image's structure; see the top of this file.
result<std::unique_ptr<udif_image_t>> udif_open(std::unique_ptr<io_t> file, uint64_t file_size,
                                                findings_t* findings);

// A read-only io_t over a host file, with its size. Fails with the host's reason.
result<std::unique_ptr<io_t>> open_read_only_file(const char* path, uint64_t* size);

// Decodes one chunk's stored bytes into `out` (sectors x 512 bytes). A
// failure says why ("does not inflate", "inflates to 1000 bytes").
status udif_decode_chunk(uint32_t type, const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size);

// Base64 text (white space ignored) to bytes; false on any other character
// or a bad ending.
bool base64_decode(const char* text, size_t length, std::vector<uint8_t>* out);

// The part of an XML property list the reader needs: dictionaries, arrays,
// strings, data, integers and booleans.
struct plist_value {
  enum class kind { dict, array, string, data, integer, boolean };
  kind type = kind::string;
  std::string text;                           // string, integer, boolean: the element's text
  std::vector<uint8_t> bytes;                 // data
  bool bad_data = false;                      // data: the text is not Base64
  std::vector<std::string> keys;              // dict, in order
  std::vector<plist_value> items;             // dict values (parallel to keys), array items
  const plist_value* find(const std::string& key) const;
};
// Parses the document's top value. Nesting deeper than 32 levels is refused.
result<plist_value> plist_parse(const char* text, size_t length);

}  // namespace volpack
