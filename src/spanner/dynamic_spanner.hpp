// DynamicSpanner: a sparse subgraph with per-edge values and cached edge
// embeddings, i.e. walks inside the spanner joining an embedded edge's
// endpoints.
//
// Layout: `edges` is indexed by spanner edge identifier. Adjacency is kept
// flat as per-node singly linked lists over incidence slots (slot 2f is
// edge f's entry at u, slot 2f+1 its entry at v), appended at the tail, so
// each node's list runs in insertion order without a vector per node and
// an insertion costs O(1). Breadth-first search uses reusable scratch with a
// generation counter, so no call allocates per node.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "spanner/embedding_table.hpp"
#include "spanner/instability_tracker.hpp"
#include "trees/tree_common.hpp"

namespace zelk {

struct SpannerEdge {
    std::uint64_t u = 0;    // first endpoint (the edge's tail)
    std::uint64_t v = 0;    // second endpoint (the edge's head)
    double length = 0.0;    // value given at insertion (oracle edge length)
    double gradient = 0.0;  // second value given at insertion
    bool active = true;     // usable by embeddings
};

class DynamicSpanner {
public:
    // Empty spanner over n nodes; instability = InstabilityTracker(1, 0.0).
    explicit DynamicSpanner(std::size_t n);

    // Appends the edge (active), grows the node range to cover u and v,
    // lists the edge at u then at v; returns its identifier.
    // Inline: rebuilds insert every carried edge, so the call is the hot loop.
    std::uint64_t insert_edge_with_values(std::uint64_t u, std::uint64_t v, double length,
                                          double gradient);

    // Inserts source[ids[0]], source[ids[1]], ... in turn with their
    // endpoints and values, as insert_edge_with_values would one by one,
    // sizing the storage once.
    void insert_edges_from(std::span<const SpannerEdge> source, std::span<const std::uint64_t> ids);

    // Reserves room for `count` more edges (no observable effect).
    void reserve_edges(std::size_t count);

    // The state of DynamicSpanner(n) except that `embeddings` is left as it
    // is (a caller rewriting every walk reuses their storage); every buffer
    // keeps its capacity, so a rebuild allocates nothing once warm.
    void reset_keeping_embeddings(std::size_t n);

    // Breadth-first search over active edges from u to v (fewest spanner
    // edges; each node's predecessor is the node that reached it first). On
    // success the walk is stored under edge_id (replacing an older one) and
    // returned. Nothing for u or v outside node_count, u == v, or v
    // unreachable; then nothing is stored.
    std::optional<std::vector<SignedEdge>> embed_edge_with_bfs(std::uint64_t edge_id,
                                                               std::uint64_t u, std::uint64_t v);

    // As embed_edge_with_bfs, but returns the stored walk in place (no copy),
    // or nothing. The span is valid until `embeddings` is next modified.
    std::optional<EmbeddingTable::Walk> embed_edge_with_bfs_stored(std::uint64_t edge_id,
                                                                   std::uint64_t u,
                                                                   std::uint64_t v);

    // True when a non-empty walk is stored under edge_id whose pairs have
    // signs +-1, name existing active edges and chain end to start.
    bool embedding_valid(std::uint64_t edge_id) const;

    // Identifiers of the spanner edges listed at node x, in insertion order
    // (a self-loop twice). Empty for x beyond the node range.
    std::vector<std::uint64_t> adjacency_of(std::uint64_t x) const;

    // Calls f(edge_id) for each entry of x's list, in insertion order.
    template <class F>
    void for_each_incident(std::uint64_t x, F&& f) const {
        if (x >= adj_head_.size()) return;
        for (std::uint64_t s = adj_head_[x]; s != NO_INDEX; s = adj_next_[s]) f(s >> 1);
    }

    // ---- Data (adjacency is the flat linked-list form above).
    std::vector<SpannerEdge> edges;
    InstabilityTracker instability;
    EmbeddingTable embeddings;
    std::uint64_t node_count = 0;
    std::uint64_t insertions = 0;

private:
    void grow_nodes(std::size_t count);
    // Appends incidence slot `slot` at the tail of node x's list.
    void append_slot(std::uint64_t x, std::uint64_t slot);
    bool bfs(std::uint64_t u, std::uint64_t v);

    std::vector<std::uint64_t> adj_head_;  // first slot per node, NO_INDEX if none
    std::vector<std::uint64_t> adj_tail_;  // last slot per node
    std::vector<std::uint64_t> adj_next_;  // next slot of the same node, per slot

    // Search scratch, reused across calls.
    std::vector<std::uint32_t> mark_;  // == generation_ when visited
    std::vector<std::uint64_t> pred_node_;
    std::vector<std::uint64_t> pred_edge_;
    std::vector<std::uint64_t> queue_;
    std::vector<SignedEdge> walk_;
    std::uint32_t generation_ = 0;
};

inline std::uint64_t DynamicSpanner::insert_edge_with_values(std::uint64_t u, std::uint64_t v,
                                                             double length, double gradient) {
    const std::uint64_t id = edges.size();
    edges.push_back(SpannerEdge{u, v, length, gradient, true});
    if (u >= adj_head_.size() || v >= adj_head_.size()) {
        const std::uint64_t count = std::max(u, v) + 1;
        grow_nodes(count);
        node_count = count;
    }
    adj_next_.push_back(NO_INDEX);
    adj_next_.push_back(NO_INDEX);
    append_slot(u, 2 * id);
    append_slot(v, 2 * id + 1);
    ++insertions;
    return id;
}

inline void DynamicSpanner::append_slot(std::uint64_t x, std::uint64_t slot) {
    if (adj_tail_[x] == NO_INDEX) {
        adj_head_[x] = slot;
    } else {
        adj_next_[adj_tail_[x]] = slot;
    }
    adj_tail_[x] = slot;
}

}  // namespace zelk
