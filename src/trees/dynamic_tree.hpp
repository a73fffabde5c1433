// DynamicTree: a Kruskal low-stretch tree over an edge snapshot that follows
// changing lengths, rebuilt when the graph's shape changes, when enough
// lengths have moved, or on a fixed period; between rebuilds it only records
// the new lengths.
//
// Contract: every stored length is clamped into [1/LENGTH_BOUND,
// LENGTH_BOUND] with LENGTH_BOUND = max(max(n,1)^4, 1) (doubles), non-finite
// lengths becoming LENGTH_BOUND and negative ones their absolute value, so
// the tree always sees positive finite lengths. Failures are the builder's
// TreeError, returned unchanged; a failed rebuild keeps the previous tree and
// the change counter. With change_threshold 0 the tree can belong to an
// earlier topology until the next periodic rebuild; callers compare
// tree.node_count() and tree.in_tree.size() with the snapshot.
// Cost: an update with unchanged topology is one bulk comparison of the
// endpoint arrays plus O(m) in place, without allocating; a rebuild is one
// Kruskal build (O(m log m)).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "trees/low_stretch_tree.hpp"
#include "trees/tree_common.hpp"

namespace zelk {

// A Kruskal forest another owner built with the deterministic builder over
// the same edges under other names: position p stands for edge edge_of[p],
// `tails`, `heads` and `lengths` are by position (the arrays the tree was
// built over) and `order` lists the positions by increasing length, ties
// broken the builder's way.
struct RenamedForest {
    const LowStretchTree* tree = nullptr;
    std::span<const std::uint64_t> edge_of;
    std::span<const NodeIndex> tails;
    std::span<const NodeIndex> heads;
    std::span<const double> lengths;
    std::span<const std::uint64_t> order;
};

struct DynamicTreeConfig {
    std::uint64_t seed = 0;              // builder seed
    std::uint64_t rebuild_every = 1;     // rebuild period in iterations; 0 acts as 1
    std::uint64_t change_threshold = 0;  // change count that forces a rebuild; 0 disables
    double ratio_threshold = 1.0;        // factor of a large change; raised to >= 1.0
    bool deterministic = true;           // passed to the builder
};

class DynamicTree {
public:
    // ---- Construction.

    // Takes the arrays, clamps the lengths and builds the first tree with
    // the configured seed. Builder errors (EmptyGraph, MissingEdgeLengths)
    // are returned.
    static TreeResult<DynamicTree> create(std::size_t n, std::vector<NodeIndex> tails,
                                          std::vector<NodeIndex> heads, std::vector<double> lengths,
                                          const DynamicTreeConfig& config);

    // max(max(n,1)^4, 1.0), squared twice in doubles.
    static double length_bound(std::size_t n);
    // |x| for finite x, else the bound; then clamped into [1/bound, bound].
    static double clamp_length(double x, double bound) {
        const double a = std::isfinite(x) ? std::fabs(x) : bound;
        return std::clamp(a, 1.0 / bound, bound);
    }

    // ---- Running.

    // Records a snapshot and decides on a rebuild: true when the tree was
    // rebuilt. Same topology (n and the three array lengths equal, endpoints
    // equal): every edge adds 1 to `changes`, a move by a factor above
    // ratio_threshold 1 more. Changed topology: the snapshot is copied and
    // `changes` = max(change_threshold, 1). Rebuilds when change_threshold > 0
    // and changes >= change_threshold, or iteration % rebuild_every == 0,
    // with seed 0 (deterministic) or seed ^ iteration.
    // `offered` is passed on to a rebuild.
    TreeResult<bool> update_from_snapshot(std::uint64_t iteration, std::size_t n,
                                          std::span<const NodeIndex> tails,
                                          std::span<const NodeIndex> heads,
                                          std::span<const double> lengths,
                                          const RenamedForest* offered = nullptr);

    // New tree over the edges with edge_alive set (renumbered consecutively);
    // on success `changes` = 0, on error nothing changes. A deterministic
    // rebuild with seed 0 after lengths moved reads `offered` when that is a
    // forest over today's edges and lengths, which are all distinct (then
    // every tie-breaking gives the same forest); otherwise its order still
    // serves as the sort's starting point. Only the cost depends on it.
    TreeResult<void> rebuild(std::uint64_t seed, const RenamedForest* offered = nullptr);

    // Whether `tree` is LowStretchTree::build_low_stretch_with_mode(node_count,
    // tails, heads, lengths, true, 0) for today's snapshot: the last build was
    // deterministic with seed 0 over every edge, and no length has moved since.
    bool tree_is_current() const { return current_; }

    // ---- Data (the owner reads `tree`).
    std::vector<NodeIndex> tails;
    std::vector<NodeIndex> heads;
    std::vector<double> lengths;  // clamped
    std::vector<bool> edge_alive;
    LowStretchTree tree;
    std::uint64_t node_count = 0;
    std::uint64_t rebuild_every = 1;
    std::uint64_t change_threshold = 0;
    std::uint64_t changes = 0;  // saturating
    double ratio_threshold = 1.0;
    std::uint64_t seed = 0;
    bool deterministic = true;

private:
    // The last deterministic build's Kruskal order, the next one's sort hint.
    std::vector<std::uint64_t> kruskal_order_;
    // `tree` is the in-place build from kruskal_order_ over today's endpoints.
    bool built_from_order_ = false;
    bool current_ = false;  // see tree_is_current

    // The offered forest renamed into `tree`, when it is today's.
    bool adopt_renamed(const RenamedForest& f);
};

}  // namespace zelk
