#include "trees/shiftable_forest_collection.hpp"

#include <algorithm>
#include <utility>

#include "index_types.hpp"
#include "trees/weighted_tree.hpp"

namespace zelk {

TreeResult<ShiftableForestCollection> ShiftableForestCollection::build_deterministic(
    std::size_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const double> lengths, std::uint64_t forest_count, std::uint64_t level_count) {
    const std::uint64_t forests = std::max<std::uint64_t>(forest_count, 1);
    const std::uint64_t levels = std::max<std::uint64_t>(level_count, 1);
    ShiftableForestCollection c;
    c.forests.reserve(forests);
    std::vector<double> weights(tails.size());
    // The forests' keys differ by nearly a common factor: each order is the
    // next one's sort hint.
    std::vector<std::uint64_t> order;
    for (std::uint64_t k = 0; k < forests; ++k) {
        const double base = 1.0 + static_cast<double>(k) * 0.001;
        for (std::size_t e = 0; e < weights.size(); ++e) {
            weights[e] = 1.0 * (base + static_cast<double>(e) * 1e-9);
        }
        auto mask = deterministic_weighted_forest(n, tails, heads, lengths, weights, order);
        if (!mask) return std::unexpected(mask.error());
        if (!c.forests.empty() && c.forests.back().tree_mask == *mask) {
            // The same edges over the same graph: the tree a fresh build gives
            // is the previous forest's.
            const DynamicForest& previous = c.forests.back();
            DynamicForest forest;
            forest.tails = previous.tails;
            forest.heads = previous.heads;
            forest.lengths = previous.lengths;
            forest.tree_mask = std::move(*mask);
            forest.tree = previous.tree;
            forest.node_count = previous.node_count;
            c.forests.push_back(std::move(forest));
            continue;
        }
        auto forest = DynamicForest::create_from_tree(
            n, std::vector<std::uint32_t>(tails.begin(), tails.end()),
            std::vector<std::uint32_t>(heads.begin(), heads.end()),
            std::vector<double>(lengths.begin(), lengths.end()), std::move(*mask));
        if (!forest) return std::unexpected(forest.error());
        c.forests.push_back(std::move(*forest));
    }
    c.current_forest.assign(levels, 0);
    c.level_marks.assign(levels, 0);
    c.level_counters.assign(levels, 0);
    c.pending_deletions.resize(forests);
    c.epoch = 0;
    return c;
}

void ShiftableForestCollection::apply_pending_to_current(std::uint64_t level) {
    if (level >= current_forest.size()) return;
    const std::uint64_t c = current_forest[level];
    if (c < pending_deletions.size() && !pending_deletions[c].empty()) {
        const std::vector<std::uint64_t> ids = pending_deletions[c].to_vector();
        pending_deletions[c].clear();
        if (c < forests.size()) forests[c].delete_edges(ids);
    }
    if (level < level_counters.size()) level_counters[level] = 0;
}

}  // namespace zelk
