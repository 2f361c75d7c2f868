// volume_format, the B-tree files: the header node (and map nodes, when the
// header's map cannot cover the tree) of the extents-overflow tree and of the
// catalog, and the catalog's one leaf, which holds the root folder, its thread
// and, on a journaled volume, the records of the two journal files. Every
// other node of the tree files stays zero from the clearing and is free in
// the map. Nodes are assembled through the record encoders of hfs_format.
#include <cstring>
#include <string>

#include "hfs/catalog.h"
#include "hfs/format.h"
#include "io/bytes.h"
#include "hfs/hfs_status.h"
#include "hfs/message_numbers.h"
#include "io/run_context.h"
#include "io/host_fs.h"

namespace volpack {

namespace {

constexpr uint16_t kHeaderRecOffset = 14;
constexpr uint16_t kUserDataRecOffset = 120;
constexpr uint16_t kMapRecOffset = 248;
constexpr uint32_t kHeaderNodeOverhead = 256;  // all of the header node but its map record
constexpr uint32_t kMapNodeOverhead = 20;      // descriptor, two offset slots, two spare bytes
constexpr uint16_t kExtentsMaxKeyLength = kHFSPlusExtentKeyMaxLength;
constexpr uint16_t kCatalogMaxKeyLength = kHFSPlusCatalogKeyMaxLength;
constexpr size_t kNameLimitBytes = 2 * kHFSMaxNameUnits;

constexpr uint16_t kJournalFinderFlags = kIsInvisible | kNameLocked;
constexpr uint8_t kOwnerNoDump = 1;

// Offset slot i of a node: the start of record i, stored from the node's end.
void set_offset_slot(uint8_t* node, uint32_t nodeSize, uint32_t slot, uint16_t offset) {
  put_be16(node + nodeSize - 2 * (slot + 1), offset);
}

// Builds the header node of a tree whose first `header.totalNodes -
// header.freeNodes` nodes are in use; returns the number of map nodes the
// tree needs beyond them (their bits are set in the header's map, and its
// fLink leads to the first of them).
uint32_t build_header_node(uint8_t* node, BTHeaderRec header) {
  const uint32_t nodeSize = header.nodeSize;
  std::memset(node, 0, nodeSize);
  BTNodeDescriptor desc;
  desc.kind = kBTHeaderNode;
  desc.numRecords = 3;

  const uint64_t headerBits = static_cast<uint64_t>(nodeSize - kHeaderNodeOverhead) * 8;
  const uint64_t mapNodeBits = static_cast<uint64_t>(nodeSize - kMapNodeOverhead) * 8;
  uint32_t mapNodes = 0;
  if (header.totalNodes > headerBits) {
    desc.fLink = header.lastLeafNode + 1;
    mapNodes = static_cast<uint32_t>((header.totalNodes - headerBits + mapNodeBits - 1) / mapNodeBits);
    header.freeNodes -= mapNodes;
  }
  encode(desc, node);
  encode(header, node + kHeaderRecOffset);
  format_mark_leading(node + kMapRecOffset, header.totalNodes - header.freeNodes);
  set_offset_slot(node, nodeSize, 0, kHeaderRecOffset);
  set_offset_slot(node, nodeSize, 1, kUserDataRecOffset);
  set_offset_slot(node, nodeSize, 2, kMapRecOffset);
  set_offset_slot(node, nodeSize, 3, static_cast<uint16_t>(kMapRecOffset + headerBits / 8));
  return mapNodes;
}

// Writes the first `usedNodes` nodes of a tree file (already in `buffer`),
// then the map nodes that follow them.
status write_tree(const format_device& d, const format_geometry& g, BlockNumber start, uint32_t nodeSize,
                  uint32_t usedNodes, uint32_t mapNodes, uint8_t* buffer) {
  const SectorNumber first = static_cast<SectorNumber>(start) * g.sectorsPerBlock;
  VOLPACK_RETURN_IF_ERROR(WriteBuffer(d, first, static_cast<size_t>(usedNodes) * nodeSize, buffer));
  if (mapNodes == 0) return status::ok();
  return WriteMapNodes(d, first + static_cast<uint64_t>(usedNodes) * nodeSize / d.sectorSize, usedNodes, mapNodes,
                       nodeSize, buffer);
}

size_t record_size(const HFSPlusCatalogFolder&) { return kHFSPlusCatalogFolderSize; }
size_t record_size(const HFSPlusCatalogFile&) { return kHFSPlusCatalogFileSize; }
size_t record_size(const HFSPlusCatalogThread& t) { return encoded_size(t); }

// Packs catalog records (key, then data) into a leaf node from byte 14 on,
// keeping the offset table at the node's end.
class LeafBuilder {
 public:
  LeafBuilder(uint8_t* node, uint32_t nodeSize) : node_(node), nodeSize_(nodeSize) {
    std::memset(node_, 0, nodeSize_);
    set_offset_slot(node_, nodeSize_, 0, static_cast<uint16_t>(free_));
  }
  template <class Record>
  void add(const HFSPlusCatalogKey& key, const Record& record) {
    encode(key, node_ + free_);
    free_ += encoded_size(key);
    encode(record, node_ + free_);
    free_ += record_size(record);
    ++records_;
    set_offset_slot(node_, nodeSize_, records_, static_cast<uint16_t>(free_));
  }
  uint16_t records() const { return records_; }
  void finish() {
    BTNodeDescriptor desc;
    desc.kind = kBTLeafNode;
    desc.height = 1;
    desc.numRecords = records_;
    encode(desc, node_);
  }

