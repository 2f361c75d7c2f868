// The numbers printed in the image writer's messages, after the function's
// name: "insertBLKX():215: stream_write error (short write)\n".
//
// These are fixed numbers that users and scripts see; they are NOT source
// lines of the files that print them and must never change when code moves.
// Each names one failing step. New messages take a new, unused number.
#pragma once

namespace volpack {
namespace msgno {

enum : int {
  // The conversion (convert.cpp), "convert_to_DMG_or_die".
  kConvertScratch = 23,           // malloc of the scratch buffer
  kConvertSeek = 27,              // seeking the volume to its start
  kConvertReadSector0 = 28,       // reading its first sector
  kConvertPartitioned = 30,       // a partitioned disk is refused
  kConvertRewind = 32,            // seeking back to the start
  kConvertWriteTrailer = 94,      // writing the trailer
  kConvertClose = 101,            // closing the image

  // Chunks (chunks.cpp), "insertBLKX".
  kBlkxDeflateInit = 32,          // the compressor could not be made
  kBlkxDeflate = 37,              // the compressor failed
  kBlkxTableGrow = 55,            // realloc of the block table
  kBlkxSlots = 170,               // malloc of the chunk slots
  kBlkxSlotIn = 172,              // malloc of a slot's input buffer
  kBlkxSlotOut = 173,             // malloc of a slot's output buffer
  kBlkxTable = 187,               // malloc of the block table
  kBlkxRead = 199,                // reading a chunk of the volume
  kBlkxWrite = 215,               // writing a chunk of the image

  // The resource list and property list (plist.cpp).
  kInsertData = 56,               // insertData: malloc of a resource
  kInsertDataCopy = 62,           // insertData: malloc of the data's copy
  kBase64 = 79,                   // base64_encode_pretty_or_die: malloc of the text
  kPlistDiskCopy = 135,           // convert_to_DMG_or_die: malloc of a record in disk order
  kPlistWriteData = 145,          // convert_to_DMG_or_die: writing a resource's text

  // The master checksum (udif_format.cpp), "calculate_udif_master_checksum".
  kMasterNoBlkx = 209,            // no "blkx" resource
  kMasterWords = 217,             // malloc of the checksum words
};

}  // namespace msgno
}  // namespace volpack
