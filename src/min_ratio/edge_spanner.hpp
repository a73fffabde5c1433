// EdgeSpanner: the spanner of the fully dynamic oracle, a deterministic
// dynamic spanner (deterministic mode) or a plain dynamic spanner holding
// every edge with the one-edge embedding (i, +1). Both expose the inner
// DynamicSpanner whose node count, edges, instability total and embeddings
// the oracle reads; embeddings are keyed by graph edge identifier.
//
// Contract: rebuild replaces the spanner wholesale. A refresh writes an
// edge's new (length, gradient) and adds the move to the instability total
// (slot 0): |ln of the length ratio| when both lengths are positive, plus
// |gradient change| * max(|old length|, 1). refresh_many leaves exactly the
// state that refreshing the edges one by one leaves: in deterministic mode
// a value update is counted and the spanner rebuilt every rebuild_period
// updates, and since a rebuild depends only on the snapshot and discards
// everything written into the previous spanner, only the last rebuild of a
// batch is carried out (the unread high-water mark edge_budget may stay
// lower). graph_edge maps a spanner edge back to the graph edge it carries.
// Cost: a plain refresh is O(1); a deterministic batch costs at most one
// rebuild (one sort and one Kruskal tree) plus O(1) per edge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "index_types.hpp"
#include "spanner/deterministic_dynamic_spanner.hpp"
#include "spanner/dynamic_spanner.hpp"

namespace zelk {

struct SpannerRefresh {
    std::uint64_t edge = 0;
    double length = 0.0;  // >= 0
    double gradient = 0.0;
};

class EdgeSpanner {
public:
    // Deterministic: an empty deterministic spanner; else DynamicSpanner(0).
    explicit EdgeSpanner(bool deterministic);

    bool deterministic() const {
        return std::holds_alternative<DeterministicDynamicSpanner>(value);
    }
    DynamicSpanner& dynamic();
    const DynamicSpanner& dynamic() const;

    // Deterministic: sync_snapshot(n, tails, heads, lengths, gradients).
    // Plain: a new spanner over n nodes holding edge i with (|lengths[i]|,
    // gradients[i]) and the embedding (i, +1) under i, for i below
    // min(|tails|, |heads|); missing values count as 0.0.
    void rebuild(std::uint64_t n, std::span<const NodeIndex> tails,
                 std::span<const NodeIndex> heads, std::span<const double> gradients,
                 std::span<const double> lengths);

    // Back to the state of a new EdgeSpanner of the same kind, keeping the
    // deterministic spanner's storage (DeterministicDynamicSpanner::restart).
    void restart();

    void refresh(std::uint64_t edge, double length, double gradient);
    void refresh_many(std::span<const SpannerRefresh> batch);

    // The graph edge that spanner edge f carries, or NO_INDEX. Valid until
    // the spanner next changes shape (a rebuild or a refresh).
    std::uint64_t graph_edge(std::uint64_t f) const;

    std::variant<DeterministicDynamicSpanner, DynamicSpanner> value;

private:
    void refresh_plain(DynamicSpanner& sp, const SpannerRefresh& r);

    // Inverse of the deterministic spanner's edge_to_spanner, built lazily
    // by graph_edge (a cache, hence mutable) and again after the shape may
    // have changed.
    mutable std::vector<std::uint64_t> carried_;
    mutable bool carried_fresh_ = false;
};

}  // namespace zelk
