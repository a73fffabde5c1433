// Shared pieces of the C++ micro-benchmarks: seeded test graphs, a monotonic
// millisecond timer and the median of repeated measurements.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace zelk::benchmarks {

struct BenchGraph {
    std::string name;
    std::uint64_t n = 0;
    std::vector<std::uint32_t> tails, heads;
};

// A random chain through all m / 8 nodes (connected, as NETGEN's skeleton),
// then random arcs without self-loops; edge order shuffled.
inline BenchGraph netgen_like(std::size_t m, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    BenchGraph g;
    g.name = "netgen";
    g.n = std::max<std::size_t>(m / 8, 2);
    std::vector<std::uint32_t> perm(g.n);
    std::iota(perm.begin(), perm.end(), 0u);
    std::shuffle(perm.begin(), perm.end(), rng);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> arcs;
    for (std::size_t i = 0; i + 1 < g.n; ++i) arcs.push_back({perm[i], perm[i + 1]});
    while (arcs.size() < m) {
        const auto a = static_cast<std::uint32_t>(rng() % g.n);
        const auto b = static_cast<std::uint32_t>(rng() % g.n);
        if (a != b) arcs.push_back({a, b});
    }
    std::shuffle(arcs.begin(), arcs.end(), rng);
    for (auto [a, b] : arcs) {
        g.tails.push_back(a);
        g.heads.push_back(b);
    }
    return g;
}

// A side x side grid with about m edges: right and down arcs, or arcs both
// ways between 4-neighbours when `both_ways`.
inline BenchGraph grid(std::size_t m, bool both_ways = false) {
    BenchGraph g;
    g.name = "grid";
    const double per_node = both_ways ? 4.0 : 2.0;
    const auto side =
        static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(m) / per_node)));
    g.n = side * side;
    auto arc = [&](std::uint32_t a, std::uint32_t b) {
        g.tails.push_back(a);
        g.heads.push_back(b);
        if (both_ways) {
            g.tails.push_back(b);
            g.heads.push_back(a);
        }
    };
    for (std::size_t r = 0; r < side; ++r) {
        for (std::size_t c = 0; c < side; ++c) {
            const auto v = static_cast<std::uint32_t>(r * side + c);
            if (c + 1 < side) arc(v, v + 1);
            if (r + 1 < side) arc(v, static_cast<std::uint32_t>(v + side));
        }
    }
    return g;
}

using Clock = std::chrono::steady_clock;

inline double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace zelk::benchmarks
