// Resolution of host paths through emulated link files, and the item cache.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>

#include "io/host_fs.h"
#include "symlink/symlink.h"

namespace volpack {

namespace {

// The numbers in the failures and trace lines ("fsitem_peekandcache() line 289:
// fatal: _read() error (5)"): fixed numbers that users and scripts see, not
// source lines; they never change when code moves.
enum : unsigned {
  kCacheItem = 111,           // the cache's new item
  kCachePath = 116,           // its copy of the path
  kCacheGrow = 120,           // the cache's room
  kCacheIndex = 127,          // the cache's index
  kWideTarget = 177,          // a UTF-16 target in the host's encoding
  kTargetCopy = 189,          // a copied target
  kSplitCalled = 205,         // pathname_split: called for
  kSplitGrow = 219,           // pathname_split: the slots' room
  kSplitReturning = 225,      // pathname_split: returning, hash
  kPeekCalled = 231,          // fsitem_peekandcache: called for
  kPeekCacheMiss = 235,       // a path seen for the first time
  kPeekLongStat = 243,        // the long-path stat workaround
  kPeekWideName = 248,        // no wide form of a long path
  kPeekLongStatResult = 251,  // what the long-path stat returned
  kPeekStatResult = 255,      // what the normal stat returned
  kPeekLongOpen = 268,        // the long-path open workaround
  kPeekLongOpenResult = 271,  // what the long-path open returned
  kPeekOpenResult = 275,      // what the normal open returned
  kPeekReadError = 289,       // a short read of a file under test
  kPeekForbidden = 312,       // a character NTFS forbids: no link
  kTooLong = 337,             // follow_symlinks: a path too long to resolve
  kSplitItems = 349,          // the path split
  kSplitSlots = 350,          // its slots
  kEmptyPath = 352,           // an empty path
  kCachedLink = 359,          // the path's leaf cached as a link
  kCachedPlain = 361,         // the path cached as no link
  kEvaluating = 378,          // one component
  kRebuiltTooLong = 394,      // the rebuilt path too long
  kRebuilding = 401,          // the path rebuilt so far
  kCannotQuery = 412,         // a component that cannot be examined
  kLinkFound = 418,           // a link file found
  kLinkData = 419,            // its target's slots follow
  kLinkSlots = 420,           // the target's slots
  kTooManyLinks = 422,        // a cycle of links
  kSubstitutionGrow = 427,    // the slots' room for a target
  kFixed = 431,               // the path after a substitution
  kFixedSlots = 432,          // its slots
  kDeadEnd = 442,             // a link file without target inside the path
  kLastPlain = 448,           // the last component, a file that is no link
  kNotLink = 451,             // a component that cannot be a link
  kTrailingTooLong = 463,     // no room for the trailing separator
  kResolved = 470,            // the resolved path
};

constexpr const char* kResolve = "follow_symlinks()";
constexpr const char* kSplit = "pathname_split_or_die()";
constexpr const char* kPeek = "fsitem_peekandcache()";

constexpr size_t kSlotStep = 16;
constexpr size_t kCacheStep = 64;
// Paths at least this long take the host's long-path route on Windows; the
// trace says so on every host, so that traces compare across hosts.
constexpr size_t kLongPath = 256;
constexpr size_t kMaxTarget = kSymlinkPathBuffer - 1;

static_assert(sizeof(path_slot) == 16, "a slot is a pointer and a length");

struct resolve_buffers {
  char input[kSymlinkPathBuffer];
  char result[kSymlinkPathBuffer];
  path_info in;
};

struct peek_buffers {
  uint8_t content[kEmulatedLinkMaxSize + 1];
  char16_t units[(kEmulatedLinkMaxSize - 12) / 2 + 1];
};

thread_local resolve_buffers t_resolve;
thread_local peek_buffers t_peek;

struct item_cache {
  std::vector<std::unique_ptr<fsitem>> items;  // grows in steps of 64; items never move
  std::unordered_multimap<uint32_t, const fsitem*> by_hash;
};

item_cache& the_cache() {
  static item_cache cache;
  return cache;
}

std::atomic_flag g_cache_lock = ATOMIC_FLAG_INIT;

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool slot_is(const path_slot& slot, const char* name) {
  size_t n = std::strlen(name);
  return slot.length == n && std::memcmp(slot.text, name, n) == 0;
}

bool slot_is_drive(const path_slot& slot) { return slot.length == 2 && slot.text[1] == ':'; }

uint32_t hash_step(uint32_t h, char c) {
  // Bytes count as signed, as the host's narrow characters do.
  return h * 101u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
}

uint32_t path_hash(const char* text, size_t length) {
  uint32_t h = 0;
  for (size_t i = 0; i < length; ++i) h = hash_step(h, text[i]);
  return h;
}

// Makes room for `needed` elements, growing to the next multiple of `step`.
template <class T>
status tsarray_grow(const symlink_settings& s, std::vector<T>* array, size_t needed, size_t step,
                    const char* func, unsigned line) {
  if (needed <= array->capacity()) return status::ok();
  size_t capacity = (needed + step - 1) / step * step;
  symlink_trace(s, 2, func, line, "REALLOCATING TSARRAY FOR %zd ELEMENTS\n", capacity);
  try {
    array->reserve(capacity);
  } catch (const std::exception&) {
    return symlink_failure(s, func, line, ENOMEM, "realloc() failure\n");
  }
  return status::ok();
}

void trace_slots(const symlink_settings& s, unsigned line, const std::vector<path_slot>& slots) {
  for (size_t k = 0; k < slots.size(); ++k) {
    symlink_trace(s, 1, kResolve, line, "   slot %d: \"%.*s\"\n", static_cast<int>(k),
                  static_cast<int>(slots[k].length), slots[k].text);
  }
}

const fsitem* cache_find(uint32_t hash, const char* text, size_t length) {
  auto range = the_cache().by_hash.equal_range(hash);
  for (auto it = range.first; it != range.second; ++it) {
    const std::string& p = it->second->path;
    if (p.size() == length && std::memcmp(p.data(), text, length) == 0) return it->second;
  }
  return nullptr;
}

result<fsitem*> cache_add(const symlink_settings& s, uint32_t hash, const char* path, size_t length) {
  std::unique_ptr<fsitem> fresh;
  try {
    fresh = std::make_unique<fsitem>();
  } catch (const std::exception&) {
    return symlink_failure(s, kPeek, kCacheItem, ENOMEM, "realloc() failure\n");
  }
  try {
    fresh->path.assign(path, length);
  } catch (const std::exception&) {
    return symlink_failure(s, kPeek, kCachePath, ENOMEM, "_tcsdup() failure\n");
  }
  fresh->hash = hash;
  item_cache& cache = the_cache();
  VOLPACK_RETURN_IF_ERROR(tsarray_grow(s, &cache.items, cache.items.size() + 1, kCacheStep, kPeek, kCacheGrow));
  fsitem* item = fresh.get();
  cache.items.push_back(std::move(fresh));
  try {
    cache.by_hash.emplace(hash, item);
  } catch (const std::exception&) {
    cache.items.pop_back();  // an item the index cannot find must not stay
    return symlink_failure(s, kPeek, kCacheIndex, ENOMEM, "realloc() failure\n");
  }
  return item;
}

// True when the content cannot be a link file whatever follows: text that
// starts like blank space, a comment or a byte-order mark is an ordinary file.
bool looks_like_ordinary_text(const uint8_t* c, size_t n) {
  switch (c[0]) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r': case '#':
      return true;
    default:
      break;
  }
  if (n > 3 && c[0] == 0xEF && c[1] == 0xBB && c[2] == 0xBF) return true;
  if (n > 2 && ((c[0] == 0xFF && c[1] == 0xFE) || (c[0] == 0xFE && c[1] == 0xFF))) return true;
  if (n > 4 && ((c[0] == 0 && c[1] == 0 && c[2] == 0xFE && c[3] == 0xFF) ||
                (c[0] == 0xFF && c[1] == 0xFE && c[2] == 0 && c[3] == 0)))
    return true;
  if (n > 2 && c[0] == '/' && (c[1] == '/' || c[1] == '*')) return true;
  return false;
}

bool forbidden_in_ntfs_name(uint8_t c, size_t index) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case '"': case '*': case '<': case '>': case '?': case '|':
      return true;
    case ':':
      return index != 1;  // the colon of a drive
    default:
      return false;
  }
}

