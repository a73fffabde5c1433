#include "trees/weighted_tree.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "index_types.hpp"
#include "trees/union_find.hpp"

namespace zelk {

namespace {

// Keys are never negative; NaN keys (whatever their sign bit, which the
// hardware may set on inf/inf) go after every number. With the index as the
// last tie-break the order is strict and total, so every correct sort of the
// records gives the stable order by key.
struct Keyed {
    bool nan;
    double key;
    std::uint64_t edge;
};

inline bool keyed_before(const Keyed& a, const Keyed& b) {
    if (a.nan != b.nan) return b.nan;
    if (a.key != b.key) return a.key < b.key;
    return a.edge < b.edge;
}

}  // namespace

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
    std::vector<Keyed> keyed(m);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t e = order[i];
        // `w > floor` is false for NaN, so NaN weights take the floor too.
        const double w = weights[e] > WEIGHT_FLOOR ? weights[e] : WEIGHT_FLOOR;
        const double k = std::fabs(lengths[e]) / w;
        keyed[i] = Keyed{std::isnan(k), std::isnan(k) ? 0.0 : k, e};
    }
    sort_nearly_sorted(keyed, keyed_before);
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
