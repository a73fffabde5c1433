// Seeded random edge-array graphs for the tree, forest, spanner and chain
// tests: small node counts, many parallel edges and self-loops, optional
// planted components (so some graphs are disconnected), and lengths drawn
// from a handful of values so that ties are frequent; and hop distances as
// a reference for breadth-first searches.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace zelk::testing {

struct EdgeGraph {
    std::uint64_t n = 0;
    std::vector<std::uint32_t> tails, heads;
    std::vector<double> lengths;

    std::size_t m() const { return tails.size(); }
    void add(std::uint32_t t, std::uint32_t h, double l) {
        tails.push_back(t);
        heads.push_back(h);
        lengths.push_back(l);
    }
};

// m edges over n >= 1 nodes split into `components` residue classes
// (node % components); with probability ~1/8 an edge repeats the previous
// one and ~1/16 is a self-loop. Lengths are in {0.5, 1, 1.5, ..., 3}.
inline EdgeGraph random_edge_graph(std::mt19937_64& rng, std::uint64_t n, std::size_t m,
                                   std::uint64_t components = 1) {
    EdgeGraph g;
    g.n = n;
    components = std::clamp<std::uint64_t>(components, 1, n);
    std::uniform_int_distribution<std::uint64_t> node(0, n - 1);
    std::uniform_int_distribution<int> coin(0, 15);
    std::uniform_int_distribution<int> len(1, 6);
    for (std::size_t i = 0; i < m; ++i) {
        const int c = coin(rng);
        const double l = 0.5 * len(rng);
        if (c < 2 && !g.tails.empty()) {
            g.add(g.tails.back(), g.heads.back(), l);
            continue;
        }
        const std::uint64_t t = node(rng);
        std::uint64_t h = c == 2 ? t : node(rng);
        // Move h into t's residue class.
        h = h - h % components + t % components;
        if (h >= n) h = t;
        g.add(static_cast<std::uint32_t>(t), static_cast<std::uint32_t>(h), l);
    }
    return g;
}

// Number of connected components (self-loops and isolated nodes included).
inline std::uint64_t count_components(const EdgeGraph& g) {
    std::vector<std::uint64_t> p(g.n);
    for (std::uint64_t i = 0; i < g.n; ++i) p[i] = i;
    auto find = [&](std::uint64_t x) {
        while (p[x] != x) x = p[x] = p[p[x]];
        return x;
    };
    std::uint64_t count = g.n;
    for (std::size_t e = 0; e < g.m(); ++e) {
        const auto a = find(g.tails[e]), b = find(g.heads[e]);
        if (a != b) {
            p[a] = b;
            --count;
        }
    }
    return count;
}

inline constexpr std::uint64_t FAR = std::uint64_t{1} << 30;

// Hop distances by Floyd-Warshall over the neighbour lists `next(x)`: an
// independent reference for breadth-first searches (FAR: unreachable).
template <class Next>
std::vector<std::vector<std::uint64_t>> hop_distances(std::uint64_t n, Next next) {
    std::vector<std::vector<std::uint64_t>> d(n, std::vector<std::uint64_t>(n, FAR));
    for (std::uint64_t x = 0; x < n; ++x) {
        d[x][x] = 0;
        for (auto y : next(x)) {
            if (y < n && y != x) d[x][y] = 1;
        }
    }
    for (std::uint64_t k = 0; k < n; ++k)
        for (std::uint64_t i = 0; i < n; ++i)
            for (std::uint64_t j = 0; j < n; ++j) d[i][j] = std::min(d[i][j], d[i][k] + d[k][j]);
    return d;
}

}  // namespace zelk::testing
