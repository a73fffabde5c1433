#include "trees/weighted_tree.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "index_types.hpp"
#include "trees/kruskal_order.hpp"
#include "trees/union_find.hpp"

namespace zelk {

TreeResult<std::vector<bool>> deterministic_weighted_forest(std::size_t n,
                                                            std::span<const NodeIndex> tails,
                                                            std::span<const NodeIndex> heads,
                                                            std::span<const double> lengths,
                                                            std::span<const double> weights,
                                                            std::vector<std::uint64_t>& order) {
    if (n == 0) return std::unexpected(TreeError::EmptyGraph);
    const std::size_t m = tails.size();
    if (heads.size() != m || lengths.size() != m || weights.size() != m) {
        return std::unexpected(TreeError::MissingEdgeLengths);
    }
    // A hint that is not a permutation of the edges is replaced by 0..m-1.
    keep_permutation_or_identity(order, m);
    // Keys are never negative; NaN keys (whatever their sign bit, which the
    // hardware may set on inf/inf) go after every number, equal keys by edge.
    thread_local std::vector<KeyedEdge> keyed;
    keyed.resize(m);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t e = order[i];
        // `w > floor` is false for NaN, so NaN weights take the floor too.
        const double w = weights[e] > WEIGHT_FLOOR ? weights[e] : WEIGHT_FLOOR;
        const double k = std::fabs(lengths[e]) / w;
        keyed[i] = KeyedEdge{std::isnan(k) ? ~std::uint64_t{0} : ordered_key(k), e};
    }
    sort_by_key_then_edge(keyed);
    UnionFind uf(n);
    std::vector<bool> mask(m, false);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t e = keyed[i].edge;
        order[i] = e;
        if (uf.unite(tails[e], heads[e])) mask[e] = true;
    }
    return mask;
}

TreeResult<LowStretchTree> deterministic_weighted_tree(std::size_t n,
                                                       std::span<const NodeIndex> tails,
                                                       std::span<const NodeIndex> heads,
                                                       std::span<const double> lengths,
                                                       std::span<const double> weights) {
    std::vector<std::uint64_t> order;
    auto mask = deterministic_weighted_forest(n, tails, heads, lengths, weights, order);
    if (!mask) return std::unexpected(mask.error());
    return LowStretchTree::build_from_tree_edges(n, tails, heads, lengths, std::move(*mask));
}

}  // namespace zelk
