// MinRatioOracle: the static-tree min-ratio cycle oracle.
//
// Every off-tree edge closes one cycle with a low-stretch tree and a second
// one with its embedding in a spanner over the whole graph; the tree and the
// spanner are rebuilt every `rebuild_every` iterations and reused between.
// A query runs a sequential spanner scan (which refreshes the spanner's
// values and caches embeddings) and then a parallel tree scan on the worker
// pool; the best candidate under select_better_candidate is returned.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "min_ratio/cycle_candidate.hpp"
#include "spanner/dynamic_spanner.hpp"
#include "trees/low_stretch_tree.hpp"

namespace zelk {

class WorkerPool;

// Read-only input of one query, borrowed for the call.
struct OracleQuery {
    std::span<const NodeIndex> tails;  // its length m is the number of edges scanned
    std::span<const NodeIndex> heads;
    std::span<const double> gradients;
    std::span<const double> lengths;
    std::uint64_t iteration = 0;
    std::uint64_t node_count = 0;
};

// Statistics of the last spanner scan.
struct ScanStats {
    double max_gradient_drift = 0.0;
    double max_length_ratio = 0.0;
    std::uint64_t candidates_scored = 0;

    friend bool operator==(const ScanStats&, const ScanStats&) = default;
};

// Edges per chunk of the parallel tree scan. Chunks are folded left to right
// and joined in index order, so the answer does not depend on the number of
// threads.
inline constexpr std::size_t TREE_SCAN_CHUNK = 1024;

// The tree scan alone: the best score_edge_cycle candidate over edges
// [0, tails.size()), as a deterministic chunked reduction on `pool`.
// Cost: O(n) for sums from the roots, then per off-tree edge an O(1) bound
// on its ratio (met at the lowest common ancestor); only edges whose bound
// does not rule them out walk their tree path (in a random edge order, about
// the log of the chunk size).
std::optional<CycleCandidate> best_tree_cycle(const LowStretchTree& tree,
                                              std::span<const NodeIndex> tails,
                                              std::span<const NodeIndex> heads,
                                              std::span<const double> gradients,
                                              std::span<const double> lengths, WorkerPool& pool);

// The same answer with every off-tree edge's path walked (no bounds); the
// reference the pruned scan is checked against. Cost: the sum of path lengths.
std::optional<CycleCandidate> best_tree_cycle_by_paths(
    const LowStretchTree& tree, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const double> gradients, std::span<const double> lengths, WorkerPool& pool);

class MinRatioOracle {
public:
    // Rebuilds when forced, before the first tree, at iteration 0, or when
    // iteration - last_rebuild_iteration (wrapping) >= rebuild_every; then
    // scans. A tree-build error is returned unchanged and keeps the old
    // tree and spanner. An empty result: no edge produced a candidate.
    TreeResult<std::optional<CycleCandidate>> best_cycle_with_rebuild(const OracleQuery& query,
                                                                      bool force);

    // New tree (build_with_mode; seed fixed_seed-or-0 when deterministic,
    // else seed ^ iteration) and a new spanner holding every edge in index
    // order; records the iteration and empties scan_stats.
    TreeResult<void> rebuild_tree(std::uint64_t iteration, std::uint64_t node_count,
                                  std::span<const NodeIndex> tails,
                                  std::span<const NodeIndex> heads,
                                  std::span<const double> gradients,
                                  std::span<const double> lengths);

    // Whether a query at `iteration` would keep the current tree and
    // spanner (unless forced).
    bool reuses_tree_at(std::uint64_t iteration) const;

    // Back to the state of a new oracle with the same settings, except that
    // the last tree and spanner stay behind as the graph-only part a
    // deterministic rebuild over the same graph reuses (any other rebuild
    // replaces them, as a new oracle's first one would); every answer and
    // counter from then on is the new oracle's. Buffers keep their storage.
    void restart();

    // Takes `from`'s tree, spanner and last scan as if this oracle had
    // rebuilt and scanned them itself (its counters advance likewise).
    void copy_scan_from(const MinRatioOracle& from);

    // ---- Settings (the owner fills them before the first query).
    std::optional<std::uint64_t> fixed_seed;
    std::uint64_t seed = 0;
    std::uint64_t rebuild_every = 0;
    bool deterministic = false;
    // Pool of the tree scan; null means the process-wide pool. Tests and
    // benchmarks set it to choose a thread count.
    WorkerPool* pool = nullptr;

    // ---- Read-only view.
    const std::optional<ScanStats>& scan_stats() const { return scan_stats_; }
    const std::optional<LowStretchTree>& tree() const { return tree_; }
    const std::optional<DynamicSpanner>& spanner() const { return spanner_; }
    std::uint64_t last_rebuild_iteration() const { return last_rebuild_iteration_; }
    std::uint64_t spanner_queries() const { return spanner_queries_; }
    std::uint64_t spanner_candidates_total() const { return spanner_candidates_total_; }

private:
    // Tests that plant marks or counters go through this.
    friend struct MinRatioOracleTestAccess;

    std::optional<CycleCandidate> spanner_scan(const OracleQuery& query);

    std::optional<ScanStats> scan_stats_;
    std::optional<LowStretchTree> tree_;
    std::optional<DynamicSpanner> spanner_;
    std::uint64_t last_rebuild_iteration_ = 0;
    std::uint64_t spanner_queries_ = 0;
    std::uint64_t spanner_candidates_total_ = 0;
    // The graph the tree and the spanner's walks were built over.
    std::uint64_t built_nodes_ = 0;
    std::vector<std::uint32_t> built_tails_;
    std::vector<std::uint32_t> built_heads_;
    // The tree's edge mask as bytes, which both scans read once per edge;
    // set with every new tree (a refresh keeps the tree's edges).
    std::vector<std::uint8_t> tree_edges_;

    // Scan scratch, reused across queries.
    std::vector<SignedEdge> cycle_buf_;
    std::vector<SignedEdge> path_buf_;
};

}  // namespace zelk
