#include <cstdio>
#include <cstring>

#include "dmg/dmg.h"
#include "dmg/message_numbers.h"
#include "io/buffer.h"

namespace volpack {

namespace {

constexpr size_t kScratchSize = 2048;
constexpr uint32_t kWholeDiskDescriptors = 0xFFFFFFFE;  // -2: the table covers the whole disk
constexpr uint16_t kDriverDescriptorSignature = 0x4552;  // "ER": sector 0 of an Apple-partitioned disk
constexpr size_t kPlstSize = 1032;

}  // namespace

status convert_to_DMG(std::unique_ptr<stream_t> in, std::unique_ptr<stream_t> out, const run_context& ctx,
                      chunk_precoder* precoded) {
  if (!in || !out) return status::ok();
  // Messages name the routine users have always seen in them.
  const char* const func = "convert_to_DMG_or_die";
  std::vector<uint8_t> scratch;
  VOLPACK_RETURN_IF_ERROR(buffer_alloc(&scratch, kScratchSize, func, msgno::kConvertScratch));
  uint32_t out_crc = 0;
  udif_resource_list_t list;

  if (!stream_seek(in.get(), 0)) return status_errorf("%s():%d: stream_seek error\n", func, msgno::kConvertSeek);
  VOLPACK_RETURN_IF_ERROR(stream_read_exact(in.get(), scratch.data(), kSectorSize, func, msgno::kConvertReadSector0));
  if (get_be16(scratch.data()) == kDriverDescriptorSignature)
    return status_errorf("%s():%d: creating DMG files with multiple partitions is not supported\n", func,
                         msgno::kConvertPartitioned);
  // Reading on from sector 1 would shift every chunk: a failed rewind fails too.
  if (!stream_seek(in.get(), 0)) return status_errorf("%s():%d: stream_seek error\n", func, msgno::kConvertRewind);
  SectorCount sectors = stream_length(in.get()) / kSectorSize;  // a partial last sector is dropped

  uint32_t in_crc = 0;
  uint32_t in_sum = 0;
  result<udif_blkx_table_t> table = insertBLKX(out.get(), in.get(), 0, sectors, kWholeDiskDescriptors, &in_crc, &in_sum,
                                               &out_crc, ctx.options.compression_threads, ctx.progress, precoded);
  if (!table) return table.error();
  table.value().checksum.data[0] = in_crc;
  VOLPACK_RETURN_IF_ERROR(insertData(list, "blkx", 0, "whole disk (unknown partition : 0)",
                                     udif_resource_data_t(table.take()), true));

  udif_csum_t csum;
  csum.checksum = in_sum;
  VOLPACK_RETURN_IF_ERROR(insertData(list, "cSum", 0, "", udif_resource_data_t(csum), false));

  int n = std::snprintf(reinterpret_cast<char*>(scratch.data()), kScratchSize,
                        "%s\t<key>block-checksum-2</key>\n\t<integer>%d</integer>\n"
                        "\t<key>part-num</key>\n\t<integer>0</integer>\n"
                        "\t<key>version</key>\n\t<integer>6</integer>\n</dict>\n</plist>\n",
                        kPlistPrologue, static_cast<int32_t>(in_sum));
  VOLPACK_RETURN_IF_ERROR(insertData(list, "nsiz", 0, "", scratch.data(), static_cast<uint64_t>(n), false));

  std::memset(scratch.data(), 0, kScratchSize);
  scratch[517] = 1;
  scratch[519] = 1;
  VOLPACK_RETURN_IF_ERROR(insertData(list, "plst", 0, "", scratch.data(), kPlstSize, true));

  ByteOffset xml_offset = stream_tell(out.get());
  VOLPACK_RETURN_IF_ERROR(write_resource_plist(out.get(), list));
  ByteOffset xml_end = stream_tell(out.get());

  udif_trailer_t trailer;
  trailer.signature = UDIF_TRAILER_SIGNATURE;
  trailer.version = 4;
  trailer.header_size = kUdifTrailerSize;
  trailer.flags = 1;
  trailer.running_data_fork_offset = 0;
  trailer.data_fork_offset = 0;
  trailer.data_fork_length = xml_offset;
  trailer.rsrc_fork_offset = 0;
  trailer.rsrc_fork_length = 0;
  trailer.segment_number = 1;
  trailer.segment_count = 1;
  for (uint32_t& word : trailer.segment_id) word = ctx.ids->next_u32();
  trailer.data_fork_checksum.type = UDIF_CHECKSUM_CRC32;
  trailer.data_fork_checksum.size = 32;
  trailer.data_fork_checksum.data[0] = out_crc;
  trailer.xml_offset = xml_offset;
  trailer.xml_length = xml_end - xml_offset;
  trailer.master_checksum.type = UDIF_CHECKSUM_CRC32;
  trailer.master_checksum.size = 32;
  result<uint32_t> master = calculate_udif_master_checksum(list);
  if (!master) return master.error();
  trailer.master_checksum.data[0] = master.value();
  trailer.image_variant = 2;
  // The image's size in sectors: readers check it against the block tables.
  trailer.sector_count = sectors;

  uint8_t disk[kUdifTrailerSize];
  udif_trailer_encode(trailer, disk);
  VOLPACK_RETURN_IF_ERROR(stream_write_exact(out.get(), disk, kUdifTrailerSize, func, msgno::kConvertWriteTrailer));
  list.clear();

  // The input was only read: every read error has already shown as a short read.
  (void)stream_close(std::move(in));
  // Buffered bytes reach the file only now; losing them must not pass for success.
  if (!stream_close(std::move(out)))
    return status_errorf("%s():%d: stream_close error on the image (data not completely written)\n", func,
                         msgno::kConvertClose);
  return status::ok();
}

}  // namespace volpack
