// BranchingTreeChain: a hierarchy of levels, each a low-stretch spanning
// forest of the level's graph (LSForest view), that graph with every forest
// tree contracted to one node, and a decremental spanner of the contracted
// graph; the next level is built on the contracted graph. Every level edge
// closed by the forest path between its endpoints is a candidate cycle, and
// extract_min_ratio_cycle returns the best of a short list of the most
// improving ones. Per-level counters and a failure log serve the owner's
// rebuild decisions.
//
// Contract: build fails only with the tree builders' TreeError. A level that
// breaks the hierarchy (a later level that does not shrink the contracted
// node count to at most ceil(reduction_factor * previous), or whose spanner
// reports an internal error) is not kept: the build stops with the levels
// before it and logs "hierarchy reduction failed: {previous} -> {current}"
// (or the spanner's message) in the failure log. A forest spans its graph, so a
// connected input gives one level and a disconnected one stops at the
// second. Cycles are lists of (edge, sign) pairs in walk order; those of
// form_cycle are closed walks in the level's edges.
// Cost: build is one Kruskal tree plus linear work per level; a forest path
// costs its length (pairs are resolved through a per-level hash index), so
// extract_min_ratio_cycle is O(m * (path length) + m) plus O(sqrt m) per
// list replacement at worst; once the list is full, a level-0 edge costs
// O(1) (sums from the roots, with a proven rounding bound; the lowest
// common ancestor, when the bound needs it, costs the path once per level
// build) unless the bound lets it into the list, and a node's link to its
// parent costs O(1) always. Queries reuse scratch buffers; a chain is not
// for concurrent use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index_types.hpp"
#include "spanner/decremental_spanner.hpp"
#include "spanner/ls_forest.hpp"
#include "trees/shiftable_forest_collection.hpp"
#include "trees/tree_common.hpp"
#include "u64_hash.hpp"

namespace zelk {

using Cycle = std::vector<SignedEdge>;

// Upper bound on the number of levels. Levels that shrink by any factor
// below 1/2 exhaust 64-bit node counts well before it; beyond it a chain
// (a disconnected graph with a reduction factor of 1 or more) could only
// repeat edgeless levels without end.
inline constexpr std::uint64_t MAX_CHAIN_LEVELS = 64;

struct LevelData {
    LSForest forest;
    ContractedGraph contracted;
    DecrementalSpanner spanner;
    std::vector<std::uint64_t> node_cluster;            // per level node
    std::vector<std::uint64_t> contracted_edge_origin;  // per contracted edge
    std::vector<NodeIndex> tails;
    std::vector<NodeIndex> heads;
    std::vector<double> lengths;
    // Derived indexes, filled by index_edge_pairs (build calls it; a level
    // assembled by hand must call it after setting forest, tails and heads):
    // when the forest is a forest, the lowest level edge joining each node
    // and its rooted parent (NO_INDEX at roots and where no edge joins
    // them); otherwise unordered node pair -> lowest level edge joining it.
    U64HashMap<std::uint64_t> first_edge_of_pair;
    std::vector<std::uint64_t> parent_link;
    // With parent_link: +1 where the node's link runs from the node to its
    // parent, -1 where it runs from the parent (the sign of the step up).
    std::vector<std::int8_t> parent_up_sign;
    // When every non-root node has its link and each depth is its parent's
    // plus one: the nodes by depth (parents first), along which sums from
    // the roots bound a cycle's sums without walking it (empty otherwise,
    // unless the level has no nodes).
    std::vector<std::uint64_t> by_depth;
    // Per level edge, with by_depth: what the forest alone fixes of the
    // bound on its cycle's score, so that a query only adds the sums.
    // The rounding scale of its walk (infinite where the bound does not
    // apply: a self-loop, ends in different trees, a walk too deep;
    // CLOSES_ON_ITSELF for the link of a node to its parent, whose cycle is
    // that edge forth and back: numerator g - g, never negative, so never a
    // candidate) and the lowest common ancestor of its ends (NO_NODE until
    // a query needs it; the forest fixes it, so it is kept until the level
    // is indexed again).
    struct EdgeBound {
        static constexpr std::uint32_t NO_NODE = 0xFFFFFFFFU;
        static constexpr double CLOSES_ON_ITSELF = -1.0;
        double scale = 0.0;
        std::uint32_t lca = NO_NODE;
    };
    std::vector<EdgeBound> edge_bounds;

