// The cost of a B-tree insertion as the tree grows, in tree-file reads and
// writes, on 4096-byte nodes as on real volumes. Not run by ctest:
//   cmake --build build --target btree_bench && build/bench/btree_bench
#include <cstdio>
#include <random>
#include <string>

#include "hfs/btree.h"
#include "support/btree_mem.h"

namespace {

// Catalog-like records: keys of 20 to 60 bytes, data of 88 or 248 bytes.
void insertion_cost(bool ascending) {
  volpack::test::MemTree t(4096, 2, 20);  // a clump of 20 nodes, as the formatter's default
  std::mt19937 rng(1);
  const int marks[] = {1000, 10000, 100000};
  int done = 0;
  for (int mark : marks) {
    auto insert = [&](int i) {
      char prefix[16];
      std::snprintf(prefix, sizeof prefix, "%08d", ascending ? i : static_cast<int>(rng() % 100000000));
      std::string key = prefix + std::string(12 + rng() % 41, 'n');
      t.add(key, std::string(rng() % 2 ? 84 : 244, 'd'));
    };
    for (; done < mark; ++done) insert(done);
    // The next 1000 insertions, at this size.
    uint64_t r0 = t.file->reads, w0 = t.file->writes;
    for (int i = 0; i < 1000; ++i) insert(done + i);
    done += 1000;
    std::printf("%-9s %6d records: depth %u, %6u nodes, %.1f reads and %.1f writes per insertion\n",
                ascending ? "ascending" : "random", mark, t.tree.header.treeDepth,
                t.tree.header.totalNodes - t.tree.header.freeNodes, (t.file->reads - r0) / 1000.0,
                (t.file->writes - w0) / 1000.0);
  }
}

}  // namespace

int main() {
  insertion_cost(false);
  insertion_cost(true);
  return 0;
}
