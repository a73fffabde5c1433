#include "trees/union_find.hpp"

#include "zelk_assert.hpp"

namespace zelk {

UnionFind::UnionFind(std::size_t n) : parent(n), rank(n, 0) {
    for (std::size_t i = 0; i < n; ++i) parent[i] = i;
}

void UnionFind::reset(std::size_t n) {
    parent.resize(n);
    for (std::size_t i = 0; i < n; ++i) parent[i] = i;
    rank.assign(n, 0);
}

std::uint64_t UnionFind::find(std::uint64_t x) {
    ZELK_ASSERT(x < parent.size());
    // Iterative form of the recursive definition: locate the representative,
    // then point every node of the path straight at it.
    std::uint64_t r = x;
    while (parent[r] != r) r = parent[r];
    while (parent[x] != r) {
        const std::uint64_t next = parent[x];
        parent[x] = r;
        x = next;
    }
    return r;
}

bool UnionFind::unite(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t ra = find(a);
    const std::uint64_t rb = find(b);
    if (ra == rb) return false;
    if (rank[ra] < rank[rb]) {
        parent[ra] = rb;
    } else {
        parent[rb] = ra;
        if (rank[ra] == rank[rb]) ++rank[ra];
    }
    return true;
}

}  // namespace zelk
