#include "trees/weighted_tree.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "trees/union_find.hpp"

namespace zelk {

TreeResult<LowStretchTree> deterministic_weighted_tree(std::size_t n,
                                                       std::span<const std::uint32_t> tails,
                                                       std::span<const std::uint32_t> heads,
                                                       std::span<const double> lengths,
                                                       std::span<const double> weights) {
    if (n == 0) return std::unexpected(TreeError::EmptyGraph);
    const std::size_t m = tails.size();
    if (heads.size() != m || lengths.size() != m || weights.size() != m) {
        return std::unexpected(TreeError::MissingEdgeLengths);
    }
    // Sorting (key, index) records keeps equal keys in index order, which is
    // the stable order, with contiguous comparisons. Keys are never negative;
    // NaN keys (whatever their sign bit, which the hardware may set on
    // inf/inf) go after every number.
    struct Keyed {
        bool nan;
        double key;
        std::uint64_t edge;
    };
    std::vector<Keyed> order(m);
    for (std::size_t e = 0; e < m; ++e) {
        // `w > floor` is false for NaN, so NaN weights take the floor too.
        const double w = weights[e] > WEIGHT_FLOOR ? weights[e] : WEIGHT_FLOOR;
        const double k = std::fabs(lengths[e]) / w;
        order[e] = Keyed{std::isnan(k), std::isnan(k) ? 0.0 : k, e};
    }
    std::sort(order.begin(), order.end(), [](const Keyed& a, const Keyed& b) {
        if (a.nan != b.nan) return b.nan;
        if (a.key != b.key) return a.key < b.key;
        return a.edge < b.edge;
    });
    UnionFind uf(n);
    std::vector<bool> mask(m, false);
    for (const Keyed& k : order) {
        if (uf.unite(tails[k.edge], heads[k.edge])) mask[k.edge] = true;
    }
    return LowStretchTree::build_from_tree_edges(n, tails, heads, lengths, std::move(mask));
}

}  // namespace zelk