// The target of a "!<symlink>" file whose UTF-16 text starts at `c`, `units`
// units long, in the host's narrow encoding; empty when it cannot be converted.
status narrow_target(const symlink_settings& s, const uint8_t* c, size_t units, bool big_endian,
                     std::string* out) {
  char16_t* u = t_peek.units;
  size_t count = 0;
  for (; count < units; ++count) {
    uint8_t lo = c[2 * count + (big_endian ? 1 : 0)];
    uint8_t hi = c[2 * count + (big_endian ? 0 : 1)];
    u[count] = static_cast<char16_t>(lo | (hi << 8));
    if (u[count] == 0) break;
  }
  try {
    if (!host_narrow_from_utf16(u, count, out)) out->clear();
  } catch (const std::exception&) {
    return symlink_failure(s, kPeek, kWideTarget, ENOMEM, "malloc() failure\n");
  }
  return status::ok();
}

// A copied target: the bytes up to the first zero.
status copied_target(const symlink_settings& s, const uint8_t* c, size_t n, std::string* out) {
  const void* zero = std::memchr(c, 0, n);
  if (zero != nullptr) n = static_cast<size_t>(static_cast<const uint8_t*>(zero) - c);
  try {
    out->assign(reinterpret_cast<const char*>(c), n);
  } catch (const std::exception&) {
    return symlink_failure(s, kPeek, kTargetCopy, ENOMEM, "malloc() failure\n");
  }
  return status::ok();
}

}  // namespace

