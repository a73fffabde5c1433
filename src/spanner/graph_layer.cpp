#include "spanner/graph_layer.hpp"

#include <algorithm>
#include <cmath>

#include "trees/tree_common.hpp"

namespace zelk {

namespace {

inline std::uint64_t other_end(const LayerEdge& e, std::uint64_t x) { return e.u == x ? e.v : e.u; }

inline std::uint64_t edge_key(const LayerEdge& e) {
    const std::uint64_t a = std::min(e.u, e.v), b = std::max(e.u, e.v);
    return (a << 32) | (b & 0xFFFFFFFFULL);
}

}  // namespace

std::uint64_t cluster_limit(std::uint64_t n) {
    const double x = std::floor(std::log(static_cast<double>(std::max<std::uint64_t>(n, 2))));
    return static_cast<std::uint64_t>(x);
}

GraphLayer build_layer(std::uint64_t n, std::span<const std::uint32_t> tails,
                       std::span<const std::uint32_t> heads, std::span<const double> lengths,
                       bool deterministic) {
    GraphLayer g;
    g.node_count = n;
    const std::size_t m = std::min(tails.size(), heads.size());

    // Edges and insertion-order incidence lists (tail, then head).
    g.edges.resize(m);
    g.layer_offsets.assign(n + 1, 0);
    for (std::size_t e = 0; e < m; ++e) {
        g.edges[e] = LayerEdge{tails[e], heads[e], e < lengths.size() ? lengths[e] : 1.0, true};
        if (tails[e] < n && heads[e] < n) {
            ++g.layer_offsets[tails[e] + 1];
            ++g.layer_offsets[heads[e] + 1];
        }
    }
    for (std::uint64_t x = 0; x < n; ++x) g.layer_offsets[x + 1] += g.layer_offsets[x];
    g.layer_entries.resize(g.layer_offsets[n]);
    std::vector<std::size_t> cursor(g.layer_offsets.begin(), g.layer_offsets.end() - 1);
    for (std::size_t e = 0; e < m; ++e) {
        if (tails[e] < n && heads[e] < n) {
            g.layer_entries[cursor[tails[e]]++] = e;
            g.layer_entries[cursor[heads[e]]++] = e;
        }
    }

    // Deterministic lists in edge-key order. Every key at x contains x, so
    // the key order of x's list is the order of the other endpoint, ties by
    // identifier; visiting the nodes y ascending and appending each edge of
    // y's (identifier-ordered) list to its other endpoint builds exactly
    // that order without sorting.
    std::vector<std::uint64_t> sorted_entries;
    if (deterministic) {
        sorted_entries.resize(g.layer_entries.size());
        std::copy(g.layer_offsets.begin(), g.layer_offsets.end() - 1, cursor.begin());
        for (std::uint64_t y = 0; y < n; ++y) {
            for (std::uint64_t f : g.layer_adjacency(y)) {
                sorted_entries[cursor[other_end(g.edges[f], y)]++] = f;
            }
        }
    }
    auto ordered = [&](std::uint64_t x) -> std::span<const std::uint64_t> {
        if (!deterministic) return g.layer_adjacency(x);
        return std::span<const std::uint64_t>(sorted_entries)
            .subspan(g.layer_offsets[x], g.layer_offsets[x + 1] - g.layer_offsets[x]);
    };

    // Clusters.
    const std::uint64_t limit = cluster_limit(n);
    g.cluster.assign(n, NO_INDEX);
    std::uint64_t clusters = 0;
    std::vector<std::uint64_t> queue;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t r = deterministic ? i : n - 1 - i;
        if (g.cluster[r] != NO_INDEX) continue;
        const std::uint64_t c = clusters++;
        g.cluster[r] = c;
        std::uint64_t size = 1;
        queue.clear();
        queue.push_back(r);
        for (std::size_t head = 0; head < queue.size(); ++head) {
            if (size >= limit) break;
            for (std::uint64_t f : ordered(queue[head])) {
                const std::uint64_t y = other_end(g.edges[f], queue[head]);
                if (y >= n || g.cluster[y] != NO_INDEX) continue;
                g.cluster[y] = c;
                queue.push_back(y);
                if (++size >= limit) break;
            }
        }
    }

    // Two edges per node, then one edge per cluster. `selected` doubles as
    // the membership test of spanner_edges.
    std::vector<bool> selected(m, false);
    auto select = [&](std::uint64_t f) {
        if (selected[f]) return;
        selected[f] = true;
        g.spanner_edges.push_back(f);
    };
    for (std::uint64_t x = 0; x < n; ++x) {
        const auto list = ordered(x);
        const std::size_t k = std::min<std::size_t>(list.size(), 2);
        for (std::size_t j = 0; j < k; ++j) {
            select(deterministic ? list[j] : list[list.size() - 1 - j]);
        }
    }
    // The first edge in key order whose tail lies in a cluster serves it;
    // keeping each cluster's minimum (key, identifier) and sorting only those
    // gives the same selection as walking all edges in key order.
    std::vector<std::uint64_t> best(clusters, NO_INDEX);
    for (std::size_t f = 0; f < m; ++f) {
        const LayerEdge& e = g.edges[f];
        if (!e.active || e.u >= n) continue;
        std::uint64_t& b = best[g.cluster[e.u]];
        if (b == NO_INDEX || edge_key(e) < edge_key(g.edges[b])) b = f;
    }
    std::erase(best, NO_INDEX);
    std::sort(best.begin(), best.end(), [&](std::uint64_t a, std::uint64_t b) {
        const std::uint64_t ka = edge_key(g.edges[a]), kb = edge_key(g.edges[b]);
        return ka != kb ? ka < kb : a < b;
    });
    for (std::uint64_t f : best) select(f);

    // Kept-edge lists in selection order, tail first.
    g.spanner_offsets.assign(n + 1, 0);
    for (std::uint64_t f : g.spanner_edges) {
        const LayerEdge& e = g.edges[f];
        if (e.u < n) ++g.spanner_offsets[e.u + 1];
        if (e.v < n) ++g.spanner_offsets[e.v + 1];
    }
    for (std::uint64_t x = 0; x < n; ++x) g.spanner_offsets[x + 1] += g.spanner_offsets[x];
    g.spanner_entries.resize(g.spanner_offsets[n]);
    std::copy(g.spanner_offsets.begin(), g.spanner_offsets.end() - 1, cursor.begin());
    for (std::uint64_t f : g.spanner_edges) {
        const LayerEdge& e = g.edges[f];
        if (e.u < n) g.spanner_entries[cursor[e.u]++] = f;
        if (e.v < n) g.spanner_entries[cursor[e.v]++] = f;
    }
    return g;
}

}  // namespace zelk
