// The on-disk records of HFS Plus (Apple TN1150), as volpack writes and reads them.
//
// Each record is a plain struct in host byte order with the TN1150 field
// names, and has exactly one encoder and one decoder here: `encode(record, p)`
// writes the record's big-endian bytes at p, `decode(p, &record)` reads them.
// This file and io/bytes.h are the only code that knows offsets and byte
// order; the formatter, the B-tree engine, the catalog and the fork code go
// through these codecs. Reserved fields are kept as raw bytes, so that a record
// decoded and encoded again reproduces its bytes exactly. The volume header's
// finderInfo is a byte array (words 6 and 7 are the volume identifier, stored
// as generated). Four-character codes are held as the big-endian number of
// their characters (`fourcc("hfs+")`), so they read in order on disk.
//
// Catalog names are stored with "/" where volpack's in-memory names carry ":";
// that swap belongs to the catalog, not to these codecs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "io/bytes.h"

namespace volpack {

using CatalogNodeID = uint32_t;  // CNID: a file's or folder's catalog ID
using BlockNumber = uint32_t;    // an allocation block of the volume
using NodeNumber = uint32_t;     // a node of a B-tree file

// Signatures and versions.
constexpr uint16_t kHFSPlusSigWord = 0x482B;  // "H+"
constexpr uint16_t kHFSXSigWord = 0x4858;     // "HX"
constexpr uint16_t kHFSPlusVersion = 4;
constexpr uint16_t kHFSXVersion = 5;

// Volume attribute bits.
constexpr uint32_t kHFSVolumeUnmountedMask = 0x0100;
constexpr uint32_t kHFSVolumeJournaledMask = 0x2000;

// Reserved catalog node IDs.
constexpr CatalogNodeID kHFSRootParentID = 1;
constexpr CatalogNodeID kHFSRootFolderID = 2;
constexpr CatalogNodeID kHFSExtentsFileID = 3;
constexpr CatalogNodeID kHFSCatalogFileID = 4;
constexpr CatalogNodeID kHFSAllocationFileID = 6;
constexpr CatalogNodeID kHFSFirstUserCatalogNodeID = 16;

// Catalog record types.
constexpr int16_t kHFSPlusFolderRecord = 1;
constexpr int16_t kHFSPlusFileRecord = 2;
constexpr int16_t kHFSPlusFolderThreadRecord = 3;
constexpr int16_t kHFSPlusFileThreadRecord = 4;

// Catalog record flags.
constexpr uint16_t kHFSThreadExistsMask = 0x0002;
constexpr uint16_t kHFSHasFolderCountMask = 0x0010;

// Finder flags.
constexpr uint16_t kIsInvisible = 0x4000;
constexpr uint16_t kNameLocked = 0x1000;
constexpr uint16_t kHasCustomIcon = 0x0400;

// File mode type bits.
constexpr uint16_t S_IFMT_HFS = 0xF000;
constexpr uint16_t S_IFDIR_HFS = 0x4000;
constexpr uint16_t S_IFREG_HFS = 0x8000;
constexpr uint16_t S_IFLNK_HFS = 0xA000;

// B-tree node kinds and header attributes.
constexpr int8_t kBTLeafNode = -1;
constexpr int8_t kBTIndexNode = 0;
constexpr int8_t kBTHeaderNode = 1;
constexpr int8_t kBTMapNode = 2;
constexpr uint32_t kBTBigKeysMask = 0x00000002;
constexpr uint32_t kBTVariableIndexKeysMask = 0x00000004;
constexpr uint8_t kHFSCaseFolding = 0xCF;
constexpr uint8_t kHFSBinaryCompare = 0xBC;

// Journal info block flags.
constexpr uint32_t kJIJournalInFSMask = 0x00000001;
constexpr uint32_t kJIJournalNeedInitMask = 0x00000004;

// Dates: seconds since 1904-01-01 00:00, 32 bits.
constexpr uint32_t kHFSEpochOffset = 2082844800u;  // 1904 -> 1970
inline uint32_t hfs_date_from_unix(int64_t unix_seconds) {
  return static_cast<uint32_t>(static_cast<uint64_t>(unix_seconds) + kHFSEpochOffset);
}
inline int64_t unix_from_hfs_date(uint32_t hfs) { return static_cast<int64_t>(hfs) - kHFSEpochOffset; }

// Sizes.
constexpr size_t kHFSPlusExtentDescriptorSize = 8;
constexpr size_t kHFSPlusExtentRecordSize = 64;
constexpr size_t kHFSPlusForkDataSize = 80;
constexpr size_t kHFSPlusVolumeHeaderSize = 512;
constexpr uint64_t kVolumeHeaderOffset = 1024;
constexpr size_t kBTNodeDescriptorSize = 14;
constexpr size_t kBTHeaderRecSize = 106;
constexpr size_t kHFSPlusBSDInfoSize = 16;
constexpr size_t kFinderInfoSize = 16;
constexpr size_t kHFSPlusCatalogFolderSize = 88;
constexpr size_t kHFSPlusCatalogFileSize = 248;
constexpr size_t kHFSPlusCatalogKeyMinSize = 8;     // keyLength 6: empty name
constexpr size_t kHFSPlusCatalogKeyMaxSize = 518;   // keyLength 516: 255 units
constexpr uint16_t kHFSPlusCatalogKeyMaxLength = 516;
constexpr size_t kHFSPlusCatalogThreadMinSize = 10;
constexpr size_t kHFSPlusCatalogThreadMaxSize = 520;
constexpr size_t kHFSPlusExtentKeySize = 12;
constexpr uint16_t kHFSPlusExtentKeyMaxLength = 10;
constexpr size_t kJournalInfoBlockSize = 180;
constexpr size_t kHFSMaxNameUnits = 255;

struct HFSPlusExtentDescriptor {
  BlockNumber startBlock = 0;  // 0
  uint32_t blockCount = 0;     // 4
};
using HFSPlusExtentRecord = std::array<HFSPlusExtentDescriptor, 8>;

struct HFSPlusForkData {
  uint64_t logicalSize = 0;     // 0
  uint32_t clumpSize = 0;       // 8
  uint32_t totalBlocks = 0;     // 12
  HFSPlusExtentRecord extents;  // 16
};

struct HFSPlusVolumeHeader {
  uint16_t signature = 0;           // 0
  uint16_t version = 0;             // 2
  uint32_t attributes = 0;          // 4
  uint32_t lastMountedVersion = 0;  // 8
  uint32_t journalInfoBlock = 0;    // 12
  uint32_t createDate = 0;          // 16
  uint32_t modifyDate = 0;          // 20
  uint32_t backupDate = 0;          // 24
  uint32_t checkedDate = 0;         // 28
  uint32_t fileCount = 0;           // 32
  uint32_t folderCount = 0;         // 36
  uint32_t blockSize = 0;           // 40
  uint32_t totalBlocks = 0;         // 44
  uint32_t freeBlocks = 0;          // 48
  uint32_t nextAllocation = 0;      // 52
  uint32_t rsrcClumpSize = 0;       // 56
  uint32_t dataClumpSize = 0;       // 60
  uint32_t nextCatalogID = 0;       // 64
  uint32_t writeCount = 0;          // 68
  uint64_t encodingsBitmap = 0;     // 72
  std::array<uint8_t, 32> finderInfo{};  // 80, bytes as stored
  HFSPlusForkData allocationFile;   // 112
  HFSPlusForkData extentsFile;      // 192
  HFSPlusForkData catalogFile;      // 272
  HFSPlusForkData attributesFile;   // 352
  HFSPlusForkData startupFile;      // 432
};

struct BTNodeDescriptor {
  NodeNumber fLink = 0;     // 0
  NodeNumber bLink = 0;     // 4
  int8_t kind = 0;          // 8
  uint8_t height = 0;       // 9
  uint16_t numRecords = 0;  // 10
  uint16_t reserved = 0;    // 12
};

struct BTHeaderRec {
  uint16_t treeDepth = 0;        // 0
  NodeNumber rootNode = 0;       // 2
  uint32_t leafRecords = 0;      // 6
  NodeNumber firstLeafNode = 0;  // 10
  NodeNumber lastLeafNode = 0;   // 14
  uint16_t nodeSize = 0;         // 18
  uint16_t maxKeyLength = 0;     // 20
  uint32_t totalNodes = 0;       // 22
  uint32_t freeNodes = 0;        // 26
  std::array<uint8_t, 2> reserved1{};  // 30, as stored
  uint32_t clumpSize = 0;        // 32
  uint8_t btreeType = 0;         // 36
  uint8_t keyCompareType = 0;    // 37
  uint32_t attributes = 0;       // 38
  std::array<uint8_t, 64> reserved3{};  // 42, as stored
};

struct HFSUniStr255 {
  uint16_t length = 0;                 // 0
  std::array<uint16_t, 255> unicode{};  // 2; only `length` units are stored in keys and threads
};

struct HFSPlusCatalogKey {
  uint16_t keyLength = 0;     // 0: 6 + 2 * nodeName.length
  CatalogNodeID parentID = 0; // 2
  HFSUniStr255 nodeName;      // 6
};

struct HFSPlusBSDInfo {
  uint32_t ownerID = 0;    // 0
  uint32_t groupID = 0;    // 4
  uint8_t adminFlags = 0;  // 8
  uint8_t ownerFlags = 0;  // 9
  uint16_t fileMode = 0;   // 10
  uint32_t special = 0;    // 12: iNodeNum, linkCount or rawDevice
};

struct Point {
  int16_t v = 0;
  int16_t h = 0;
};

struct FileInfo {
  uint32_t fileType = 0;     // 0
  uint32_t fileCreator = 0;  // 4
  uint16_t finderFlags = 0;  // 8
  Point location;            // 10
  std::array<uint8_t, 2> reservedField{};  // 14
};

struct FolderInfo {
  int16_t windowBoundsTop = 0, windowBoundsLeft = 0;      // 0
  int16_t windowBoundsBottom = 0, windowBoundsRight = 0;  // 4
  uint16_t finderFlags = 0;  // 8
  Point location;            // 10
  std::array<uint8_t, 2> reservedField{};  // 14
};

struct ExtendedFileInfo {
  std::array<uint8_t, 8> reserved1{};  // 0
  uint16_t extendedFinderFlags = 0;    // 8
  std::array<uint8_t, 2> reserved2{};  // 10
  uint32_t putAwayFolderID = 0;        // 12
};

struct ExtendedFolderInfo {
  Point scrollPosition;                // 0
  std::array<uint8_t, 4> reserved1{};  // 4
  uint16_t extendedFinderFlags = 0;    // 8
  std::array<uint8_t, 2> reserved2{};  // 10
  uint32_t putAwayFolderID = 0;        // 12
};

struct HFSPlusCatalogFolder {
  int16_t recordType = kHFSPlusFolderRecord;  // 0
  uint16_t flags = 0;             // 2
  uint32_t valence = 0;           // 4
  CatalogNodeID folderID = 0;     // 8
  uint32_t createDate = 0;        // 12
  uint32_t contentModDate = 0;    // 16
  uint32_t attributeModDate = 0;  // 20
  uint32_t accessDate = 0;        // 24
  uint32_t backupDate = 0;        // 28
  HFSPlusBSDInfo permissions;     // 32
  FolderInfo userInfo;            // 48
  ExtendedFolderInfo finderInfo;  // 64
  uint32_t textEncoding = 0;      // 80
  uint32_t folderCount = 0;       // 84
};

struct HFSPlusCatalogFile {
  int16_t recordType = kHFSPlusFileRecord;  // 0
  uint16_t flags = 0;                  // 2
  std::array<uint8_t, 4> reserved1{};  // 4
  CatalogNodeID fileID = 0;            // 8
  uint32_t createDate = 0;             // 12
  uint32_t contentModDate = 0;         // 16
  uint32_t attributeModDate = 0;       // 20
  uint32_t accessDate = 0;             // 24
  uint32_t backupDate = 0;             // 28
  HFSPlusBSDInfo permissions;          // 32
  FileInfo userInfo;                   // 48
  ExtendedFileInfo finderInfo;         // 64
  uint32_t textEncoding = 0;           // 80
  std::array<uint8_t, 4> reserved2{};  // 84
  HFSPlusForkData dataFork;            // 88
  HFSPlusForkData resourceFork;        // 168
};

struct HFSPlusCatalogThread {
  int16_t recordType = 0;             // 0: folder or file thread
  std::array<uint8_t, 2> reserved{};  // 2
  CatalogNodeID parentID = 0;         // 4
  HFSUniStr255 nodeName;              // 8
};

struct HFSPlusExtentKey {
  uint16_t keyLength = kHFSPlusExtentKeyMaxLength;  // 0
  uint8_t forkType = 0;      // 2: 0x00 data, 0xFF resource
  uint8_t pad = 0;           // 3
  CatalogNodeID fileID = 0;  // 4
  uint32_t startBlock = 0;   // 8: fork-relative block of the record's first extent
};

struct JournalInfoBlock {
  uint32_t flags = 0;                          // 0
  std::array<uint8_t, 32> device_signature{};  // 4
  uint64_t offset = 0;                         // 36
  uint64_t size = 0;                           // 44
  std::array<uint8_t, 128> reserved{};         // 52
};

// Encoders write the record's on-disk bytes at p; decoders read them. The
// variable-length records (catalog key, thread) write and read 8 + 2n and
// 10 + 2n bytes; their encoded size is given by the *_size helpers.
void encode(const HFSPlusExtentDescriptor& r, uint8_t* p);
void decode(const uint8_t* p, HFSPlusExtentDescriptor* r);
void encode(const HFSPlusExtentRecord& r, uint8_t* p);
void decode(const uint8_t* p, HFSPlusExtentRecord* r);
void encode(const HFSPlusForkData& r, uint8_t* p);
void decode(const uint8_t* p, HFSPlusForkData* r);
void encode(const HFSPlusVolumeHeader& r, uint8_t* p);
void decode(const uint8_t* p, HFSPlusVolumeHeader* r);
void encode(const BTNodeDescriptor& r, uint8_t* p);
void decode(const uint8_t* p, BTNodeDescriptor* r);
void encode(const BTHeaderRec& r, uint8_t* p);
void decode(const uint8_t* p, BTHeaderRec* r);
void encode(const HFSPlusBSDInfo& r, uint8_t* p);
void decode(const uint8_t* p, HFSPlusBSDInfo* r);
void encode(const FileInfo& r, uint8_t* p);
void decode(const uint8_t* p, FileInfo* r);
void encode(const FolderInfo& r, uint8_t* p);
void decode(const uint8_t* p, FolderInfo* r);
void encode(const ExtendedFileInfo& r, uint8_t* p);
void decode(const uint8_t* p, ExtendedFileInfo* r);
void encode(const ExtendedFolderInfo& r, uint8_t* p);
void decode(const uint8_t* p, ExtendedFolderInfo* r);
void encode(const HFSPlusCatalogFolder& r, uint8_t* p);
void decode(const uint8_t* p, HFSPlusCatalogFolder* r);
void encode(const HFSPlusCatalogFile& r, uint8_t* p);
void decode(const uint8_t* p, HFSPlusCatalogFile* r);
void encode(const HFSPlusExtentKey& r, uint8_t* p);
void decode(const uint8_t* p, HFSPlusExtentKey* r);
void encode(const JournalInfoBlock& r, uint8_t* p);
void decode(const uint8_t* p, JournalInfoBlock* r);

// A name as stored: the length, then `length` units (at most 255 are read).
size_t encoded_size(const HFSUniStr255& n);  // 2 + 2 * length
void encode(const HFSUniStr255& n, uint8_t* p);
void decode(const uint8_t* p, HFSUniStr255* n);
// keyLength + 2 bytes; the stored keyLength is the record's own field.
size_t encoded_size(const HFSPlusCatalogKey& k);
void encode(const HFSPlusCatalogKey& k, uint8_t* p);
void decode(const uint8_t* p, HFSPlusCatalogKey* k);
size_t encoded_size(const HFSPlusCatalogThread& t);  // 10 + 2 * length
void encode(const HFSPlusCatalogThread& t, uint8_t* p);
void decode(const uint8_t* p, HFSPlusCatalogThread* t);

}  // namespace volpack
