#include "trees/dynamic_forest.hpp"

#include <utility>

#include "index_types.hpp"

namespace zelk {

TreeResult<DynamicForest> DynamicForest::create_from_tree(std::size_t n,
                                                          std::vector<NodeIndex> tails,
                                                          std::vector<NodeIndex> heads,
                                                          std::vector<double> lengths,
                                                          std::vector<bool> tree_mask) {
    auto built = LowStretchTree::build_from_tree_edges(n, tails, heads, lengths, tree_mask);
    if (!built) return std::unexpected(built.error());
    DynamicForest f;
    f.tails = std::move(tails);
    f.heads = std::move(heads);
    f.lengths = std::move(lengths);
    f.tree_mask = std::move(tree_mask);
    f.tree = std::move(*built);
    f.node_count = n;
    return f;
}

std::uint64_t DynamicForest::delete_edges(std::span<const std::uint64_t> ids) {
    std::uint64_t fresh = 0;
    bool mask_changed = false;
    for (std::uint64_t e : ids) {
        if (e >= tree_mask.size()) continue;
        if (deleted.insert(e)) ++fresh;
        if (tree_mask[e]) {
            tree_mask[e] = false;
            mask_changed = true;
        }
    }
    if (mask_changed) {
        auto built =
            LowStretchTree::build_from_tree_edges(node_count, tails, heads, lengths, tree_mask);
        if (built) tree = std::move(*built);
    }
    return fresh;
}

}  // namespace zelk
