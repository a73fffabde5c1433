#include "spanner/graph_layer.hpp"

#include <algorithm>
#include <cmath>

#include "index_types.hpp"
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

namespace {

// The steps of build_layer over one layer under construction.
class LayerBuilder {
public:
    LayerBuilder(std::uint64_t n, bool deterministic) : n_(n), deterministic_(deterministic) {
        g_.node_count = n;
    }

    // Edges and insertion-order incidence lists (tail, then head).
    void add_edges(std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
                   std::span<const double> lengths) {
        m_ = std::min(tails.size(), heads.size());
        g_.edges.resize(m_);
        g_.layer_offsets.assign(n_ + 1, 0);
        for (std::size_t e = 0; e < m_; ++e) {
            g_.edges[e] =
                LayerEdge{tails[e], heads[e], e < lengths.size() ? lengths[e] : 1.0, true};
            if (tails[e] < n_ && heads[e] < n_) {
                ++g_.layer_offsets[tails[e] + 1];
                ++g_.layer_offsets[heads[e] + 1];
            }
        }
        for (std::uint64_t x = 0; x < n_; ++x) g_.layer_offsets[x + 1] += g_.layer_offsets[x];
        g_.layer_entries.resize(g_.layer_offsets[n_]);
        cursor_.assign(g_.layer_offsets.begin(), g_.layer_offsets.end() - 1);
        for (std::size_t e = 0; e < m_; ++e) {
            if (tails[e] < n_ && heads[e] < n_) {
                g_.layer_entries[cursor_[tails[e]]++] = e;
                g_.layer_entries[cursor_[heads[e]]++] = e;
            }
        }
        if (deterministic_) order_by_key();
    }

    // Breadth-first clusters of at most cluster_limit(n) nodes.
    void grow_clusters() {
        const std::uint64_t limit = cluster_limit(n_);
        g_.cluster.assign(n_, NO_INDEX);
        std::vector<std::uint64_t> queue;
        for (std::uint64_t i = 0; i < n_; ++i) {
            const std::uint64_t r = deterministic_ ? i : n_ - 1 - i;
            if (g_.cluster[r] != NO_INDEX) continue;
            const std::uint64_t c = clusters_++;
            g_.cluster[r] = c;
            std::uint64_t size = 1;
            queue.clear();
            queue.push_back(r);
            for (std::size_t head = 0; head < queue.size() && size < limit; ++head) {
                for (std::uint64_t f : ordered(queue[head])) {
                    const std::uint64_t y = other_end(g_.edges[f], queue[head]);
                    if (y >= n_ || g_.cluster[y] != NO_INDEX) continue;
                    g_.cluster[y] = c;
                    queue.push_back(y);
                    if (++size >= limit) break;
                }
            }
        }
    }

    // Two edges per node, then one edge per cluster. `selected_` doubles as
    // the membership test of spanner_edges.
    void select_edges() {
        selected_.assign(m_, false);
        for (std::uint64_t x = 0; x < n_; ++x) {
            const auto list = ordered(x);
            const std::size_t k = std::min<std::size_t>(list.size(), 2);
            for (std::size_t j = 0; j < k; ++j) {
                select(deterministic_ ? list[j] : list[list.size() - 1 - j]);
            }
        }
        // The first edge in key order whose tail lies in a cluster serves it;
        // keeping each cluster's minimum (key, identifier) and sorting only
        // those gives the same selection as walking all edges in key order.
        std::vector<std::uint64_t> best(clusters_, NO_INDEX);
        for (std::size_t f = 0; f < m_; ++f) {
            const LayerEdge& e = g_.edges[f];
            if (!e.active || e.u >= n_) continue;
            std::uint64_t& b = best[g_.cluster[e.u]];
            if (b == NO_INDEX || edge_key(e) < edge_key(g_.edges[b])) b = f;
        }
        std::erase(best, NO_INDEX);
        std::sort(best.begin(), best.end(), [&](std::uint64_t a, std::uint64_t b) {
            const std::uint64_t ka = edge_key(g_.edges[a]), kb = edge_key(g_.edges[b]);
            return ka != kb ? ka < kb : a < b;
        });
        for (std::uint64_t f : best) select(f);
    }

    // Kept-edge lists in selection order, tail first; hands the layer over.
    GraphLayer finish() {
        g_.spanner_offsets.assign(n_ + 1, 0);
        for (std::uint64_t f : g_.spanner_edges) {
            const LayerEdge& e = g_.edges[f];
            if (e.u < n_) ++g_.spanner_offsets[e.u + 1];
            if (e.v < n_) ++g_.spanner_offsets[e.v + 1];
        }
        for (std::uint64_t x = 0; x < n_; ++x) g_.spanner_offsets[x + 1] += g_.spanner_offsets[x];
        g_.spanner_entries.resize(g_.spanner_offsets[n_]);
        std::copy(g_.spanner_offsets.begin(), g_.spanner_offsets.end() - 1, cursor_.begin());
        for (std::uint64_t f : g_.spanner_edges) {
            const LayerEdge& e = g_.edges[f];
            if (e.u < n_) g_.spanner_entries[cursor_[e.u]++] = f;
            if (e.v < n_) g_.spanner_entries[cursor_[e.v]++] = f;
        }
        return std::move(g_);
    }

private:
    // Deterministic lists in edge-key order. Every key at x contains x, so
    // the key order of x's list is the order of the other endpoint, ties by
    // identifier; visiting the nodes y ascending and appending each edge of
    // y's (identifier-ordered) list to its other endpoint builds exactly
    // that order without sorting.
    void order_by_key() {
        sorted_entries_.resize(g_.layer_entries.size());
        std::copy(g_.layer_offsets.begin(), g_.layer_offsets.end() - 1, cursor_.begin());
        for (std::uint64_t y = 0; y < n_; ++y) {
            for (std::uint64_t f : g_.layer_adjacency(y)) {
                sorted_entries_[cursor_[other_end(g_.edges[f], y)]++] = f;
            }
        }
    }

    std::span<const std::uint64_t> ordered(std::uint64_t x) const {
        if (!deterministic_) return g_.layer_adjacency(x);
        return std::span<const std::uint64_t>(sorted_entries_)
            .subspan(g_.layer_offsets[x], g_.layer_offsets[x + 1] - g_.layer_offsets[x]);
    }

    void select(std::uint64_t f) {
        if (selected_[f]) return;
        selected_[f] = true;
        g_.spanner_edges.push_back(f);
    }

    GraphLayer g_;
    std::uint64_t n_;
    std::size_t m_ = 0;
    bool deterministic_;
    std::uint64_t clusters_ = 0;
    std::vector<std::size_t> cursor_;
    std::vector<std::uint64_t> sorted_entries_;
    std::vector<bool> selected_;
};

}  // namespace

GraphLayer build_layer(std::uint64_t n, std::span<const NodeIndex> tails,
                       std::span<const NodeIndex> heads, std::span<const double> lengths,
                       bool deterministic) {
    LayerBuilder builder(n, deterministic);
    builder.add_edges(tails, heads, lengths);
    builder.grow_clusters();
    builder.select_edges();
    return builder.finish();
}

}  // namespace zelk