    void index_edge_pairs();
    // The pair index alone (the one a level without a forest uses).
    void index_node_pairs();

private:
    // False (by_depth left empty) when the rooted forest is inconsistent.
    bool index_forest_depths();
};

struct LevelCounters {
    std::uint64_t rounds = 0;
    std::uint64_t instability_hits = 0;
    std::uint64_t instability_rebuilds = 0;
    std::uint64_t round_threshold = 1;
    std::uint64_t instability_threshold = 2;
};

// A deterministic tree with seed 0 that its owner built over these arrays.
// A level-0 build over equal arrays (bit for bit) reads it instead of
// building the same tree again.
struct PrebuiltTree {
    const LowStretchTree* tree = nullptr;
    std::uint64_t node_count = 0;
    std::span<const NodeIndex> tails;
    std::span<const NodeIndex> heads;
    std::span<const double> lengths;

    // The tree when it was built over exactly these arrays, else nullptr.
    const LowStretchTree* over(std::uint64_t n, std::span<const NodeIndex> t,
                               std::span<const NodeIndex> h, std::span<const double> l) const;
};

// The graph a level rebuild starts from (borrowed).
struct ChainGraph {
    std::span<const NodeIndex> tails;
    std::span<const NodeIndex> heads;
    std::span<const double> lengths;
    std::uint64_t node_count = 0;
    bool deterministic = true;
    PrebuiltTree prebuilt;  // optional
};

class BranchingTreeChain {
public:
    // ---- Construction.

    // n == 0 gives EmptyGraph, arrays of unequal length MissingEdgeLengths.
    // Level limit: `level_limit` when given (0 acts as 1), else
    // automatic_level_limit(n); at most MAX_CHAIN_LEVELS. Trees use seed 0;
    // `forests` (3 forests, one level per chain level) only when
    // deterministic.
    static TreeResult<BranchingTreeChain> build(std::uint64_t n, std::span<const NodeIndex> tails,
                                                std::span<const NodeIndex> heads,
                                                std::span<const double> lengths,
                                                std::optional<std::uint64_t> level_limit,
                                                bool deterministic, double reduction_factor);

    // 1 for n <= 1, else max(floor(ln n / ln 8) + 1, 1): 7 -> 1, 8 -> 2, 64 -> 3.
    static std::uint64_t automatic_level_limit(std::uint64_t n);

    // ---- Queries.

    // The best improving cycle: levels from the highest down, each edge's
    // form_cycle scored by -numerator/denominator (values beyond the arrays
    // count as 0.0; only denominator > 0 and numerator < 0 qualify); a list
    // of at most ceil(sqrt(|lengths|)) entries keeps the best (a full list
    // replaces its earliest lowest entry by a strictly better one); the
    // first entry wins unless a later one beats the current choice by more
    // than the factor 1 + tolerance.
    std::optional<Cycle> extract_min_ratio_cycle(std::span<const double> gradients,
                                                 std::span<const double> lengths, double tolerance);

    // The cycle closed by level edge i: the forest path from its tail to its
    // head, then (i, -1) (a self-loop: (i, +1) alone). On levels above 0 a
    // path of at least 9 pairs between nodes of different contracted nodes
    // is replaced by a detour through the level's spanner, joined inside
    // each contracted node by forest paths. Nothing when i is out of range
    // or a path is missing.
    std::optional<Cycle> form_cycle(std::uint64_t i, std::uint64_t level);

    // The forest path from u to v in level edges: for each consecutive node
    // pair (a, b) the lowest-indexed edge joining them, sign +1 when it runs
    // from a to b. Nothing without a forest path or a joining edge; the empty
    // list for u == v.
    static std::optional<std::vector<SignedEdge>> path_edges_between(const LevelData& level,
                                                                     std::uint64_t u,
                                                                     std::uint64_t v);

    // Rebuilds levels 0..level (all levels when `all`) from `graph`; a build
    // error is returned and leaves the chain unchanged. Counters are
    // recreated with zero counts; failures and forests are kept.
    TreeResult<void> rebuild_level(std::uint64_t level, const ChainGraph& graph, bool all);

    // ---- Upkeep between queries (the owner's schedule).

    // Whether level 0 was built for `edge_count` edges, so that new lengths
    // can be taken in place instead of building a new chain.
    bool built_for(std::size_t edge_count) const;

    // Level 0 takes `lengths` when they have one entry per level-0 edge.
    void take_lengths(std::span<const double> lengths);

    // Level 0 takes the lengths of the `changed` edges. With `shift_forests`
    // the forest collection then moves every level on to its next forest
    // when at least shift_threshold edges changed, else it applies its
    // pending changes to level 0's current forest.
    void follow_length_changes(std::span<const std::uint64_t> changed,
                               std::span<const double> lengths, bool shift_forests);

