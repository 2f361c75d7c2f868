// Insertion: descend to the leaf, split full nodes by record count, push
// pointer records up, put a new root above a split root.
//
// A record is its key (keyLength + 2 bytes) followed at once by its data,
// never padded; an index record is the child's first key and the child's node
// number (4 bytes, big-endian). Every change is written at once, and the header
// after each step that changes it.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "hfs/btree.h"
#include "hfs/btree_internal.h"
#include "io/bytes.h"
#include "io/die.h"

namespace volpack {

namespace {

// Where a key belongs in a node: the index of the first record ordering after
// it (or numRecords), whether an equal key is there, and the data position of
// the last record ordering before it (not set when the key is there).
struct scan_t {
  uint16_t index = 0;
  bool equal = false;
  bool have_last = false;
  uint64_t last = 0;
};

scan_t scan_node(btree_t* tree, NodeNumber node, const BTNodeDescriptor& desc, const btree_key_t& key,
                 const char* func, int line) {
  // A node's keys are in order: halving finds the first record that does not
  // order before the key.
  scan_t s;
  io_t* io = tree->io.get();
  uint16_t lo = 0, hi = desc.numRecords;
  while (lo < hi) {
    uint16_t mid = static_cast<uint16_t>(lo + (hi - lo) / 2);
    uint64_t offset = btree_get_record_offset_or_die(tree, node, mid);
    auto record_key = btree_read_key_or_die(tree, offset, io, func, line);
    int c = tree->callbacks->btree_compare(*record_key, key);
    if (c == 0) {
      lo = mid;
      s.equal = true;
      break;
    }
    if (c < 0) {
      lo = static_cast<uint16_t>(mid + 1);
      s.have_last = true;
      s.last = offset + record_key->key_length() + 2;
    } else {
      hi = mid;
    }
  }
  // The last record found ordering before the key is the one just before
  // the position (when there is no equal key).
  s.index = lo;
  return s;
}

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

void write_pointer_record(btree_t* tree, uint64_t at, const btree_key_t& key, NodeNumber child,
                          const char* func, int key_line, int ptr_line) {
  if (!tree->callbacks->btree_write_key(at, tree->io.get(), key))
    die("%s():%d: btree_write_key error\n", func, key_line);
  if (!btree_write_u32(tree->io.get(), at + key.key_length() + 2, child)) die("%s():%d: io_write error\n", func, ptr_line);
}

}  // namespace

btree_split_t btree_choose_split(btree_t* tree, NodeNumber node, const BTNodeDescriptor& desc, uint32_t pos,
                                 bool into_new_by_half, uint32_t item) {
  const uint32_t n = desc.numRecords;
  const uint32_t capacity = btree_node_capacity(tree);
  const uint16_t half = static_cast<uint16_t>(n / 2);
  uint64_t base = btree_node_offset(tree, node);
  uint64_t at_half = btree_get_record_offset_or_die(tree, node, half) - base;
  uint64_t at_end = btree_get_record_offset_or_die(tree, node, static_cast<uint16_t>(n)) - base;
  uint64_t side = into_new_by_half ? (at_end - at_half) + 2ull * (n - half)
                                   : (at_half - kBTNodeDescriptorSize) + 2ull * half;
  if (side + item <= capacity) return {half, into_new_by_half};

  // Half the records leave the item no room: records of very different sizes.
  // Take the split nearest the middle where both halves fit with the item and
  // each keeps at least one of the old records. One exists when no item
  // exceeds half a node: before the item, the records up to where they fill a
  // node stay; the others and the item fit in the new node.
  std::vector<uint64_t> offsets(n + 1);
  for (uint32_t j = 0; j <= n; ++j) offsets[j] = btree_get_record_offset_or_die(tree, node, static_cast<uint16_t>(j));
  auto fits = [&](uint32_t keep, bool into_new) {
    if (into_new ? pos < keep : pos > keep) return false;
    uint32_t left = span_bytes(offsets, 0, keep) + (into_new ? 0 : item);
    uint32_t right = span_bytes(offsets, keep, n) + (into_new ? item : 0);
    return left <= capacity && right <= capacity;
  };
  for (uint32_t d = 0; d <= n; ++d) {
    for (uint32_t keep : {half - d, half + d}) {
      if (keep < 1 || keep >= n) continue;  // half - d wraps to a large number
      if (fits(keep, into_new_by_half)) return {static_cast<uint16_t>(keep), into_new_by_half};
      if (fits(keep, !into_new_by_half)) return {static_cast<uint16_t>(keep), !into_new_by_half};
    }
  }
  return {half, into_new_by_half};  // a node of one record always has room
}

void btree_add_or_die(btree_t* tree, const btree_key_t& key, uint16_t data_length, const uint8_t* data) {
  if (!record_fits_tree(tree, key, data_length))
    die("btree_add_or_die():%d: record of %u bytes too large for node size %u\n", __LINE__,
        static_cast<unsigned>(key.key_length() + 2u + data_length), static_cast<unsigned>(tree->header.nodeSize));
  BTHeaderRec& h = tree->header;
  if (h.rootNode != 0) {
    NodeNumber sibling = addRecord(tree, h.rootNode, key, data_length, data);
    if (sibling != 0) btree_increase_height_or_die(tree, sibling);
    return;
  }

  NodeNumber root = btree_get_new_node_number(tree);
  h.rootNode = h.firstLeafNode = h.lastLeafNode = root;
  h.leafRecords = 1;
  h.treeDepth = 1;
  io_t* io = tree->io.get();
  uint32_t k = key.key_length() + 2u;
  uint64_t at = btree_node_offset(tree, root) + kBTNodeDescriptorSize;
  if (!tree->callbacks->btree_write_key(at, io, key)) die("btree_add_or_die():%d: btree_write_key error\n", 1117);
  if (!io_write(io, at + k, data_length, data)) die("btree_add_or_die():%d: io_write error\n", 1118);
  if (!btree_write_u16(io, btree_slot_offset(tree, root, 0), kBTNodeDescriptorSize))
    die("btree_add_or_die():%d: io_write error\n", 1121);
  if (!btree_write_u16(io, btree_slot_offset(tree, root, 1), static_cast<uint16_t>(kBTNodeDescriptorSize + k + data_length)))
    die("btree_add_or_die():%d: io_write error\n", 1124);
  BTNodeDescriptor d;
  d.kind = kBTLeafNode;
  d.height = 1;
  d.numRecords = 1;
  if (!btree_write_BTNodeDescriptor(tree, root, d))
    die("btree_add_or_die():%d: btree_write_BTNodeDescriptor error\n", 1126);
  if (!writeBTHeaderRec(tree)) die("btree_add_or_die():%d: writeBTHeaderRec error\n", 1127);
}

NodeNumber addRecord(btree_t* tree, NodeNumber node, const btree_key_t& key, uint16_t data_length,
                     const uint8_t* data) {
  auto desc = btree_read_BTNodeDescriptor(tree, node);
  if (!desc) {
    std::fprintf(stderr, "addRecord(): WARNING: btree_read_BTNodeDescriptor returned NULL\n");
    return 0;
  }
  io_t* io = tree->io.get();
  uint64_t free_bytes = btree_get_free_space_or_die(tree, node, *desc);
  if (desc->numRecords == 0 && desc->kind == kBTLeafNode)
    std::fprintf(stderr, "addRecord(): WARNING: running into undefined behaviour!\n");
  scan_t s = scan_node(tree, node, *desc, key, "addRecord", 966);
  if (s.equal) return 0;

  if (desc->kind == kBTLeafNode) {
    uint32_t item = item_bytes(key, data_length);
    if (free_bytes >= item) {
      doAddRecord(tree, node, key, data_length, data);
      return 0;
    }
    btree_split_t split = btree_choose_split(tree, node, *desc, s.index, s.index >= desc->numRecords / 2, item);
    NodeNumber sibling = splitNode(tree, node, desc.get(), split.keep);
    doAddRecord(tree, split.into_new ? sibling : node, key, data_length, data);
    return sibling;
  }

  NodeNumber child_split = 0;
  uint32_t pos = s.index;  // where the pointer to a new child goes
  if (s.have_last) {
    NodeNumber child = getNodeNumberFromPointerRecord(s.last, io);
    child_split = addRecord(tree, child, key, data_length, data);
    if (child_split == 0) return 0;
  } else {
    // The new key becomes the smallest under this node: the first index
    // record takes it, still pointing to the same child.
    if (desc->numRecords == 0) die("addRecord(): ERROR: empty index node in btree\n");
    uint64_t first = btree_get_record_offset_or_die(tree, node, 0);
    auto first_key = btree_read_key_or_die(tree, first, io, "addRecord", 1016);
    NodeNumber child = getNodeNumberFromPointerRecord(first + first_key->key_length() + 2, io);
    first_key = btree_read_key_or_die(tree, first, io, "addRecord", 1024);
    int delta = static_cast<int>(key.key_length()) - static_cast<int>(first_key->key_length());
    pos = 1;
    if (delta > 0 && static_cast<uint64_t>(delta) > free_bytes) {
      // No room for the longer key: insert below first, then split this node
      // so that the first record, the longer key and the new child's pointer
      // fit in its left half.
      child_split = addRecord(tree, child, key, data_length, data);
      std::unique_ptr<btree_key_t> split_key;
      uint32_t extra = static_cast<uint32_t>(delta);
      if (child_split != 0) {
        split_key = btree_read_key_or_die(tree, btree_get_record_offset_or_die(tree, child_split, 0), io,
                                          "addRecord", 1061);
        extra += item_bytes(*split_key, 4);
      }
      uint64_t base = btree_node_offset(tree, node);
      uint16_t keep = static_cast<uint16_t>(desc->numRecords / 2);
      // A node this full holds at least two records, so keep stays >= 1.
      while (keep > 1 && (btree_get_record_offset_or_die(tree, node, keep) - base - kBTNodeDescriptorSize) +
                                 2u * keep + extra > btree_node_capacity(tree))
        --keep;
      NodeNumber sibling = splitNode(tree, node, desc.get(), keep);
      moveRecordsDown(tree, *desc, 1, node, delta, 0);
      write_pointer_record(tree, first, key, child, "addRecord", 1044, 1045);
      if (child_split != 0) {
        uint8_t pointer[4];
        put_be32(pointer, child_split);
        doAddRecord(tree, node, *split_key, 4, pointer);
      }
      return sibling;
    }
    if (delta != 0) {
      moveRecordsDown(tree, *desc, 1, node, delta, 0);
      free_bytes -= delta;
    }
    write_pointer_record(tree, first, key, child, "addRecord", 1044, 1045);
    child_split = addRecord(tree, child, key, data_length, data);
    if (child_split == 0) return 0;
  }

  // Link the child's new sibling, under its first key as it is now.
  auto split_key =
      btree_read_key_or_die(tree, btree_get_record_offset_or_die(tree, child_split, 0), io, "addRecord", 1061);
  uint8_t pointer[4];
  put_be32(pointer, child_split);
  uint32_t item = item_bytes(*split_key, 4);
  if (free_bytes >= item) {
    doAddRecord(tree, node, *split_key, 4, pointer);
    return 0;
  }
  btree_split_t split = btree_choose_split(tree, node, *desc, pos, s.index >= desc->numRecords / 2, item);
  NodeNumber sibling = splitNode(tree, node, desc.get(), split.keep);
  doAddRecord(tree, split.into_new ? sibling : node, *split_key, 4, pointer);
  return sibling;
}

void doAddRecord(btree_t* tree, NodeNumber node, const btree_key_t& key, uint16_t data_length,
                 const uint8_t* data) {
  auto desc = btree_read_BTNodeDescriptor(tree, node);
  if (!desc) {
    std::fprintf(stderr, "doAddRecord(): WARNING: btree_read_BTNodeDescriptor returned NULL\n");
    return;
  }
  if (desc->numRecords == 0) std::fprintf(stderr, "doAddRecord(): WARNING: running into undefined behaviour!\n");
  scan_t s = scan_node(tree, node, *desc, key, "doAddRecord", 805);
  if (s.equal) return;
  io_t* io = tree->io.get();
  const BTreeCallbacks* cb = tree->callbacks;
  uint64_t base = btree_node_offset(tree, node);
  uint32_t k = key.key_length() + 2u;

  if (s.index == desc->numRecords) {
    uint64_t at = btree_get_record_offset_or_die(tree, node, desc->numRecords);
    if (!cb->btree_write_key(at, io, key)) die("doAddRecord():%d: btree_write_key error\n", 843);
    if (!io_write(io, at + k, data_length, data)) die("doAddRecord():%d: io_write error\n", 844);
    if (!btree_write_u16(io, btree_slot_offset(tree, node, desc->numRecords + 1u),
                         static_cast<uint16_t>(at - base + k + data_length)))
      die("doAddRecord():%d: io_write error\n", 849);
  } else {
    uint64_t at = btree_get_record_offset_or_die(tree, node, s.index);
    moveRecordsDown(tree, *desc, s.index, node, static_cast<int>(k + data_length), +1);
    if (!cb->btree_write_key(at, io, key)) die("doAddRecord():%d: btree_write_key error\n", 832);
    if (!io_write(io, at + k, data_length, data)) die("doAddRecord():%d: io_write error\n", 833);
    if (!btree_write_u16(io, btree_slot_offset(tree, node, s.index), static_cast<uint16_t>(at - base)))
      die("doAddRecord():%d: io_write error\n", 837);
  }
  ++desc->numRecords;
  if (desc->height == 1) ++tree->header.leafRecords;
  if (!btree_write_BTNodeDescriptor(tree, node, *desc))
    die("doAddRecord():%d: btree_write_BTNodeDescriptor error\n", 857);
  if (!writeBTHeaderRec(tree)) die("doAddRecord():%d: writeBTHeaderRec error\n", 858);
}

NodeNumber splitNode(btree_t* tree, NodeNumber node, BTNodeDescriptor* desc) {
  return splitNode(tree, node, desc, static_cast<uint16_t>(desc->numRecords / 2));
}

NodeNumber splitNode(btree_t* tree, NodeNumber node, BTNodeDescriptor* desc, uint16_t keep) {
  io_t* io = tree->io.get();
  const uint16_t n = desc->numRecords;
  const uint16_t move = static_cast<uint16_t>(n - keep);
  uint64_t base = btree_node_offset(tree, node);
  uint64_t from = btree_get_record_offset_or_die(tree, node, keep);
  uint64_t end = btree_get_record_offset_or_die(tree, node, n);

  std::vector<uint8_t> records = malloc_or_die(end - from, "splitNode", 663);
  if (!io_read(io, from, end - from, records.data())) die("splitNode():%d: io_read error\n", 664);
  // Slots n down to keep, a run at the node's end; slot keep + j becomes the
  // new node's slot j, its records starting at offset 14.
  std::vector<uint8_t> slots = malloc_or_die(2u * (move + 1u), "splitNode", 668);
  if (!io_read(io, btree_slot_offset(tree, node, n), slots.size(), slots.data()))
    die("splitNode():%d: io_read error\n", 669);
  uint16_t shift = static_cast<uint16_t>(from - base - kBTNodeDescriptorSize);
  for (size_t j = 0; j < slots.size(); j += 2) put_be16(&slots[j], static_cast<uint16_t>(get_be16(&slots[j]) - shift));

  NodeNumber sibling = btree_get_new_node_number(tree);
  BTNodeDescriptor sd;
  sd.fLink = desc->fLink;
  sd.bLink = node;
  sd.kind = desc->kind;
  sd.height = desc->height;
  sd.numRecords = move;
  if (!btree_write_BTNodeDescriptor(tree, sibling, sd))
    die("splitNode():%d: btree_write_BTNodeDescriptor error\n", 691);
  if (desc->fLink != 0) {
    BTNodeDescriptor next = btree_read_BTNodeDescriptor_or_die(tree, desc->fLink);
    next.bLink = sibling;
    if (!btree_write_BTNodeDescriptor(tree, desc->fLink, next))
      die("splitNode():%d: btree_write_BTNodeDescriptor error\n", 697);
  }
  desc->fLink = sibling;
  desc->numRecords = keep;
  if (!btree_write_BTNodeDescriptor(tree, node, *desc))
    die("splitNode():%d: btree_write_BTNodeDescriptor error\n", 703);
  if (!io_write(io, btree_node_offset(tree, sibling) + kBTNodeDescriptorSize, records.size(), records.data()))
    die("splitNode():%d: io_write error\n", 705);
  if (!io_write(io, btree_slot_offset(tree, sibling, move), slots.size(), slots.data()))
    die("splitNode():%d: io_write error\n", 706);
  if (desc->kind == kBTLeafNode && tree->header.lastLeafNode == node) {
    tree->header.lastLeafNode = sibling;
    if (!writeBTHeaderRec(tree)) die("splitNode():%d: writeBTHeaderRec error\n", 717);
  }
  return sibling;
}

void moveRecordsDown(btree_t* tree, const BTNodeDescriptor& desc, uint16_t from, NodeNumber node, int delta,
                     int shift) {
  io_t* io = tree->io.get();
  const uint16_t n = desc.numRecords;
  uint64_t start = btree_get_record_offset_or_die(tree, node, from);
  uint64_t end = btree_get_record_offset_or_die(tree, node, n);
  std::vector<uint8_t> records = malloc_or_die(end - start, "moveRecordsDown", 738);
  if (!io_read(io, start, records.size(), records.data())) die("moveRecordsDown():%d: io_read error\n", 739);
  std::vector<uint8_t> slots = malloc_or_die(2u * (n - from + 1u), "moveRecordsDown", 743);
  if (!io_read(io, btree_slot_offset(tree, node, n), slots.size(), slots.data()))
    die("moveRecordsDown():%d: io_read error\n", 744);
  for (size_t j = 0; j < slots.size(); j += 2)
    put_be16(&slots[j], static_cast<uint16_t>(get_be16(&slots[j]) + delta));
  if (!io_write(io, start + delta, records.size(), records.data())) die("moveRecordsDown():%d: io_write error\n", 753);
  if (shift > 0) {
    if (!io_write(io, btree_slot_offset(tree, node, n + 1u), slots.size(), slots.data()))
      die("moveRecordsDown():%d: io_write error\n", 756);
  } else if (shift == 0) {
    if (!io_write(io, btree_slot_offset(tree, node, n), slots.size(), slots.data()))
      die("moveRecordsDown():%d: io_write error\n", 760);
  } else {
    if (!io_write(io, btree_slot_offset(tree, node, n - 1u), slots.size(), slots.data()))
      die("moveRecordsDown():%d: io_write error\n", 758);
  }
}

void btree_increase_height_or_die(btree_t* tree, NodeNumber sibling) {
  io_t* io = tree->io.get();
  BTHeaderRec& h = tree->header;
  NodeNumber root = h.rootNode;
  auto root_key = btree_read_key_or_die(tree, btree_get_record_offset_or_die(tree, root, 0), io,
                                        "btree_increase_height_or_die", 879);
  auto sibling_key = btree_read_key_or_die(tree, btree_get_record_offset_or_die(tree, sibling, 0), io,
                                           "btree_increase_height_or_die", 880);
  NodeNumber top = btree_get_new_node_number(tree);
  uint16_t second = static_cast<uint16_t>(kBTNodeDescriptorSize + root_key->key_length() + 6);
  uint16_t end = static_cast<uint16_t>(second + sibling_key->key_length() + 6);
  BTNodeDescriptor d;
  d.kind = kBTIndexNode;
  d.height = static_cast<uint8_t>(h.treeDepth + 1);
  d.numRecords = 2;
  h.rootNode = top;
  ++h.treeDepth;

  uint64_t base = btree_node_offset(tree, top);
  write_pointer_record(tree, base + kBTNodeDescriptorSize, *root_key, root, "btree_increase_height_or_die", 895, 897);
  write_pointer_record(tree, base + second, *sibling_key, sibling, "btree_increase_height_or_die", 899, 902);
  if (!btree_write_u16(io, btree_slot_offset(tree, top, 0), kBTNodeDescriptorSize))
    die("btree_increase_height_or_die():%d: io_write error\n", 905);
  if (!btree_write_u16(io, btree_slot_offset(tree, top, 1), second))
    die("btree_increase_height_or_die():%d: io_write error\n", 908);
  if (!btree_write_u16(io, btree_slot_offset(tree, top, 2), end))
    die("btree_increase_height_or_die():%d: io_write error\n", 911);
  if (!btree_write_BTNodeDescriptor(tree, top, d))
    die("btree_increase_height_or_die():%d: btree_write_BTNodeDescriptor error\n", 913);
  if (!writeBTHeaderRec(tree)) die("btree_increase_height_or_die():%d: writeBTHeaderRec error\n", 914);
}

}  // namespace volpack
