// Insertion: descend to the leaf, split full nodes by record count, push
// pointer records up, put a new root above a split root.
//
// A record is its key (keyLength + 2 bytes) followed at once by its data,
// never padded; an index record is the child's first key and the child's node
// number (4 bytes, big-endian). Every change is written at once, and the header
// after each step that changes it.
#include <algorithm>
#include <vector>

#include "hfs/btree.h"
#include "hfs/btree_cache.h"
#include "hfs/btree_internal.h"
#include "io/bytes.h"
#include "io/run_context.h"

namespace volpack {

namespace {

// Where a key belongs in a node: the index of the first record ordering after
// it (or numRecords), whether an equal key is there, and the data position of
// the last record ordering before it.
struct scan_t {
  uint16_t index = 0;
  bool equal = false;
  bool have_last = false;
  uint64_t last = 0;
};

result<scan_t> scan_node(btree_t* tree, NodeNumber node, const BTNodeDescriptor& desc, const btree_key_t& key,
                         const char* func, int number) {
  // A node's keys are in order: halving finds the first record that does not
  // order before the key. The last record found ordering before it is the
  // one just before the position (not set when the key is there).
  scan_t s;
  uint16_t lo = 0, hi = desc.numRecords;
  while (lo < hi) {
    uint16_t mid = static_cast<uint16_t>(lo + (hi - lo) / 2);
    uint64_t offset;
    VOLPACK_ASSIGN_OR_RETURN(offset, btree_get_record_offset(tree, node, mid));
    std::unique_ptr<btree_key_t> hold;
    const btree_key_t* record_key;
    VOLPACK_ASSIGN_OR_RETURN(record_key, btree_peek_key(tree, offset, &hold, func, number));
    int c = tree->callbacks->btree_compare(*record_key, key);
    if (c == 0) {
      s.index = mid;
      s.equal = true;
      return s;
    }
    if (c < 0) {
      s.have_last = true;
      s.last = offset + record_key->key_length() + 2;
      lo = static_cast<uint16_t>(mid + 1);
    } else {
      hi = mid;
    }
  }
  s.index = lo;
  return s;
}

// Adds the record at the place `s` found in `node` (whose descriptor is
// `desc`), as doAddRecord does once it has scanned the node.
status add_at(btree_t* tree, NodeNumber node, BTNodeDescriptor desc, const scan_t& s, const btree_key_t& key,
              uint16_t data_length, const uint8_t* data);

// Bytes a record takes in a node, its offset slot included.
uint32_t item_bytes(const btree_key_t& key, uint32_t data_length) {
  return key.key_length() + 2u + data_length + 2u;
}

// The largest record a node may hold: any two of them then fit in one node, so
// that a split always leaves room for the record that caused it.
bool record_fits_tree(const btree_t* tree, const btree_key_t& key, uint32_t data_length) {
  return item_bytes(key, std::max<uint32_t>(data_length, 4)) <= btree_node_capacity(tree) / 2;
}

// Records `from` .. `to` - 1 of a node, with their slots, given the node's offsets.
uint32_t span_bytes(const std::vector<uint64_t>& offsets, uint32_t from, uint32_t to) {
  return static_cast<uint32_t>(offsets[to] - offsets[from]) + 2 * (to - from);
}

status write_pointer_record(btree_t* tree, uint64_t at, const btree_key_t& key, NodeNumber child, const char* func,
                            int key_number, int pointer_number) {
  if (!tree->callbacks->btree_write_key(at, tree->io.get(), key))
    return status_errorf("%s():%d: btree_write_key error\n", func, key_number);
  if (!btree_write_u32(tree->io.get(), at + key.key_length() + 2, child))
    return status_errorf("%s():%d: io_write error\n", func, pointer_number);
  return status::ok();
}

void warn(btree_t* tree, const char* text) {
  if (tree->reporter != nullptr) tree->reporter->warnf("%s", text);
}

// The first key of node `node`.
result<std::unique_ptr<btree_key_t>> first_key(btree_t* tree, NodeNumber node, const char* func, int number) {
  uint64_t offset;
  VOLPACK_ASSIGN_OR_RETURN(offset, btree_get_record_offset(tree, node, 0));
  return btree_read_key(tree, offset, tree->io.get(), func, number);
}

// Puts the pointer to `sibling` (under its first key) into `node` at position
// `pos`, splitting `node` when it has no room; gives the split's new node or 0.
result<NodeNumber> link_sibling(btree_t* tree, NodeNumber node, BTNodeDescriptor* desc, uint64_t free_bytes,
                                uint32_t pos, bool into_new_by_half, const btree_key_t& sibling_key,
                                NodeNumber sibling) {
  uint8_t pointer[4];
  put_be32(pointer, sibling);
  uint32_t item = item_bytes(sibling_key, 4);
  if (free_bytes >= item) {
    VOLPACK_RETURN_IF_ERROR(doAddRecord(tree, node, sibling_key, 4, pointer));
    return NodeNumber{0};
  }
  btree_split_t split;
  VOLPACK_ASSIGN_OR_RETURN(split, btree_choose_split(tree, node, *desc, pos, into_new_by_half, item));
  NodeNumber added;
  VOLPACK_ASSIGN_OR_RETURN(added, splitNode(tree, node, desc, split.keep));
  VOLPACK_RETURN_IF_ERROR(doAddRecord(tree, split.into_new ? added : node, sibling_key, 4, pointer));
  return added;
}

}  // namespace

result<btree_split_t> btree_choose_split(btree_t* tree, NodeNumber node, const BTNodeDescriptor& desc, uint32_t pos,
                                         bool into_new_by_half, uint32_t item) {
  const uint32_t n = desc.numRecords;
  const uint32_t capacity = btree_node_capacity(tree);
  const uint16_t half = static_cast<uint16_t>(n / 2);
  uint64_t base = btree_node_offset(tree, node);
  uint64_t at_half, at_end;
  VOLPACK_ASSIGN_OR_RETURN(at_half, btree_get_record_offset(tree, node, half));
  VOLPACK_ASSIGN_OR_RETURN(at_end, btree_get_record_offset(tree, node, static_cast<uint16_t>(n)));
  at_half -= base;
  at_end -= base;
  uint64_t side = into_new_by_half ? (at_end - at_half) + 2ull * (n - half)
                                   : (at_half - kBTNodeDescriptorSize) + 2ull * half;
  if (side + item <= capacity) return btree_split_t{half, into_new_by_half};

  // Half the records leave the item no room: records of very different sizes.
  // Take the split nearest the middle where both halves fit with the item and
  // each keeps at least one of the old records. One exists when no item
  // exceeds half a node: before the item, the records up to where they fill a
  // node stay; the others and the item fit in the new node.
  std::vector<uint64_t> offsets(n + 1);
  for (uint32_t j = 0; j <= n; ++j) {
    VOLPACK_ASSIGN_OR_RETURN(offsets[j], btree_get_record_offset(tree, node, static_cast<uint16_t>(j)));
  }
  auto fits = [&](uint32_t keep, bool into_new) {
    if (into_new ? pos < keep : pos > keep) return false;
    uint32_t left = span_bytes(offsets, 0, keep) + (into_new ? 0 : item);
    uint32_t right = span_bytes(offsets, keep, n) + (into_new ? item : 0);
    return left <= capacity && right <= capacity;
  };
  for (uint32_t d = 0; d <= n; ++d) {
    for (uint32_t keep : {half - d, half + d}) {
      if (keep < 1 || keep >= n) continue;  // half - d wraps to a large number
      if (fits(keep, into_new_by_half)) return btree_split_t{static_cast<uint16_t>(keep), into_new_by_half};
      if (fits(keep, !into_new_by_half)) return btree_split_t{static_cast<uint16_t>(keep), !into_new_by_half};
    }
  }
  return btree_split_t{half, into_new_by_half};  // a node of one record always has room
}

status btree_add(btree_t* tree, const btree_key_t& key, uint16_t data_length, const uint8_t* data) {
  if (!record_fits_tree(tree, key, data_length))
    return status_errorf("btree_add_or_die():%d: record of %u bytes too large for node size %u\n",
                         msgno::kAddTooLarge, static_cast<unsigned>(key.key_length() + 2u + data_length),
                         static_cast<unsigned>(tree->header.nodeSize));
  BTHeaderRec& h = tree->header;
  if (h.rootNode != 0) {
    NodeNumber sibling;
    VOLPACK_ASSIGN_OR_RETURN(sibling, addRecord(tree, h.rootNode, key, data_length, data));
    if (sibling != 0) VOLPACK_RETURN_IF_ERROR(btree_increase_height(tree, sibling));
    return status::ok();
  }

  NodeNumber root;
  VOLPACK_ASSIGN_OR_RETURN(root, btree_get_new_node_number(tree));
  h.rootNode = h.firstLeafNode = h.lastLeafNode = root;
  h.leafRecords = 1;
  h.treeDepth = 1;
  io_t* io = tree->io.get();
  uint32_t k = key.key_length() + 2u;
  uint64_t at = btree_node_offset(tree, root) + kBTNodeDescriptorSize;
  if (!tree->callbacks->btree_write_key(at, io, key))
    return status_errorf("btree_add_or_die():%d: btree_write_key error\n", msgno::kAddFirstKey);
  if (!io_write(io, at + k, data_length, data))
    return status_errorf("btree_add_or_die():%d: io_write error\n", msgno::kAddFirstData);
  if (!btree_write_u16(io, btree_slot_offset(tree, root, 0), kBTNodeDescriptorSize))
    return status_errorf("btree_add_or_die():%d: io_write error\n", msgno::kAddFirstSlot0);
  if (!btree_write_u16(io, btree_slot_offset(tree, root, 1),
                       static_cast<uint16_t>(kBTNodeDescriptorSize + k + data_length)))
    return status_errorf("btree_add_or_die():%d: io_write error\n", msgno::kAddFirstSlot1);
  BTNodeDescriptor d;
  d.kind = kBTLeafNode;
  d.height = 1;
  d.numRecords = 1;
  if (!btree_write_BTNodeDescriptor(tree, root, d))
    return status_errorf("btree_add_or_die():%d: btree_write_BTNodeDescriptor error\n", msgno::kAddFirstNode);
  if (!writeBTHeaderRec(tree))
    return status_errorf("btree_add_or_die():%d: writeBTHeaderRec error\n", msgno::kAddFirstHeader);
  return status::ok();
}

result<NodeNumber> addRecord(btree_t* tree, NodeNumber node, const btree_key_t& key, uint16_t data_length,
                             const uint8_t* data) {
  BTNodeDescriptor desc;
  VOLPACK_ASSIGN_OR_RETURN(desc, btree_read_descriptor(tree, node));
  io_t* io = tree->io.get();
  uint64_t free_bytes;
  VOLPACK_ASSIGN_OR_RETURN(free_bytes, btree_get_free_space(tree, node, desc));
  if (desc.numRecords == 0 && desc.kind == kBTLeafNode)
    warn(tree, "addRecord(): WARNING: running into undefined behaviour!\n");
  scan_t s;
  VOLPACK_ASSIGN_OR_RETURN(s, scan_node(tree, node, desc, key, "addRecord", msgno::kAddRecordScan));
  if (s.equal) return NodeNumber{0};

  if (desc.kind == kBTLeafNode) {
    uint32_t item = item_bytes(key, data_length);
    if (free_bytes >= item) {
      // The leaf was just scanned: the record goes where the scan found.
      if (desc.numRecords == 0) warn(tree, "doAddRecord(): WARNING: running into undefined behaviour!\n");
      VOLPACK_RETURN_IF_ERROR(add_at(tree, node, desc, s, key, data_length, data));
      return NodeNumber{0};
    }
    btree_split_t split;
    VOLPACK_ASSIGN_OR_RETURN(split,
                             btree_choose_split(tree, node, desc, s.index, s.index >= desc.numRecords / 2, item));
    NodeNumber sibling;
    VOLPACK_ASSIGN_OR_RETURN(sibling, splitNode(tree, node, &desc, split.keep));
    VOLPACK_RETURN_IF_ERROR(doAddRecord(tree, split.into_new ? sibling : node, key, data_length, data));
    return sibling;
  }

  NodeNumber child_split = 0;
  uint32_t pos = s.index;  // where the pointer to a new child goes
  if (s.have_last) {
    NodeNumber child;
    VOLPACK_ASSIGN_OR_RETURN(child, getNodeNumberFromPointerRecord(s.last, io));
    VOLPACK_ASSIGN_OR_RETURN(child_split, addRecord(tree, child, key, data_length, data));
    if (child_split == 0) return NodeNumber{0};
  } else {
    // The new key becomes the smallest under this node: the first index
    // record takes it, still pointing to the same child.
    if (desc.numRecords == 0) return status_errorf("addRecord(): ERROR: empty index node in btree\n");
    uint64_t first;
    VOLPACK_ASSIGN_OR_RETURN(first, btree_get_record_offset(tree, node, 0));
    std::unique_ptr<btree_key_t> old_key;
    VOLPACK_ASSIGN_OR_RETURN(old_key, btree_read_key(tree, first, io, "addRecord", msgno::kAddRecordFirstKey));
    NodeNumber child;
    VOLPACK_ASSIGN_OR_RETURN(child, getNodeNumberFromPointerRecord(first + old_key->key_length() + 2, io));
    int delta = static_cast<int>(key.key_length()) - static_cast<int>(old_key->key_length());
    pos = 1;
    if (delta > 0 && static_cast<uint64_t>(delta) > free_bytes) {
      // No room for the longer key: insert below first, then split this node
      // so that the first record, the longer key and the new child's pointer
      // fit in its left half.
      VOLPACK_ASSIGN_OR_RETURN(child_split, addRecord(tree, child, key, data_length, data));
      std::unique_ptr<btree_key_t> split_key;
      uint32_t extra = static_cast<uint32_t>(delta);
      if (child_split != 0) {
        VOLPACK_ASSIGN_OR_RETURN(split_key, first_key(tree, child_split, "addRecord", msgno::kAddRecordSplitKey));
        extra += item_bytes(*split_key, 4);
      }
      uint64_t base = btree_node_offset(tree, node);
      uint16_t keep = static_cast<uint16_t>(desc.numRecords / 2);
      // A node this full holds at least two records, so keep stays >= 1.
      for (; keep > 1; --keep) {
        uint64_t at;
        VOLPACK_ASSIGN_OR_RETURN(at, btree_get_record_offset(tree, node, keep));
        if ((at - base - kBTNodeDescriptorSize) + 2u * keep + extra <= btree_node_capacity(tree)) break;
      }
      NodeNumber sibling;
      VOLPACK_ASSIGN_OR_RETURN(sibling, splitNode(tree, node, &desc, keep));
      VOLPACK_RETURN_IF_ERROR(moveRecordsDown(tree, desc, 1, node, delta, 0));
      VOLPACK_RETURN_IF_ERROR(write_pointer_record(tree, first, key, child, "addRecord", msgno::kAddRecordWriteKey,
                                                   msgno::kAddRecordWritePointer));
      if (child_split != 0) {
        uint8_t pointer[4];
        put_be32(pointer, child_split);
        VOLPACK_RETURN_IF_ERROR(doAddRecord(tree, node, *split_key, 4, pointer));
      }
      return sibling;
    }
    if (delta != 0) {
      VOLPACK_RETURN_IF_ERROR(moveRecordsDown(tree, desc, 1, node, delta, 0));
      free_bytes -= delta;
    }
    VOLPACK_RETURN_IF_ERROR(write_pointer_record(tree, first, key, child, "addRecord", msgno::kAddRecordWriteKey,
                                                 msgno::kAddRecordWritePointer));
    VOLPACK_ASSIGN_OR_RETURN(child_split, addRecord(tree, child, key, data_length, data));
    if (child_split == 0) return NodeNumber{0};
  }

  // Link the child's new sibling, under its first key as it is now.
  std::unique_ptr<btree_key_t> split_key;
  VOLPACK_ASSIGN_OR_RETURN(split_key, first_key(tree, child_split, "addRecord", msgno::kAddRecordSplitKey));
  return link_sibling(tree, node, &desc, free_bytes, pos, s.index >= desc.numRecords / 2, *split_key, child_split);
}

status doAddRecord(btree_t* tree, NodeNumber node, const btree_key_t& key, uint16_t data_length,
                   const uint8_t* data) {
  BTNodeDescriptor desc;
  VOLPACK_ASSIGN_OR_RETURN(desc, btree_read_descriptor(tree, node));
  if (desc.numRecords == 0) warn(tree, "doAddRecord(): WARNING: running into undefined behaviour!\n");
  scan_t s;
  VOLPACK_ASSIGN_OR_RETURN(s, scan_node(tree, node, desc, key, "doAddRecord", msgno::kDoAddScan));
  return add_at(tree, node, desc, s, key, data_length, data);
}

namespace {

status add_at(btree_t* tree, NodeNumber node, BTNodeDescriptor desc, const scan_t& s, const btree_key_t& key,
              uint16_t data_length, const uint8_t* data) {
  if (s.equal) return status::ok();
  io_t* io = tree->io.get();
  const BTreeCallbacks* cb = tree->callbacks;
  uint64_t base = btree_node_offset(tree, node);
  uint32_t k = key.key_length() + 2u;

  if (s.index == desc.numRecords) {
    uint64_t at;
    VOLPACK_ASSIGN_OR_RETURN(at, btree_get_record_offset(tree, node, desc.numRecords));
    if (!cb->btree_write_key(at, io, key))
      return status_errorf("doAddRecord():%d: btree_write_key error\n", msgno::kDoAddAppendKey);
    if (!io_write(io, at + k, data_length, data))
      return status_errorf("doAddRecord():%d: io_write error\n", msgno::kDoAddAppendData);
    if (!btree_write_u16(io, btree_slot_offset(tree, node, desc.numRecords + 1u),
                         static_cast<uint16_t>(at - base + k + data_length)))
      return status_errorf("doAddRecord():%d: io_write error\n", msgno::kDoAddAppendSlot);
  } else {
    uint64_t at;
    VOLPACK_ASSIGN_OR_RETURN(at, btree_get_record_offset(tree, node, s.index));
    VOLPACK_RETURN_IF_ERROR(moveRecordsDown(tree, desc, s.index, node, static_cast<int>(k + data_length), +1));
    if (!cb->btree_write_key(at, io, key))
      return status_errorf("doAddRecord():%d: btree_write_key error\n", msgno::kDoAddInsertKey);
    if (!io_write(io, at + k, data_length, data))
      return status_errorf("doAddRecord():%d: io_write error\n", msgno::kDoAddInsertData);
    if (!btree_write_u16(io, btree_slot_offset(tree, node, s.index), static_cast<uint16_t>(at - base)))
      return status_errorf("doAddRecord():%d: io_write error\n", msgno::kDoAddInsertSlot);
  }
  ++desc.numRecords;
  if (desc.height == 1) {
    ++tree->header.leafRecords;
    tree->last_leaf_node = node;
    tree->last_leaf_index = s.index;
  }
  if (!btree_write_BTNodeDescriptor(tree, node, desc))
    return status_errorf("doAddRecord():%d: btree_write_BTNodeDescriptor error\n", msgno::kDoAddWriteNode);
  if (!writeBTHeaderRec(tree))
    return status_errorf("doAddRecord():%d: writeBTHeaderRec error\n", msgno::kDoAddWriteHeader);
  return status::ok();
}

}  // namespace

result<NodeNumber> splitNode(btree_t* tree, NodeNumber node, BTNodeDescriptor* desc) {
  return splitNode(tree, node, desc, static_cast<uint16_t>(desc->numRecords / 2));
}

result<NodeNumber> splitNode(btree_t* tree, NodeNumber node, BTNodeDescriptor* desc, uint16_t keep) {
  io_t* io = tree->io.get();
  const uint16_t n = desc->numRecords;
  const uint16_t move = static_cast<uint16_t>(n - keep);
  uint64_t base = btree_node_offset(tree, node);
  uint64_t from, end;
  VOLPACK_ASSIGN_OR_RETURN(from, btree_get_record_offset(tree, node, keep));
  VOLPACK_ASSIGN_OR_RETURN(end, btree_get_record_offset(tree, node, n));

  std::vector<uint8_t> records;
  VOLPACK_RETURN_IF_ERROR(hfs_buffer(&records, end - from, "splitNode", msgno::kSplitRecordsBuffer));
  if (!io_read(io, from, end - from, records.data()))
    return status_errorf("splitNode():%d: io_read error\n", msgno::kSplitReadRecords);
  // Slots n down to keep, a run at the node's end; slot keep + j becomes the
  // new node's slot j, its records starting at offset 14.
  std::vector<uint8_t> slots;
  VOLPACK_RETURN_IF_ERROR(hfs_buffer(&slots, 2u * (move + 1u), "splitNode", msgno::kSplitSlotsBuffer));
  if (!io_read(io, btree_slot_offset(tree, node, n), slots.size(), slots.data()))
    return status_errorf("splitNode():%d: io_read error\n", msgno::kSplitReadSlots);
  uint16_t shift = static_cast<uint16_t>(from - base - kBTNodeDescriptorSize);
  for (size_t j = 0; j < slots.size(); j += 2) put_be16(&slots[j], static_cast<uint16_t>(get_be16(&slots[j]) - shift));

  NodeNumber sibling;
  VOLPACK_ASSIGN_OR_RETURN(sibling, btree_get_new_node_number(tree));
  BTNodeDescriptor sd;
  sd.fLink = desc->fLink;
  sd.bLink = node;
  sd.kind = desc->kind;
  sd.height = desc->height;
  sd.numRecords = move;
  if (!btree_write_BTNodeDescriptor(tree, sibling, sd))
    return status_errorf("splitNode():%d: btree_write_BTNodeDescriptor error\n", msgno::kSplitWriteSibling);
  if (desc->fLink != 0) {
    BTNodeDescriptor next;
    VOLPACK_ASSIGN_OR_RETURN(next, btree_read_descriptor(tree, desc->fLink));
    next.bLink = sibling;
    if (!btree_write_BTNodeDescriptor(tree, desc->fLink, next))
      return status_errorf("splitNode():%d: btree_write_BTNodeDescriptor error\n", msgno::kSplitWriteNext);
  }
  desc->fLink = sibling;
  desc->numRecords = keep;
  if (!btree_write_BTNodeDescriptor(tree, node, *desc))
    return status_errorf("splitNode():%d: btree_write_BTNodeDescriptor error\n", msgno::kSplitWriteNode);
  if (!io_write(io, btree_node_offset(tree, sibling) + kBTNodeDescriptorSize, records.size(), records.data()))
    return status_errorf("splitNode():%d: io_write error\n", msgno::kSplitWriteRecords);
  if (!io_write(io, btree_slot_offset(tree, sibling, move), slots.size(), slots.data()))
    return status_errorf("splitNode():%d: io_write error\n", msgno::kSplitWriteSlots);
  if (desc->kind == kBTLeafNode && tree->header.lastLeafNode == node) {
    tree->header.lastLeafNode = sibling;
    if (!writeBTHeaderRec(tree))
      return status_errorf("splitNode():%d: writeBTHeaderRec error\n", msgno::kSplitWriteHeader);
  }
  return sibling;
}

status moveRecordsDown(btree_t* tree, const BTNodeDescriptor& desc, uint16_t from, NodeNumber node, int delta,
                       int shift) {
  io_t* io = tree->io.get();
  const uint16_t n = desc.numRecords;
  uint64_t start, end;
  VOLPACK_ASSIGN_OR_RETURN(start, btree_get_record_offset(tree, node, from));
  VOLPACK_ASSIGN_OR_RETURN(end, btree_get_record_offset(tree, node, n));
  std::vector<uint8_t> records;
  VOLPACK_RETURN_IF_ERROR(hfs_buffer(&records, end - start, "moveRecordsDown", msgno::kMoveRecordsBuffer));
  if (!io_read(io, start, records.size(), records.data()))
    return status_errorf("moveRecordsDown():%d: io_read error\n", msgno::kMoveReadRecords);
  std::vector<uint8_t> slots;
  VOLPACK_RETURN_IF_ERROR(hfs_buffer(&slots, 2u * (n - from + 1u), "moveRecordsDown", msgno::kMoveSlotsBuffer));
  if (!io_read(io, btree_slot_offset(tree, node, n), slots.size(), slots.data()))
    return status_errorf("moveRecordsDown():%d: io_read error\n", msgno::kMoveReadSlots);
  for (size_t j = 0; j < slots.size(); j += 2)
    put_be16(&slots[j], static_cast<uint16_t>(get_be16(&slots[j]) + delta));
  if (!io_write(io, start + delta, records.size(), records.data()))
    return status_errorf("moveRecordsDown():%d: io_write error\n", msgno::kMoveWriteRecords);
  uint32_t slot = shift > 0 ? n + 1u : shift == 0 ? n : n - 1u;
  int number = shift > 0 ? msgno::kMoveWriteSlotsUp : shift == 0 ? msgno::kMoveWriteSlots : msgno::kMoveWriteSlotsDown;
  if (!io_write(io, btree_slot_offset(tree, node, slot), slots.size(), slots.data()))
    return status_errorf("moveRecordsDown():%d: io_write error\n", number);
  return status::ok();
}

status btree_increase_height(btree_t* tree, NodeNumber sibling) {
  io_t* io = tree->io.get();
  BTHeaderRec& h = tree->header;
  NodeNumber root = h.rootNode;
  std::unique_ptr<btree_key_t> root_key, sibling_key;
  VOLPACK_ASSIGN_OR_RETURN(root_key, first_key(tree, root, "btree_increase_height_or_die", msgno::kNewRootReadRootKey));
  VOLPACK_ASSIGN_OR_RETURN(sibling_key,
                           first_key(tree, sibling, "btree_increase_height_or_die", msgno::kNewRootReadSiblingKey));
  NodeNumber top;
  VOLPACK_ASSIGN_OR_RETURN(top, btree_get_new_node_number(tree));
  uint16_t second = static_cast<uint16_t>(kBTNodeDescriptorSize + root_key->key_length() + 6);
  uint16_t end = static_cast<uint16_t>(second + sibling_key->key_length() + 6);
  BTNodeDescriptor d;
  d.kind = kBTIndexNode;
  d.height = static_cast<uint8_t>(h.treeDepth + 1);
  d.numRecords = 2;
  h.rootNode = top;
  ++h.treeDepth;

  const char* func = "btree_increase_height_or_die";
  uint64_t base = btree_node_offset(tree, top);
  VOLPACK_RETURN_IF_ERROR(write_pointer_record(tree, base + kBTNodeDescriptorSize, *root_key, root, func,
                                               msgno::kNewRootWriteRootKey, msgno::kNewRootWriteRootPointer));
  VOLPACK_RETURN_IF_ERROR(write_pointer_record(tree, base + second, *sibling_key, sibling, func,
                                               msgno::kNewRootWriteSiblingKey, msgno::kNewRootWriteSiblingPointer));
  if (!btree_write_u16(io, btree_slot_offset(tree, top, 0), kBTNodeDescriptorSize))
    return status_errorf("%s():%d: io_write error\n", func, msgno::kNewRootWriteSlot0);
  if (!btree_write_u16(io, btree_slot_offset(tree, top, 1), second))
    return status_errorf("%s():%d: io_write error\n", func, msgno::kNewRootWriteSlot1);
  if (!btree_write_u16(io, btree_slot_offset(tree, top, 2), end))
    return status_errorf("%s():%d: io_write error\n", func, msgno::kNewRootWriteSlot2);
  if (!btree_write_BTNodeDescriptor(tree, top, d))
    return status_errorf("%s():%d: btree_write_BTNodeDescriptor error\n", func, msgno::kNewRootWriteNode);
  if (!writeBTHeaderRec(tree)) return status_errorf("%s():%d: writeBTHeaderRec error\n", func, msgno::kNewRootWriteHeader);
  return status::ok();
}

}  // namespace volpack