symlink_cache_lock::symlink_cache_lock() {
  while (g_cache_lock.test_and_set(std::memory_order_acquire)) host_yield();
}

symlink_cache_lock::~symlink_cache_lock() { g_cache_lock.clear(std::memory_order_release); }

status pathname_split(const symlink_settings& s, path_info* info, uint32_t* hash) {
  const char* t = info->text;
  size_t n = info->length;
  symlink_trace(s, 0, kSplit, kSplitCalled, "called for: \"%.*s\"\n", static_cast<int>(n), t);
  info->trailing_separator = n > 1 && is_separator(t[n - 1]);
  info->slots.clear();
  size_t lead = 0;
  while (lead < n && is_separator(t[lead])) ++lead;
  // Exactly two separators open a network path ("//server/share").
  info->leading_separators = lead == 0 ? 0 : lead == 2 ? 2 : 1;
  uint32_t h = 0;
  size_t start = 0;
  for (size_t i = 0; i <= n; ++i) {
    if (i < n) h = hash_step(h, t[i]);
    if (i < n && !is_separator(t[i])) continue;
    path_slot slot{t + start, i - start};
    if (slot.length > 0 && !slot_is(slot, ".")) {
      VOLPACK_RETURN_IF_ERROR(tsarray_grow(s, &info->slots, info->slots.size() + 1, kSlotStep, kSplit, kSplitGrow));
      info->slots.push_back(slot);
    }
    start = i + 1;
  }
  info->drive_qualified = lead == 0 && !info->slots.empty() && slot_is_drive(info->slots[0]);
  symlink_trace(s, 0, kSplit, kSplitReturning, "returning, hash = 0x%08x\n", h);
  if (hash != nullptr) *hash = h;
  return status::ok();
}

