#include "hfs/hfs_format.h"

#include <algorithm>
#include <cstring>

namespace volpack {

static_assert(kHFSPlusForkDataSize == 16 + 8 * kHFSPlusExtentDescriptorSize, "fork data layout");
static_assert(kHFSPlusVolumeHeaderSize == 432 + kHFSPlusForkDataSize, "volume header layout");
static_assert(kHFSPlusCatalogFileSize == 88 + 2 * kHFSPlusForkDataSize, "file record layout");
static_assert(kHFSPlusCatalogKeyMaxSize == 8 + 2 * kHFSMaxNameUnits, "catalog key layout");
static_assert(kHFSPlusCatalogThreadMaxSize == 10 + 2 * kHFSMaxNameUnits, "thread layout");
static_assert(kJournalInfoBlockSize == 52 + 128, "journal info block layout");

namespace {

template <size_t N>
void put_bytes(uint8_t* p, const std::array<uint8_t, N>& a) {
  std::memcpy(p, a.data(), N);
}
template <size_t N>
void get_bytes(const uint8_t* p, std::array<uint8_t, N>* a) {
  std::memcpy(a->data(), p, N);
}
void put_point(uint8_t* p, const Point& pt) {
  put_be16(p, static_cast<uint16_t>(pt.v));
  put_be16(p + 2, static_cast<uint16_t>(pt.h));
}
void get_point(const uint8_t* p, Point* pt) {
  pt->v = static_cast<int16_t>(get_be16(p));
  pt->h = static_cast<int16_t>(get_be16(p + 2));
}

}  // namespace

void encode(const HFSPlusExtentDescriptor& r, uint8_t* p) {
  put_be32(p + 0, r.startBlock);
  put_be32(p + 4, r.blockCount);
}
void decode(const uint8_t* p, HFSPlusExtentDescriptor* r) {
  r->startBlock = get_be32(p + 0);
  r->blockCount = get_be32(p + 4);
}

void encode(const HFSPlusExtentRecord& r, uint8_t* p) {
  for (size_t i = 0; i < r.size(); ++i) encode(r[i], p + i * kHFSPlusExtentDescriptorSize);
}
void decode(const uint8_t* p, HFSPlusExtentRecord* r) {
  for (size_t i = 0; i < r->size(); ++i) decode(p + i * kHFSPlusExtentDescriptorSize, &(*r)[i]);
}

void encode(const HFSPlusForkData& r, uint8_t* p) {
  put_be64(p + 0, r.logicalSize);
  put_be32(p + 8, r.clumpSize);
  put_be32(p + 12, r.totalBlocks);
  encode(r.extents, p + 16);
}
void decode(const uint8_t* p, HFSPlusForkData* r) {
  r->logicalSize = get_be64(p + 0);
  r->clumpSize = get_be32(p + 8);
  r->totalBlocks = get_be32(p + 12);
  decode(p + 16, &r->extents);
}

void encode(const HFSPlusVolumeHeader& r, uint8_t* p) {
  put_be16(p + 0, r.signature);
  put_be16(p + 2, r.version);
  put_be32(p + 4, r.attributes);
  put_be32(p + 8, r.lastMountedVersion);
  put_be32(p + 12, r.journalInfoBlock);
  put_be32(p + 16, r.createDate);
  put_be32(p + 20, r.modifyDate);
  put_be32(p + 24, r.backupDate);
  put_be32(p + 28, r.checkedDate);
  put_be32(p + 32, r.fileCount);
  put_be32(p + 36, r.folderCount);
  put_be32(p + 40, r.blockSize);
  put_be32(p + 44, r.totalBlocks);
  put_be32(p + 48, r.freeBlocks);
  put_be32(p + 52, r.nextAllocation);
  put_be32(p + 56, r.rsrcClumpSize);
  put_be32(p + 60, r.dataClumpSize);
  put_be32(p + 64, r.nextCatalogID);
  put_be32(p + 68, r.writeCount);
  put_be64(p + 72, r.encodingsBitmap);
  put_bytes(p + 80, r.finderInfo);
  encode(r.allocationFile, p + 112);
  encode(r.extentsFile, p + 192);
  encode(r.catalogFile, p + 272);
  encode(r.attributesFile, p + 352);
  encode(r.startupFile, p + 432);
}
void decode(const uint8_t* p, HFSPlusVolumeHeader* r) {
  r->signature = get_be16(p + 0);
  r->version = get_be16(p + 2);
  r->attributes = get_be32(p + 4);
  r->lastMountedVersion = get_be32(p + 8);
  r->journalInfoBlock = get_be32(p + 12);
  r->createDate = get_be32(p + 16);
  r->modifyDate = get_be32(p + 20);
  r->backupDate = get_be32(p + 24);
  r->checkedDate = get_be32(p + 28);
  r->fileCount = get_be32(p + 32);
  r->folderCount = get_be32(p + 36);
  r->blockSize = get_be32(p + 40);
  r->totalBlocks = get_be32(p + 44);
  r->freeBlocks = get_be32(p + 48);
  r->nextAllocation = get_be32(p + 52);
  r->rsrcClumpSize = get_be32(p + 56);
  r->dataClumpSize = get_be32(p + 60);
  r->nextCatalogID = get_be32(p + 64);
  r->writeCount = get_be32(p + 68);
  r->encodingsBitmap = get_be64(p + 72);
  get_bytes(p + 80, &r->finderInfo);
  decode(p + 112, &r->allocationFile);
  decode(p + 192, &r->extentsFile);
  decode(p + 272, &r->catalogFile);
  decode(p + 352, &r->attributesFile);
  decode(p + 432, &r->startupFile);
}

void encode(const BTNodeDescriptor& r, uint8_t* p) {
  put_be32(p + 0, r.fLink);
  put_be32(p + 4, r.bLink);
  p[8] = static_cast<uint8_t>(r.kind);
  p[9] = r.height;
  put_be16(p + 10, r.numRecords);
  put_be16(p + 12, r.reserved);
}
void decode(const uint8_t* p, BTNodeDescriptor* r) {
  r->fLink = get_be32(p + 0);
  r->bLink = get_be32(p + 4);
  r->kind = static_cast<int8_t>(p[8]);
  r->height = p[9];
  r->numRecords = get_be16(p + 10);
  r->reserved = get_be16(p + 12);
}

void encode(const BTHeaderRec& r, uint8_t* p) {
  put_be16(p + 0, r.treeDepth);
  put_be32(p + 2, r.rootNode);
  put_be32(p + 6, r.leafRecords);
  put_be32(p + 10, r.firstLeafNode);
  put_be32(p + 14, r.lastLeafNode);
  put_be16(p + 18, r.nodeSize);
  put_be16(p + 20, r.maxKeyLength);
  put_be32(p + 22, r.totalNodes);
  put_be32(p + 26, r.freeNodes);
  put_bytes(p + 30, r.reserved1);
  put_be32(p + 32, r.clumpSize);
  p[36] = r.btreeType;
  p[37] = r.keyCompareType;
  put_be32(p + 38, r.attributes);
  put_bytes(p + 42, r.reserved3);
}
void decode(const uint8_t* p, BTHeaderRec* r) {
  r->treeDepth = get_be16(p + 0);
  r->rootNode = get_be32(p + 2);
  r->leafRecords = get_be32(p + 6);
  r->firstLeafNode = get_be32(p + 10);
  r->lastLeafNode = get_be32(p + 14);
  r->nodeSize = get_be16(p + 18);
  r->maxKeyLength = get_be16(p + 20);
  r->totalNodes = get_be32(p + 22);
  r->freeNodes = get_be32(p + 26);
  get_bytes(p + 30, &r->reserved1);
  r->clumpSize = get_be32(p + 32);
  r->btreeType = p[36];
  r->keyCompareType = p[37];
  r->attributes = get_be32(p + 38);
  get_bytes(p + 42, &r->reserved3);
}

void encode(const HFSPlusBSDInfo& r, uint8_t* p) {
  put_be32(p + 0, r.ownerID);
  put_be32(p + 4, r.groupID);
  p[8] = r.adminFlags;
  p[9] = r.ownerFlags;
  put_be16(p + 10, r.fileMode);
  put_be32(p + 12, r.special);
}
void decode(const uint8_t* p, HFSPlusBSDInfo* r) {
  r->ownerID = get_be32(p + 0);
  r->groupID = get_be32(p + 4);
  r->adminFlags = p[8];
  r->ownerFlags = p[9];
  r->fileMode = get_be16(p + 10);
  r->special = get_be32(p + 12);
}

void encode(const FileInfo& r, uint8_t* p) {
  put_be32(p + 0, r.fileType);
  put_be32(p + 4, r.fileCreator);
  put_be16(p + 8, r.finderFlags);
  put_point(p + 10, r.location);
  put_bytes(p + 14, r.reservedField);
}
void decode(const uint8_t* p, FileInfo* r) {
  r->fileType = get_be32(p + 0);
  r->fileCreator = get_be32(p + 4);
  r->finderFlags = get_be16(p + 8);
  get_point(p + 10, &r->location);
  get_bytes(p + 14, &r->reservedField);
}

void encode(const FolderInfo& r, uint8_t* p) {
  put_be16(p + 0, static_cast<uint16_t>(r.windowBoundsTop));
  put_be16(p + 2, static_cast<uint16_t>(r.windowBoundsLeft));
  put_be16(p + 4, static_cast<uint16_t>(r.windowBoundsBottom));
  put_be16(p + 6, static_cast<uint16_t>(r.windowBoundsRight));
  put_be16(p + 8, r.finderFlags);
  put_point(p + 10, r.location);
  put_bytes(p + 14, r.reservedField);
}
void decode(const uint8_t* p, FolderInfo* r) {
  r->windowBoundsTop = static_cast<int16_t>(get_be16(p + 0));
  r->windowBoundsLeft = static_cast<int16_t>(get_be16(p + 2));
  r->windowBoundsBottom = static_cast<int16_t>(get_be16(p + 4));
  r->windowBoundsRight = static_cast<int16_t>(get_be16(p + 6));
  r->finderFlags = get_be16(p + 8);
  get_point(p + 10, &r->location);
  get_bytes(p + 14, &r->reservedField);
}

void encode(const ExtendedFileInfo& r, uint8_t* p) {
  put_bytes(p + 0, r.reserved1);
  put_be16(p + 8, r.extendedFinderFlags);
  put_bytes(p + 10, r.reserved2);
  put_be32(p + 12, r.putAwayFolderID);
}
void decode(const uint8_t* p, ExtendedFileInfo* r) {
  get_bytes(p + 0, &r->reserved1);
  r->extendedFinderFlags = get_be16(p + 8);
  get_bytes(p + 10, &r->reserved2);
  r->putAwayFolderID = get_be32(p + 12);
}

void encode(const ExtendedFolderInfo& r, uint8_t* p) {
  put_point(p + 0, r.scrollPosition);
  put_bytes(p + 4, r.reserved1);
  put_be16(p + 8, r.extendedFinderFlags);
  put_bytes(p + 10, r.reserved2);
  put_be32(p + 12, r.putAwayFolderID);
}
void decode(const uint8_t* p, ExtendedFolderInfo* r) {
  get_point(p + 0, &r->scrollPosition);
  get_bytes(p + 4, &r->reserved1);
  r->extendedFinderFlags = get_be16(p + 8);
  get_bytes(p + 10, &r->reserved2);
  r->putAwayFolderID = get_be32(p + 12);
}

void encode(const HFSPlusCatalogFolder& r, uint8_t* p) {
  put_be16(p + 0, static_cast<uint16_t>(r.recordType));
  put_be16(p + 2, r.flags);
  put_be32(p + 4, r.valence);
  put_be32(p + 8, r.folderID);
  put_be32(p + 12, r.createDate);
  put_be32(p + 16, r.contentModDate);
  put_be32(p + 20, r.attributeModDate);
  put_be32(p + 24, r.accessDate);
  put_be32(p + 28, r.backupDate);
  encode(r.permissions, p + 32);
  encode(r.userInfo, p + 48);
  encode(r.finderInfo, p + 64);
  put_be32(p + 80, r.textEncoding);
  put_be32(p + 84, r.folderCount);
}
void decode(const uint8_t* p, HFSPlusCatalogFolder* r) {
  r->recordType = static_cast<int16_t>(get_be16(p + 0));
  r->flags = get_be16(p + 2);
  r->valence = get_be32(p + 4);
  r->folderID = get_be32(p + 8);
  r->createDate = get_be32(p + 12);
  r->contentModDate = get_be32(p + 16);
  r->attributeModDate = get_be32(p + 20);
  r->accessDate = get_be32(p + 24);
  r->backupDate = get_be32(p + 28);
  decode(p + 32, &r->permissions);
  decode(p + 48, &r->userInfo);
  decode(p + 64, &r->finderInfo);
  r->textEncoding = get_be32(p + 80);
  r->folderCount = get_be32(p + 84);
}

void encode(const HFSPlusCatalogFile& r, uint8_t* p) {
  put_be16(p + 0, static_cast<uint16_t>(r.recordType));
  put_be16(p + 2, r.flags);
  put_bytes(p + 4, r.reserved1);
  put_be32(p + 8, r.fileID);
  put_be32(p + 12, r.createDate);
  put_be32(p + 16, r.contentModDate);
  put_be32(p + 20, r.attributeModDate);
  put_be32(p + 24, r.accessDate);
  put_be32(p + 28, r.backupDate);
  encode(r.permissions, p + 32);
  encode(r.userInfo, p + 48);
  encode(r.finderInfo, p + 64);
  put_be32(p + 80, r.textEncoding);
  put_bytes(p + 84, r.reserved2);
  encode(r.dataFork, p + 88);
  encode(r.resourceFork, p + 168);
}
void decode(const uint8_t* p, HFSPlusCatalogFile* r) {
  r->recordType = static_cast<int16_t>(get_be16(p + 0));
  r->flags = get_be16(p + 2);
  get_bytes(p + 4, &r->reserved1);
  r->fileID = get_be32(p + 8);
  r->createDate = get_be32(p + 12);
  r->contentModDate = get_be32(p + 16);
  r->attributeModDate = get_be32(p + 20);
  r->accessDate = get_be32(p + 24);
  r->backupDate = get_be32(p + 28);
  decode(p + 32, &r->permissions);
  decode(p + 48, &r->userInfo);
  decode(p + 64, &r->finderInfo);
  r->textEncoding = get_be32(p + 80);
  get_bytes(p + 84, &r->reserved2);
  decode(p + 88, &r->dataFork);
  decode(p + 168, &r->resourceFork);
}

void encode(const HFSPlusExtentKey& r, uint8_t* p) {
  put_be16(p + 0, r.keyLength);
  p[2] = r.forkType;
  p[3] = r.pad;
  put_be32(p + 4, r.fileID);
  put_be32(p + 8, r.startBlock);
}
void decode(const uint8_t* p, HFSPlusExtentKey* r) {
  r->keyLength = get_be16(p + 0);
  r->forkType = p[2];
  r->pad = p[3];
  r->fileID = get_be32(p + 4);
  r->startBlock = get_be32(p + 8);
}

void encode(const JournalInfoBlock& r, uint8_t* p) {
  put_be32(p + 0, r.flags);
  put_bytes(p + 4, r.device_signature);
  put_be64(p + 36, r.offset);
  put_be64(p + 44, r.size);
  put_bytes(p + 52, r.reserved);
}
void decode(const uint8_t* p, JournalInfoBlock* r) {
  r->flags = get_be32(p + 0);
  get_bytes(p + 4, &r->device_signature);
  r->offset = get_be64(p + 36);
  r->size = get_be64(p + 44);
  get_bytes(p + 52, &r->reserved);
}

size_t encoded_size(const HFSUniStr255& n) {
  return 2 + 2 * std::min<size_t>(n.length, kHFSMaxNameUnits);
}
void encode(const HFSUniStr255& n, uint8_t* p) {
  size_t units = std::min<size_t>(n.length, kHFSMaxNameUnits);
  put_be16(p, static_cast<uint16_t>(units));
  for (size_t i = 0; i < units; ++i) put_be16(p + 2 + 2 * i, n.unicode[i]);
}
void decode(const uint8_t* p, HFSUniStr255* n) {
  n->length = get_be16(p);
  size_t units = std::min<size_t>(n->length, kHFSMaxNameUnits);
  for (size_t i = 0; i < units; ++i) n->unicode[i] = get_be16(p + 2 + 2 * i);
}

size_t encoded_size(const HFSPlusCatalogKey& k) { return static_cast<size_t>(k.keyLength) + 2; }
void encode(const HFSPlusCatalogKey& k, uint8_t* p) {
  put_be16(p + 0, k.keyLength);
  put_be32(p + 2, k.parentID);
  encode(k.nodeName, p + 6);
}
void decode(const uint8_t* p, HFSPlusCatalogKey* k) {
  k->keyLength = get_be16(p + 0);
  k->parentID = get_be32(p + 2);
  decode(p + 6, &k->nodeName);
}

size_t encoded_size(const HFSPlusCatalogThread& t) { return 8 + encoded_size(t.nodeName); }
void encode(const HFSPlusCatalogThread& t, uint8_t* p) {
  put_be16(p + 0, static_cast<uint16_t>(t.recordType));
  put_bytes(p + 2, t.reserved);
  put_be32(p + 4, t.parentID);
  encode(t.nodeName, p + 8);
}
void decode(const uint8_t* p, HFSPlusCatalogThread* t) {
  t->recordType = static_cast<int16_t>(get_be16(p + 0));
  get_bytes(p + 2, &t->reserved);
  t->parentID = get_be32(p + 4);
  decode(p + 8, &t->nodeName);
}

}  // namespace volpack
