// The numbers printed in the hfs layer's fatal messages, after the function's
// name: "splitNode():705: io_write error\n".
//
// These are fixed numbers that users see and that scripts and documents match;
// they are NOT source lines of the files that print them and must never change
// when code moves. Each names one failing step; a step shared by several
// routines keeps one number. New messages take a new, unused number.
#pragma once

namespace volpack {
namespace msgno {

enum : int {
  // Node access (btree_node.cpp).
  kReadDescriptorAlloc = 17,      // btree_read_BTNodeDescriptor: malloc
  kReadDescriptor = 28,           // btree_read_BTNodeDescriptor_or_die
  kGetRecordOffset = 116,         // btree_get_record_offset_or_die
  kGetFreeSpace = 136,            // btree_get_free_space_or_die
  kPointerRecord = 149,           // getNodeNumberFromPointerRecord

  // Node allocation and growth (btree_map.cpp).
  kGrowWriteHeader = 449,         // btree_grow_or_die: header, no map node needed
  kGrowBuffer = 443,              // btree_grow_or_die: malloc of a map record
  kGrowLinkMapNode = 462,         // btree_grow_or_die: descriptor of the node before it
  kGrowWriteMapNode = 467,        // btree_grow_or_die: the new map node's descriptor
  kGrowWriteMapRecord = 471,      // btree_grow_or_die: its zeroed map record
  kGrowWriteSlot0 = 475,          // btree_grow_or_die: its first offset slot
  kGrowWriteSlot1 = 479,          // btree_grow_or_die: its free-space slot
  kGrowReadMapByte = 494,         // btree_grow_or_die: the map byte of the new node
  kGrowWriteMapByte = 496,        // btree_grow_or_die: the same byte, its bit set
  kGrowWriteHeaderAfter = 510,    // btree_grow_or_die: header after adding map nodes
  kNewNodeBuffer = 46,            // btree_get_new_node_number: malloc of a map record
  kNewNodeReadMap = 48,          // btree_get_new_node_number: reading a map record
  kNewNodeWriteHeader = 547,      // btree_get_new_node_number: header
  kNewNodeWriteMapByte = 548,     // btree_get_new_node_number: the node's map byte

  // Removal of a node (btree_remove.cpp).
  kRemoveNodeReadMap = 149,       // removeNode: its map byte
  kRemoveNodeLinkPrev = 622,      // removeNode: the previous node's fLink
  kRemoveNodeLinkNext = 630,      // removeNode: the next node's bLink
  kRemoveNodeWriteMap = 635,      // removeNode: its map byte
  kRemoveNodeWriteHeader = 636,   // removeNode: header

  // Splitting and moving records (btree_insert.cpp).
  kSplitRecordsBuffer = 663,
  kSplitReadRecords = 664,
  kSplitSlotsBuffer = 668,
  kSplitReadSlots = 669,
  kSplitWriteSibling = 691,
  kSplitWriteNext = 697,
  kSplitWriteNode = 703,
  kSplitWriteRecords = 705,
  kSplitWriteSlots = 706,
  kSplitWriteHeader = 717,
  kMoveRecordsBuffer = 738,
  kMoveReadRecords = 739,
  kMoveSlotsBuffer = 743,
  kMoveReadSlots = 744,
  kMoveWriteRecords = 753,
  kMoveWriteSlotsUp = 756,        // shift +1: one more slot
  kMoveWriteSlotsDown = 758,      // shift -1: one slot fewer
  kMoveWriteSlots = 760,          // shift 0

  // Putting a record into a node (btree_insert.cpp).
  kDoAddScan = 805,
  kDoAddInsertKey = 832,
  kDoAddInsertData = 833,
  kDoAddInsertSlot = 837,
  kDoAddAppendKey = 843,
  kDoAddAppendData = 844,
  kDoAddAppendSlot = 849,
  kDoAddWriteNode = 857,
  kDoAddWriteHeader = 858,

  // A new root (btree_insert.cpp).
  kNewRootReadRootKey = 879,
  kNewRootReadSiblingKey = 880,
  kNewRootWriteRootKey = 895,
  kNewRootWriteRootPointer = 897,
  kNewRootWriteSiblingKey = 899,
  kNewRootWriteSiblingPointer = 902,
  kNewRootWriteSlot0 = 905,
  kNewRootWriteSlot1 = 908,
  kNewRootWriteSlot2 = 911,
  kNewRootWriteNode = 913,
  kNewRootWriteHeader = 914,

  // Search (btree_search.cpp).
  kSearchScan = 42,
  kSearchData = 47,               // a leaf record that cannot be read

  // Descending to insert (btree_insert.cpp).
  kAddRecordScan = 966,
  kAddRecordFirstKey = 1016,
  kAddRecordWriteKey = 1044,
  kAddRecordWritePointer = 1045,
  kAddRecordSplitKey = 1061,

