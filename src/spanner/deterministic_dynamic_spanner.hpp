// DeterministicDynamicSpanner: a snapshot of all edges with their current
// length and gradient, and a DynamicSpanner rebuilt from it by a fixed rule:
// the edges of a deterministic Kruskal tree (over |length|, edges ordered by
// (min endpoint, max endpoint, identifier)), plus every edge whose tree path
// is longer than stretch_factor times its |length| (and every edge of length
// <= 0 or joining two trees). Every snapshot edge gets an embedding stored
// under its snapshot identifier: itself when carried, else its tree path in
// spanner edges (a self-loop: the empty walk). Value updates between
// rebuilds are written through and accumulated as instability (slot 0);
// every rebuild_period updates the spanner is rebuilt.
//
// Contract: nothing reports an error; a failed tree build leaves an empty
// spanner without embeddings. edge_budget and rebuild_period only grow.
// Cost: a rebuild is one Kruskal build over the active edges plus one LCA
// and one tree path per non-tree edge; the endpoint sort is skipped while
// the active edges keep their endpoints, the Kruskal sort starts from the
// last order (and union-find is skipped when that order stands), and while
// the tree stays the same its lowest common ancestors and the walks of edges
// left out of the spanner both times, or carried by the same spanner edge
// both times, are kept. An update is O(1) between rebuilds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "index_types.hpp"
#include "spanner/dynamic_spanner.hpp"
#include "trees/dynamic_tree.hpp"
#include "trees/low_stretch_tree.hpp"
#include "trees/tree_common.hpp"

namespace zelk {

class DeterministicDynamicSpanner {
public:
    // No edges, an empty spanner over 0 nodes.
    DeterministicDynamicSpanner();

    // Replaces the snapshot by the first k = min of the four lengths edges
    // (endpoints below n), raises edge_budget to 8n and rebuild_period to
    // ceil(ln n), resets the update count and rebuilds.
    void sync_snapshot(std::uint64_t n, std::span<const NodeIndex> tails,
                       std::span<const NodeIndex> heads, std::span<const double> lengths,
                       std::span<const double> gradients);

    // False (and nothing changes) when e is not an active snapshot edge.
    // Otherwise writes the values into the snapshot and, when e is carried
    // by an active spanner edge, adds |ln(new/old length)| (both > 0) and
    // |gradient change| * max(|old length|, 1) to the instability total and
    // writes them there too; counts the update and rebuilds every
    // rebuild_period updates.
    bool update_edge_values(std::uint64_t e, double length, double gradient);

    // Rebuilds the spanner and all embeddings from the snapshot.
    void rebuild();

    // Back to the state of a new spanner (stretch_factor aside), with every
    // buffer's storage and two caches the next snapshot may use: the last
    // endpoint order, which a rebuild checks key by key before using, and
    // the last Kruskal order, a sort hint only. Stored walks are dropped.
    void restart();

    // The last tree with the arrays it was built over, positions standing
    // for snapshot identifiers: what other Kruskal trees over the same edges
    // and lengths may take. No tree when none stands. Valid until the next
    // rebuild or restart.
    RenamedForest last_forest() const;

    // ---- Data.
    std::vector<SpannerEdge> edges;              // the snapshot
    std::vector<std::uint64_t> edge_to_spanner;  // carrying spanner edge, NO_INDEX if none
    DynamicSpanner spanner;
    std::uint64_t node_count = 0;
    double stretch_factor = 4.0;
    std::uint64_t edge_budget = 1;
    std::uint64_t rebuild_period = 1;
    std::uint64_t updates_since_rebuild = 0;

private:
    // The steps of rebuild.
    bool sort_active_edges();
    void carry_edges(const LowStretchTree& tree, bool same_tree);
    bool fill_up_steps(const LowStretchTree& tree);
    void write_embeddings(const LowStretchTree& tree, bool same_tree);
    void rewrite_embeddings(const LowStretchTree& tree);
    bool climb(const LowStretchTree& tree, std::size_t position, std::uint64_t up,
               std::span<SignedEdge> walk) const;
    void write_embedding_walked(const LowStretchTree& tree, std::size_t position);
    void carry(std::uint64_t id);

    // An active edge as the last sort saw it, and its sorted position.
    struct ActiveEdge {
        std::uint64_t u = 0;
        std::uint64_t v = 0;
        std::uint64_t id = 0;
        std::uint64_t position = 0;
    };

    // Rebuild scratch.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> keyed_;
    std::vector<ActiveEdge> active_;  // the edges behind order_, by identifier
    std::vector<std::uint64_t> order_;
    std::vector<std::uint64_t> carried_;     // identifiers in insertion order
    std::vector<SignedEdge> up_;             // per node: the step to its parent
    std::vector<std::uint64_t> walk_steps_;  // per position: cells of its walk
    std::vector<std::uint64_t> walk_up_;     // per position: steps up to the ancestor
    std::vector<std::size_t> unwalked_;      // positions left to the general form
    std::vector<NodeIndex> tails_;
    std::vector<NodeIndex> heads_;
    std::vector<double> lengths_;
    std::vector<SignedEdge> path_;
    std::vector<std::uint64_t> kruskal_order_;  // the last tree's order, the next sort's hint
    std::vector<std::uint64_t> lca_;  // per position, of the non-tree edges; NO_INDEX: two trees
    static constexpr std::uint64_t LCA_UNKNOWN = NO_INDEX - 1;  // not looked up
    LowStretchTree tree_;                                       // the last tree, rebuilt in place
    // The last rebuild's tree and carriers, behind the walks stored then;
    // stored walks are written by rebuild alone.
    std::vector<bool> walked_in_tree_;
    std::vector<std::uint64_t> walked_carrier_;
    bool walks_valid_ = false;
};

}  // namespace zelk