result<const fsitem*> fsitem_peekandcache(const symlink_settings& s, const char* path) {
  symlink_trace(s, 0, kPeek, kPeekCalled, "called for: \"%s\"\n", path);
  size_t length = std::strlen(path);
  uint32_t hash = path_hash(path, length);
  if (const fsitem* hit = cache_find(hash, path, length)) return hit;
  symlink_trace(s, 1, kPeek, kPeekCacheMiss, "CACHE MISS: \"%s\": adding to cache\n", path);
  result<fsitem*> added = cache_add(s, hash, path, length);
  if (!added) return added.error();
  fsitem* item = added.value();

  host_stat_t st;
  int r;
  if (length >= kLongPath) {
    symlink_trace(s, 1, kPeek, kPeekLongStat,
                  "pathname len (%zd) > 255, performing stat() workaround for long pathname...\n", length);
    r = host_stat_raw(path, &st);
    if (r == HOST_RAW_BAD_NAME) {
      item->cannot_query = true;  // the path stays unusable for the rest of the process
      return symlink_failure(s, kPeek, kPeekWideName, ENAMETOOLONG,
                             "wide pathname creation failed during stat() workaround\n");
    }
    symlink_trace(s, 1, kPeek, kPeekLongStatResult, "stat() workaround for long pathname returned %d (%s)\n", r,
                  r == 0 ? "SUCCESS" : "FAILURE");
  } else {
    r = host_stat_raw(path, &st);
    symlink_trace(s, 1, kPeek, kPeekStatResult, "normal stat() returned %d (%s)\n", r, r == 0 ? "SUCCESS" : "FAILURE");
  }
  if (r != 0) {
    item->cannot_query = true;
    return item;
  }
  // Only a regular file of link-file size can stand in for a link; devices
  // and pipes are never opened.
  if (st.type != DT_REG || st.size < kEmulatedLinkMinSize || st.size > kEmulatedLinkMaxSize) return item;
  item->is_link = true;

  int fd;
  if (length >= kLongPath) {
    symlink_trace(s, 1, kPeek, kPeekLongOpen,
                  "pathname len (%zd) > 255, performing open() workaround for long pathname...\n", length);
    fd = host_open_read_raw(path);
    symlink_trace(s, 1, kPeek, kPeekLongOpenResult, "open() workaround for long pathname returned fdesc %d (%s)\n", fd,
                  fd >= 0 ? "SUCCESS" : "FAILURE");
  } else {
    fd = host_open_read_raw(path);
    symlink_trace(s, 1, kPeek, kPeekOpenResult, "normal open() returned fdesc %d (%s)\n", fd,
                  fd >= 0 ? "SUCCESS" : "FAILURE");
  }
  if (fd < 0) {
    item->cannot_query = true;
    return item;
  }
  size_t n = static_cast<size_t>(st.size);
  uint8_t* c = t_peek.content;
  int64_t got = host_read_all(fd, c, n);
  if (got != static_cast<int64_t>(n)) {
    int e = got < 0 ? host_errno() : 0;
    host_close(fd);
    item->cannot_query = true;
    return symlink_failure(s, kPeek, kPeekReadError, e != 0 ? e : EIO, "_read() error (%d)\n", e);
  }
  host_close(fd);
  c[n] = 0;

  if (looks_like_ordinary_text(c, n)) {
    item->is_link = false;
    return item;
  }
  std::string target;
  if (n >= 11 && std::memcmp(c, "!<symlink>", 10) == 0) {
    if (n > 12 && c[10] == 0xFF && c[11] == 0xFE) {
      VOLPACK_RETURN_IF_ERROR(narrow_target(s, c + 12, (n - 12) / 2, false, &target));
    } else if (n > 13 && c[10] == 0xFE && c[11] == 0xFF) {
      VOLPACK_RETURN_IF_ERROR(narrow_target(s, c + 12, (n - 12) / 2, true, &target));
    } else if (n > 14 && c[10] == 0xEF && c[11] == 0xBB && c[12] == 0xBF) {
      VOLPACK_RETURN_IF_ERROR(copied_target(s, c + 13, n - 13, &target));
    } else {
      VOLPACK_RETURN_IF_ERROR(copied_target(s, c + 10, n - 10, &target));
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      if (forbidden_in_ntfs_name(c[i], i)) {
        symlink_trace(s, 2, kPeek, kPeekForbidden,
                      "==> character (0x%02x) at index %zd forbidden by NTFS: not a symlink\n", c[i], i);
        item->is_link = false;
        return item;
      }
    }
    VOLPACK_RETURN_IF_ERROR(copied_target(s, c, n, &target));
  }
  // A target that no path buffer could hold is unusable rather than cut short:
  // the file stays a link without target components.
  if (target.size() > kMaxTarget) target.clear();
  item->target_text = std::move(target);
  item->target.text = item->target_text.c_str();
  item->target.length = item->target_text.size();
  VOLPACK_RETURN_IF_ERROR(pathname_split(s, &item->target, nullptr));
  return static_cast<const fsitem*>(item);
}