  // The first record of an empty tree (btree_insert.cpp).
  kAddTooLarge = 112,             // btree_add_or_die: record larger than half a node
  kAddFirstKey = 1117,
  kAddFirstData = 1118,
  kAddFirstSlot0 = 1121,
  kAddFirstSlot1 = 1124,
  kAddFirstNode = 1126,
  kAddFirstHeader = 1127,

  // Removal (btree_remove.cpp).
  kRemoveScan = 1184,
  kRemoveWriteLeaf = 1202,
  kRemoveWriteHeader = 1203,
  kRemoveChildKey = 1256,
  kRemoveWriteIndex = 1268,
  kRemoveFirstKey = 1274,
  kRemoveRewriteKey = 1292,
  kRemoveRewritePointer = 1294,
  kRemoveSplitKey = 1316,

  // Catalog codecs (catalog_keys.cpp).
  kReadKeyAlloc = 469,            // catalog_readkey: malloc
  kReadDataFolderAlloc = 561,     // catalog_readdata: malloc for a folder record
  kReadDataFileAlloc = 569,       // catalog_readdata: malloc for a file record
  kReadDataThreadAlloc = 577,     // catalog_readdata: malloc for a thread record
  kEncodeFolderAlloc = 181,       // catalog_encode_record: malloc for a folder record
  kEncodeFileAlloc = 186,         // catalog_encode_record: malloc for a file record
  kEncodeThreadAlloc = 193,       // catalog_encode_record: malloc for a thread record

  // Catalog diagnostics (catalog_keys.cpp, catalog_update.cpp).
  kReadDataThreadName = 156,      // catalog_readdata: thread name longer than 255
  kReadDataUnknownType = 590,     // catalog_readdata: unknown record type
  kUpdateNoThread = 212,          // volume_update_catalog: no thread record
  kUpdateRecordType = 967,        // volume_update_catalog: a record of another kind
  kUpdateWrite = 244,             // volume_update_catalog: the record's bytes

  // Creating items (catalog_update.cpp).
  kCreateFolderAlloc = 994,       // volume_create_folder: malloc of the path's copy
  kCreateFolderParent = 1013,     // volume_create_folder: parent is not a folder
  kCreateFolderUpdate = 1059,     // volume_create_folder: volume_update failed
  kCreateFileAlloc = 1088,        // volume_create_file: malloc of the path's copy
  kCreateFileParent = 1107,       // volume_create_file: parent is not a folder

  // Catalog lookups (catalog_lookup.cpp).
  kFolderContentsKey = 682,       // volume_get_folder_contents: a record's key
  kFolderContentsData = 694,      // volume_get_folder_contents: a record's data
  kLinkTargetRead = 743,          // getLinkTarget: a symbolic link's target

  // Opening a volume (volume.cpp).
  kOpenAlloc = 39,                // volume_open: malloc

  // Forks and block allocation (fork_io.cpp).
  kAllocReadBitmap = 105,         // hfsfile_allocate_or_die: a bitmap byte while searching
  kAllocNoFreeBlocks = 119,       // hfsfile_allocate_or_die: fewer free blocks than needed
  kAllocZeroBlockBuffer = 121,    // hfsfile_allocate_or_die: malloc of one zeroed block
  kAllocBitmapFull = 143,         // hfsfile_allocate_or_die: no clear bit though freeBlocks says so
  kAllocWriteZeroBlock = 157,     // hfsfile_allocate_or_die: zeroing a new block
  kAllocOverflowOfOverflow = 213,  // hfsfile_allocate_or_die: the extents file past eight extents
  kAllocTooLarge = 282,           // hfsfile_allocate_or_die: more blocks than the volume has
  kAllocTailBuffer = 288,         // hfsfile_allocate_or_die: malloc of the zeroed tail
  kAllocWriteTail = 290,          // hfsfile_allocate_or_die: zeroing past the old logical size
  kOpenForkAlloc = 234,           // volume_open_hfsfile: malloc
  kOpenForkNoExtentsTree = 240,   // volume_open_hfsfile: no extents overflow file loaded yet
  kOpenForkInconsistent = 243,    // volume_open_hfsfile: inconsistent extents information
  kForkRead = 250,                // hfsfile_read: the device read failed
  kForkWrite = 258,               // hfsfile_write: the device write failed
  kMarkBlockRead = 269,           // volume_mark_block_usage_or_die: a bitmap byte
  kMarkBlockWrite = 274,          // volume_mark_block_usage_or_die: the same byte changed

  // The formatter's map nodes (format_btree.cpp).
  kWriteMapNodesSize = 1134,      // node size not a whole number of sectors
  kWriteMapNodesWrite = 1138,     // a failed write
};

}  // namespace msgno
}  // namespace volpack