    // One round of the owner's stability tracking: a stable round counts
    // toward a scheduled rebuild of level 0 (round_threshold), an unstable
    // one toward a forced one (instability_threshold, or instability_limit
    // rounds without a rebuild). A rebuild error is returned.
    TreeResult<void> record_round(bool stable, const ChainGraph& graph);

    // ---- Read-only view for tests, benchmarks and the owner.
    const std::vector<LevelData>& levels() const { return levels_; }
    const std::vector<LevelCounters>& level_counters() const { return level_counters_; }
    // The latest FAILURE_LOG_LIMIT rebuild reasons, "level {level}: {reason}".
    const std::vector<std::string>& failures() const { return failures_; }
    const std::optional<ShiftableForestCollection>& forests() const { return forests_; }
    const std::vector<double>& build_seconds() const { return build_seconds_; }
    std::uint64_t instability_count() const { return instability_count_; }
    static constexpr std::size_t FAILURE_LOG_LIMIT = 32;

private:
    // Tests that plant hand-made levels or counters go through this.
    friend struct BranchingTreeChainTestAccess;

    void record_failure(std::uint64_t level, std::string_view reason);

    std::vector<LevelData> levels_;
    std::vector<LevelCounters> level_counters_;
    std::vector<std::string> failures_;
    std::optional<ShiftableForestCollection> forests_;
    double reduction_factor_ = 0.125;
    std::uint64_t default_round_threshold_ = 1;
    std::uint64_t default_instability_threshold_ = 2;
    std::uint64_t instability_limit_ = 2;
    std::uint64_t instability_count_ = 0;
    std::uint64_t shift_threshold_ = 1;
    std::vector<double> build_seconds_;

    // Levels only (no counters, no forests); messages of levels that were
    // not kept go to `log`.
    static TreeResult<void> build_levels(std::uint64_t n, std::span<const NodeIndex> tails,
                                         std::span<const NodeIndex> heads,
                                         std::span<const double> lengths, std::uint64_t limit,
                                         bool deterministic, double reduction_factor,
                                         std::vector<LevelData>& out, std::vector<double>& seconds,
                                         std::vector<std::string>& log,
                                         const PrebuiltTree& first_tree = {});

    static bool path_edges_into(const LevelData& level, std::uint64_t u, std::uint64_t v,
                                std::vector<std::uint64_t>& nodes, std::vector<SignedEdge>& down,
                                std::vector<SignedEdge>& out);
    bool form_cycle_into(std::uint64_t i, std::uint64_t level, Cycle& out);
    // Sums from the roots of level 0's forest into the prefix scratch;
    // false when the level has no depth order or a sum is not finite.
    bool fill_prefix_sums(std::span<const double> gradients, std::span<const double> lengths);
    // True when level-0 edge i's cycle provably scores at most `threshold`
    // (or is no candidate): its walk would not enter the candidate list.
    // Fills the edge's cached lowest common ancestor when it needs it.
    bool cannot_beat(std::uint64_t i, double threshold, std::span<const double> gradients,
                     std::span<const double> lengths);
    // The cycle of edge i of a level whose forest paths are read from
    // parent links and never detour (level 0), exactly as form_cycle_into
    // forms it, closing edge aside: walk_[0, walk_up_) and then
    // walk_[walk_down_, walk_end_); numerator and denominator summed in walk
    // order. False where form_cycle_into gives no cycle.
    bool walk_linked_cycle(const LevelData& level, std::uint64_t i,
                           std::span<const double> gradients, std::span<const double> lengths,
                           double& num, double& den);
    void reset_counters();

    // Query scratch.
    std::vector<std::uint64_t> nodes_;
    std::vector<SignedEdge> down_;
    std::vector<SignedEdge> piece_;
    // The walk of walk_linked_cycle: steps up from the tail from the front,
    // steps down to the head placed from the back.
    std::vector<SignedEdge> walk_;
    std::size_t walk_up_ = 0, walk_down_ = 0, walk_end_ = 0;
    Cycle cycle_;
    std::vector<std::pair<double, Cycle>> candidates_;
    std::vector<std::size_t> lowest_heap_;  // entries of a full list
    // Per level-0 node: signed gradient sum from the root (edges taken
    // downward), sum of |gradient| and sum of |length|, side by side since
    // the bound reads all three at each end.
    struct PrefixSums {
        double gradient = 0.0;
        double abs_gradient = 0.0;
        double length = 0.0;
    };
    std::vector<PrefixSums> prefix_;
};

}  // namespace zelk
