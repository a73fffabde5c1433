// UnionFind: disjoint sets over 0..n-1 with union by rank and full path
// compression. Used by the Kruskal builders and the forest collections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelk {

class UnionFind {
public:
    // n singleton sets: parent[i] = i, rank[i] = 0.
    explicit UnionFind(std::size_t n);

    // Back to n singleton sets, keeping the storage.
    void reset(std::size_t n);

    // The representative of x's set; compresses the whole path to it.
    std::uint64_t find(std::uint64_t x);

    // Merges the sets of a and b; false when they were already one set.
    // The lower-ranked representative goes under the other; on equal ranks
    // a's representative stays and its rank grows by 1. (Named `unite`
    // because `union` is a C++ keyword.)
    bool unite(std::uint64_t a, std::uint64_t b);

    std::vector<std::uint64_t> parent;
    std::vector<std::uint64_t> rank;
};

}  // namespace zelk
