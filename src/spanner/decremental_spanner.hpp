// DecrementalSpanner: a layered cluster spanner over a contracted graph.
// Layer 0 is built on the given graph; each further layer on the graph
// obtained by contracting the clusters of the layer below (parallel
// inter-cluster edges merged, smallest length kept). embed_path answers
// paths between layer-0 nodes by breadth-first search over layer 0's kept
// edges; build_spanner_on_core also stores, per contracted node, a walk
// through its members.
//
// Contract: rebuild_from_edges replaces all layers (keeping cluster_paths
// and edge_use) and fails with a DecrementalSpannerError when the kept-edge
// total exceeds max(edge_factor, 1) * max(N, 1) (N = layer 0's node count)
// or when recourse_denominator is 0; a failed rebuild leaves the layers it
// built. embed_path answers nothing for nodes out of range, unreachable
// targets or a listed edge identifier out of range; the empty list for
// u == v; its edges carry sign +1 (the direction is not recorded) and
// their edge_use counts grow by 1 (saturating). Node indices fit in 32 bits.
// Cost: building is linear per layer (see build_layer); embed_path is a
// breadth-first search on reusable scratch, linear in what it reaches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "index_types.hpp"
#include "spanner/dynamic_spanner.hpp"
#include "spanner/graph_layer.hpp"
#include "spanner/ls_forest.hpp"
#include "trees/tree_common.hpp"
#include "u64_hash.hpp"

namespace zelk {

struct DecrementalSpannerConfig {
    double aux_scale = 1.0;                  // carried, not read
    std::uint64_t recourse_denominator = 1;  // must be nonzero
    double aux_exponent = 0.25;              // carried, not read
    std::uint64_t aux_count_a = 1;           // carried, not read
    std::uint64_t edge_factor = 8;           // kept-edge budget per layer-0 node
    std::uint64_t aux_count_b = 1;           // carried, not read
    std::uint64_t layer_count = 1;           // layers to build (below 2: layer 0 only)
    bool deterministic = true;               // ordering rules of build_layer
};

// A graph with every tree of a forest contracted to one node. The first
// member of each node is its representative.
struct ContractedGraph {
    std::vector<NodeIndex> tails;
    std::vector<NodeIndex> heads;
    std::vector<double> lengths;
    std::vector<std::vector<std::uint64_t>> members;
    std::uint64_t node_count = 0;
};

// Internal failures of rebuild_from_edges.
struct DecrementalSpannerError {
    enum class Kind {
        EdgeBudgetExceeded,        // "spanner edges {total} exceed {edge_factor} * n (n={N})"
        RecourseExponentMismatch,  // "recourse exponent mismatch"
    };
    Kind kind;
    std::string message;
};

template <class T>
using DecrementalResult = std::expected<T, DecrementalSpannerError>;

class DecrementalSpanner {
public:
    // ---- Construction (`new`): an empty spanner with `config`, then
    // rebuild_from_edges.
    static DecrementalResult<DecrementalSpanner> create(std::uint64_t n,
                                                        std::span<const NodeIndex> tails,
                                                        std::span<const NodeIndex> heads,
                                                        std::span<const double> lengths,
                                                        const DecrementalSpannerConfig& config);

    DecrementalResult<void> rebuild_from_edges(std::uint64_t n, std::span<const NodeIndex> tails,
                                               std::span<const NodeIndex> heads,
                                               std::span<const double> lengths);

    // ---- Queries.

    std::optional<std::vector<SignedEdge>> embed_path(std::uint64_t u, std::uint64_t v);

    // The layer-0 edges joining the unordered pair {a, b}, in identifier
    // order (empty when none).
    std::span<const std::uint64_t> pair_edges(std::uint64_t a, std::uint64_t b) const;

    // How many embed_path answers used layer-0 edge f.
    std::uint64_t edge_use_of(std::uint64_t f) const {
        return f < edge_use.size() ? edge_use[f] : 0;
    }

    // ---- Data.
    std::vector<GraphLayer> layers;
    std::vector<U64HashSet> layer_sets;
    DecrementalSpannerConfig config;
    U64HashMap<EmbeddingPath> cluster_paths;
    // Per layer-0 edge identifier (dense; grows, never shrinks).
    std::vector<std::uint64_t> edge_use;
    std::uint64_t counter_a = 0;
    std::uint64_t counter_b = 0;
    std::uint64_t counter_c = 0;

private:
    // The steps of rebuild_from_edges.
    void build_layers(std::uint64_t n, std::span<const NodeIndex> tails,
                      std::span<const NodeIndex> heads, std::span<const double> lengths);
    void index_pair_edges();
    DecrementalResult<void> check_edge_budget() const;

    // pair_edges as flat lists: pair_slot_ maps a pair key to its slot s,
    // whose edges are pair_entries_[pair_offsets_[s] .. pair_offsets_[s+1]).
    U64HashMap<std::uint64_t> pair_slot_;
    std::vector<std::size_t> pair_offsets_;
    std::vector<std::uint64_t> pair_entries_;

    // Search scratch.
    std::vector<std::uint32_t> mark_;
    std::vector<std::uint64_t> pred_node_;
    std::vector<std::uint64_t> pred_edge_;
    std::vector<std::uint64_t> queue_;
    std::uint32_t generation_ = 0;
};

// The spanner of a contracted graph, with the walk of every contracted node
// of two or more members stored in cluster_paths: the forest path from its
// first member to its last member that has one, each consecutive node pair
// mapped to its first active layer-0 edge (pairs without one are left out).
// The forest and the contracted graph must share a node numbering for these
// walks to mean anything.
DecrementalResult<DecrementalSpanner> build_spanner_on_core(const ContractedGraph& graph,
                                                            const LSForest& forest,
                                                            const DecrementalSpannerConfig& config);

}  // namespace zelk