 private:
  uint8_t* node_;
  uint32_t nodeSize_;
  size_t free_ = kBTNodeDescriptorSize;
  uint16_t records_ = 0;
};

HFSPlusCatalogKey catalog_key(CatalogNodeID parent, const HFSUniStr255& name) {
  HFSPlusCatalogKey key;
  key.keyLength = static_cast<uint16_t>(6 + 2 * name.length);
  key.parentID = parent;
  key.nodeName = name;
  return key;
}

HFSPlusCatalogThread thread_record(int16_t type, CatalogNodeID parent, const HFSUniStr255& name) {
  HFSPlusCatalogThread thread;
  thread.recordType = type;
  thread.parentID = parent;
  thread.nodeName = name;
  return thread;
}

HFSUniStr255 fixed_name(const char* utf8) {
  HFSUniStr255 name;
  (void)utf8_to_hfs_name(utf8, kNameLimitBytes, &name);
  return name;
}

HFSUniStr255 volume_name(const format_device& d, const format_params& p) {
  char copy[sizeof p.volumeName];
  std::memcpy(copy, p.volumeName, sizeof copy);
  HFSUniStr255 name;
  if (utf8_to_hfs_name(copy, kNameLimitBytes, &name) != 0) {
    d.context->reporter->warnf("Warning: invalid HFS+ name: \"%s\", using \"%s\" instead", p.volumeName,
                               "untitled");
    name = fixed_name("untitled");
    return name;
  }
  // Stored decomposed like every other name, when the text is plain UTF-8
  // (re-encoding the units gives it back) and the decomposition fits.
  HFSUniStr255 text_units = name;
  for (size_t i = 0; i < text_units.length; ++i) {
    if (text_units.unicode[i] >= 0xD800 && text_units.unicode[i] <= 0xDFFF) return name;
    if (text_units.unicode[i] == '/') text_units.unicode[i] = ':';
  }
  const std::string text = unistr_to_utf8(text_units);
  HFSUniStr255 decomposed;
  if (text != copy || !unistr_from_host(&decomposed, text.data(), text.size())) return name;
  for (size_t i = 0; i < decomposed.length; ++i)
    if (decomposed.unicode[i] == ':') decomposed.unicode[i] = '/';
  return decomposed;
}

HFSPlusCatalogFolder root_folder(const format_params& p) {
  HFSPlusCatalogFolder folder;
  folder.valence = p.journaled ? 2 : 0;
  folder.flags = kHFSHasFolderCountMask;  // the root counts its subfolders like every folder
  folder.folderID = kHFSRootFolderID;
  folder.createDate = p.createDate;
  folder.contentModDate = p.createDate;
  if ((p.flags & kFormatOwnershipFlag) != 0) {
    folder.permissions.ownerID = p.owner;
    folder.permissions.groupID = p.group;
    folder.permissions.fileMode = static_cast<uint16_t>(S_IFDIR_HFS | p.mask);
  }
  return folder;
}

// The catalog record of a journal file: an invisible, locked system file whose
// data fork is the one extent it occupies.
HFSPlusCatalogFile journal_file(CatalogNodeID id, uint32_t date, uint64_t bytes, BlockNumber start,
                                uint32_t blocks) {
  HFSPlusCatalogFile file;
  file.flags = kHFSThreadExistsMask;
  file.fileID = id;
  file.createDate = date;
  file.contentModDate = date;
  file.permissions.ownerFlags = kOwnerNoDump;
  file.permissions.fileMode = S_IFREG_HFS;
  file.userInfo.fileType = fourcc("jrnl");
  file.userInfo.fileCreator = fourcc("hfs+");
  file.userInfo.finderFlags = kJournalFinderFlags;
  file.dataFork.logicalSize = bytes;
  file.dataFork.totalBlocks = blocks;
  file.dataFork.extents[0].startBlock = start;
  file.dataFork.extents[0].blockCount = blocks;
  return file;
}

// The catalog's root leaf, in key order: the root folder under (1, name), its
// thread under (2, ""), then with a journal the two journal files under the
// root and their threads under their own IDs.
uint16_t build_root_leaf(uint8_t* node, const format_device& d, const format_params& p, const format_geometry& g) {
  LeafBuilder leaf(node, p.catalogNodeSize);
  const HFSUniStr255 name = volume_name(d, p);
  const HFSUniStr255 empty;
  leaf.add(catalog_key(kHFSRootParentID, name), root_folder(p));
  leaf.add(catalog_key(kHFSRootFolderID, empty), thread_record(kHFSPlusFolderThreadRecord, kHFSRootParentID, name));
  if (p.journaled) {
    const HFSUniStr255 journal = fixed_name(".journal");
    const HFSUniStr255 info = fixed_name(".journal_info_block");
    const CatalogNodeID journalID = p.nextFreeFileID;
    const CatalogNodeID infoID = p.nextFreeFileID + 1;
    leaf.add(catalog_key(kHFSRootFolderID, journal),
             journal_file(journalID, p.createDate + 1, p.journalSize, g.journalStart, g.journalBlocks));
    leaf.add(catalog_key(kHFSRootFolderID, info),
             journal_file(infoID, p.createDate, p.blockSize, g.journalInfoBlock, 1));
    leaf.add(catalog_key(journalID, empty), thread_record(kHFSPlusFileThreadRecord, kHFSRootFolderID, journal));
    leaf.add(catalog_key(infoID, empty), thread_record(kHFSPlusFileThreadRecord, kHFSRootFolderID, info));
  }
  leaf.finish();
  return leaf.records();
}

}  // namespace

status format_write_btrees(const format_device& d, const format_params& p, const format_geometry& g,
                           uint8_t* buffer) {
  // The extents-overflow tree: the header node alone.
  BTHeaderRec extents;
  extents.nodeSize = static_cast<uint16_t>(p.extentsNodeSize);
  extents.maxKeyLength = kExtentsMaxKeyLength;
  extents.totalNodes = p.extentsClumpSize / p.extentsNodeSize;
  extents.freeNodes = extents.totalNodes - 1;
  extents.clumpSize = p.extentsClumpSize;
  extents.attributes = kBTBigKeysMask;
  uint32_t mapNodes = build_header_node(buffer, extents);
  VOLPACK_RETURN_IF_ERROR(write_tree(d, g, g.extentsStart, p.extentsNodeSize, 1, mapNodes, buffer));

  // The catalog: the header node, then the root leaf, node 1.
  const uint32_t nodeSize = p.catalogNodeSize;
  const uint16_t leafRecords = build_root_leaf(buffer + nodeSize, d, p, g);
  BTHeaderRec catalog;
  catalog.treeDepth = 1;
  catalog.rootNode = 1;
  catalog.leafRecords = leafRecords;
  catalog.firstLeafNode = 1;
  catalog.lastLeafNode = 1;
  catalog.nodeSize = static_cast<uint16_t>(nodeSize);
  catalog.maxKeyLength = kCatalogMaxKeyLength;
  catalog.totalNodes = p.catalogClumpSize / nodeSize;
  catalog.freeNodes = catalog.totalNodes - 2;
  catalog.clumpSize = p.catalogClumpSize;
  catalog.keyCompareType = (p.flags & kFormatCaseSensitiveFlag) != 0 ? kHFSBinaryCompare : kHFSCaseFolding;
  catalog.attributes = kBTBigKeysMask | kBTVariableIndexKeysMask;
  mapNodes = build_header_node(buffer, catalog);
  return write_tree(d, g, g.catalogStart, nodeSize, 2, mapNodes, buffer);
}

status WriteMapNodes(const format_device& device, SectorNumber sector, NodeNumber firstNode, uint32_t count,
                     uint32_t nodeSize, uint8_t* buffer) {
  std::memset(buffer, 0, nodeSize);
  BTNodeDescriptor desc;
  desc.kind = kBTMapNode;
  desc.numRecords = 1;
  set_offset_slot(buffer, nodeSize, 0, kBTNodeDescriptorSize);
  set_offset_slot(buffer, nodeSize, 1, static_cast<uint16_t>(kBTNodeDescriptorSize + nodeSize - kMapNodeOverhead));
  for (uint32_t i = 0; i < count; ++i) {
    desc.fLink = i + 1 < count ? firstNode + i + 1 : 0;
    encode(desc, buffer);
    if (nodeSize % device.sectorSize != 0)
      return status_errorf("%s():%d: fatal error: WriteMapNodes: byte count %u is not sector size multiple: %s\n",
                           __func__, msgno::kWriteMapNodesSize, nodeSize, host_strerror(host_errno()));
    const SectorNumber at = device.sectorOffset + sector;
    if (!io_write(device.io, at * device.sectorSize, nodeSize, buffer))
      return status_errorf("%s():%d: fatal error: write error (sector %lld, %u bytes): %s\n", __func__,
                           msgno::kWriteMapNodesWrite, static_cast<long long>(at), nodeSize, host_strerror(host_errno()));
    sector += nodeSize / device.sectorSize;
  }
  return status::ok();
}

int utf8_to_hfs_name(const char* utf8, size_t limit, HFSUniStr255* name) {
  name->length = 0;
  if (limit > kNameLimitBytes) limit = kNameLimitBytes;
  const uint8_t* s = reinterpret_cast<const uint8_t*>(utf8);
  size_t units = 0;
  while (*s != 0) {
    const uint8_t lead = *s++;
    uint16_t unit = 0;
    if (lead < 0x80) {
      unit = lead == ':' ? '/' : lead;
    } else if (lead >= 0xC0 && lead <= 0xDF) {
      if ((s[0] & 0xC0) != 0x80) return kHfsNameInvalid;
      unit = static_cast<uint16_t>((lead & 0x1F) << 6 | (s[0] & 0x3F));
      s += 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      if ((s[0] & 0xC0) != 0x80) return kHfsNameInvalid;
      if ((s[1] & 0xC0) != 0x80) return kHfsNameInvalid;
      unit = static_cast<uint16_t>((lead & 0x0F) << 12 | (s[0] & 0x3F) << 6 | (s[1] & 0x3F));
      s += 2;
    } else {
      return kHfsNameInvalid;
    }
    if (2 * units >= limit) return kHfsNameTooLong;
    name->unicode[units++] = unit;
  }
  name->length = static_cast<uint16_t>(units);
  return 0;
}

}  // namespace volpack
