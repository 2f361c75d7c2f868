// A node cache for an open B-tree: whole nodes in memory, and the keys
// decoded from them.
//
// The engine reads a node a few bytes at a time (its descriptor, one offset
// slot, one key) and visits the same few nodes over and over: the root, the
// index nodes below it, the leaves where records go in. `btree_cache_attach`
// puts a cache between the tree and its file. A node is read whole the first
// time any of its bytes is wanted, and later reads of it are served from the
// copy. Writes go to the file at once and update the copy (write-through), so
// the file holds exactly what it would hold without the cache, after every
// call; a failed write drops the copies of the nodes it touched. A growth of
// the file drops the copies of the nodes past its old end, a failed one all.
//
// `btree_peek_key` gives the key at a byte offset of the tree file, decoded
// through the tree's codec once and kept with its node until a write touches
// the bytes the codec read for it, or the node leaves the cache. The key it
// gives is borrowed: it stays valid until the next read, write or peek of the
// tree. Without a cache it decodes the key into `*hold` every time.
//
// Memory is bounded: at most `max_nodes` nodes (least recently used ones go
// first, by a clock) and a bounded number of decoded keys (all are dropped
// when it is reached; they are decoded again when wanted).
//
// The cache is transparent: every answer of the engine, every byte of the
// file and every failure message is what it is without it. Anything that
// changes the tree file must do so through the tree (`tree->io`) while the
// cache is attached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "hfs/btree.h"
#include "io/status.h"

namespace volpack {

class btree_node_cache;

// Caches at most `max_nodes` nodes of the open tree. A tree whose node size is
// not a power of two from 512 to 32,768 is left uncached.
void btree_cache_attach(btree_t* tree, size_t max_nodes);

// The tree's own file: the one under the cache when one is attached, else
// `tree->io`. Null when the tree is closed.
btree_file_t* btree_tree_file(const btree_t* tree);

// The key at `offset` (see above); a failed read is "<func>():<number>:
// btree_read_key error\n", as btree_read_key gives it.
result<const btree_key_t*> btree_peek_key(btree_t* tree, uint64_t offset, std::unique_ptr<btree_key_t>* hold,
                                          const char* func, int number);

}  // namespace volpack