result<const char*> resolve_emulated_links(const char* path, const symlink_settings& s) {
  if (path == nullptr) return static_cast<const char*>(nullptr);
  resolve_buffers& b = t_resolve;
  const char* p = path;
  if (std::strncmp(p, "\\\\?\\", 4) == 0) p += 4;
  size_t n = std::strlen(p);
  if (n >= kSymlinkPathBuffer) {
    symlink_trace(s, 0, kResolve, kTooLong, "RETURNING: \"%s\" (pathname too long, returning it verbatim)\n", path);
    return path;
  }
  for (size_t k = 0; k < n; ++k) b.input[k] = p[k] == '\\' ? '/' : p[k];
  b.input[n] = '\0';

  path_info& in = b.in;
  in.text = b.input;
  in.length = n;
  uint32_t hash = 0;
  VOLPACK_RETURN_IF_ERROR(pathname_split(s, &in, &hash));
  std::vector<path_slot>& slots = in.slots;
  symlink_trace(s, 1, kResolve, kSplitItems, "pathname split, %zd items\n", slots.size());
  trace_slots(s, kSplitSlots, slots);
  if (slots.empty()) {
    symlink_trace(s, 0, kResolve, kEmptyPath, "RETURNING: \"%s\" (empty pathname, returning it verbatim)\n", path);
    return path;
  }

  symlink_cache_lock lock;
  if (const fsitem* known = cache_find(hash, b.input, n)) {
    if (known->is_link && !known->cannot_query) {
      symlink_trace(s, 1, kResolve, kCachedLink, "SPEEDHACK: pathname leaf found in cache and is a symlink\n");
    } else {
      symlink_trace(s, 0, kResolve, kCachedPlain,
                    "RETURNING: \"%s\" (SPEEDHACK: pathname found in cache and marked as not a symlink, returning "
                    "it verbatim)\n",
                    path);
      return path;
    }
  }

  char* rebuilt = b.result;
  size_t root = in.leading_separators;
  std::memset(rebuilt, '/', root);
  size_t length = root;  // the accepted part of the result
  rebuilt[length] = '\0';
  int substitutions = 0;
  size_t i = 0;
  while (i < slots.size()) {
    const path_slot slot = slots[i];
    symlink_trace(s, 1, kResolve, kEvaluating, "Evaluating index %zd: \"%.*s\"\n", i, static_cast<int>(slot.length),
                  slot.text);
    if (slot_is(slot, ".")) {
      slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    if (slot_is(slot, "..") && i > 0 && !slot_is(slots[i - 1], "..")) {
      length -= slots[i - 1].length + (i >= 2 ? 1 : 0);
      rebuilt[length] = '\0';
      slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(i - 1),
                  slots.begin() + static_cast<std::ptrdiff_t>(i + 1));
      --i;
      continue;
    }
    size_t start = length + (i > 0 ? 1 : 0);
    if (start + slot.length >= kSymlinkPathBuffer) {
      symlink_trace(s, 0, kResolve, kRebuiltTooLong, "RETURNING: \"%s\" (pathname too long, returning it verbatim)\n",
                    path);
      return path;
    }
    if (i > 0) rebuilt[length] = '/';
    std::memcpy(rebuilt + start, slot.text, slot.length);
    rebuilt[start + slot.length] = '\0';
    symlink_trace(s, 1, kResolve, kRebuilding, "Rebuilding path: \"%s\"\n", rebuilt);
    if (slot_is_drive(slot)) {
      length = start + slot.length;
      ++i;
      continue;
    }

    result<const fsitem*> peeked = fsitem_peekandcache(s, rebuilt);
    if (!peeked) return peeked.error();
    const fsitem* item = peeked.value();
    if (item->cannot_query) {
      symlink_trace(s, 0, kResolve, kCannotQuery,
                    "RETURNING: \"%s\" (item can't be queried, defaulting to original path)\n", path);
      return path;
    }
    if (item->is_link && !item->target.slots.empty()) {
      const path_info& target = item->target;
      symlink_trace(s, 0, kResolve, kLinkFound, "SYMLINK FOUND: \"%s\" -> \"%s\"\n", rebuilt, target.text);
      symlink_trace(s, 1, kResolve, kLinkData, "symlink data:\n");
      trace_slots(s, kLinkSlots, target.slots);
      if (++substitutions > kMaxLinkSubstitutions)
        return symlink_failure(s, kResolve, kTooManyLinks, ELOOP, "too many levels of symbolic links\n");
      // A drive-qualified target replaces everything up to the link; any other
      // replaces the link alone, relative to the link's folder.
      size_t first = target.drive_qualified ? 0 : i;
      VOLPACK_RETURN_IF_ERROR(tsarray_grow(s, &slots, slots.size() - (i + 1 - first) + target.slots.size(), kSlotStep,
                                           kResolve, kSubstitutionGrow));
      slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(first),
                  slots.begin() + static_cast<std::ptrdiff_t>(i + 1));
      slots.insert(slots.begin() + static_cast<std::ptrdiff_t>(first), target.slots.begin(), target.slots.end());
      symlink_trace(s, 1, kResolve, kFixed, "fixed pathname: %zd items\n", slots.size());
      trace_slots(s, kFixedSlots, slots);
      if (target.drive_qualified) root = 0;
      std::memset(rebuilt, '/', root);
      length = root;
      rebuilt[length] = '\0';
      i = 0;
      continue;
    }
    if (item->is_link) {
      if (i + 1 < slots.size()) {
        symlink_trace(s, 0, kResolve, kDeadEnd,
                      "RETURNING: \"%s\" (intermediate bit \"%.*s\" is a file with no symlink data, DEAD END!!! "
                      "(bogus path?), defaulting to original path)\n",
                      path, static_cast<int>(slot.length), slot.text);
        return path;
      }
      symlink_trace(s, 1, kResolve, kLastPlain, "Bit \"%.*s\" is the last one and is not a symlink, digging deeper\n",
                    static_cast<int>(slot.length), slot.text);
    } else {
      symlink_trace(s, 1, kResolve, kNotLink, "Bit \"%.*s\" is not a possible symlink, digging deeper\n",
                    static_cast<int>(slot.length), slot.text);
    }
    length = start + slot.length;
    ++i;
  }

  // "name/.." may cancel everything: the current folder remains, and keeps a
  // trailing separator as "./" rather than turning into the root.
  if (length == 0) rebuilt[length++] = '.';
  if (in.trailing_separator && rebuilt[length - 1] != '/') {
    if (length + 1 >= kSymlinkPathBuffer) {
      symlink_trace(s, 0, kResolve, kTrailingTooLong, "RETURNING: \"%s\" (pathname too long, returning it verbatim)\n",
                    path);
      return path;
    }
    rebuilt[length++] = '/';
  }
  rebuilt[length] = '\0';
  symlink_trace(s, 0, kResolve, kResolved, "RETURNING: \"%s\" (reached end of path analysis, assuming resolved)\n",
                rebuilt);
  return rebuilt;
}

}  // namespace volpack
