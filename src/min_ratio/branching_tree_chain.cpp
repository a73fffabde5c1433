#include "min_ratio/branching_tree_chain.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "checked_math.hpp"
#include "index_types.hpp"
#include "trees/low_stretch_tree.hpp"
#include "zelk_assert.hpp"

namespace zelk {

namespace {

constexpr double LN_8 = 2.0794415416798357;

// ceil(x) as an unsigned count: 0 for x <= 0 or NaN, saturating above.
std::uint64_t ceil_count(double x) {
    if (!(x > 0.0)) return 0;
    const double c = std::ceil(x);
    if (c >= 18446744073709551616.0) return NO_INDEX;
    return static_cast<std::uint64_t>(c);
}

std::uint64_t floor_count(double x) {
    if (!(x > 0.0)) return 0;
    const double c = std::floor(x);
    if (c >= 18446744073709551616.0) return NO_INDEX;
    return static_cast<std::uint64_t>(c);
}

inline std::uint64_t pair_key(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t lo = std::min(a, b), hi = std::max(a, b);
    return (lo << 32) | (hi & 0xFFFFFFFFULL);
}

inline double value_or_zero(std::span<const double> a, std::uint64_t i) {
    return i < a.size() ? a[i] : 0.0;
}

}  // namespace

void LevelData::index_edge_pairs() {
    // A level's edge arrays describe the same edges, within its forest's nodes.
    ZELK_ASSERT(tails.size() == heads.size() && tails.size() == lengths.size());
    first_edge_of_pair.clear();
    parent_link.clear();
    parent_up_sign.clear();
    const std::size_t m = std::min(tails.size(), heads.size());
    if (forest.is_forest()) {
        // The lowest edge joining each node and its parent, in one pass over
        // the edges from the last: an edge joins x and its parent when one
        // end is x and the other x's parent. The same pass fills the edges'
        // bound entries (node numbers must fit their 32-bit fields).
        const std::uint64_t n = forest.node_count;
        parent_link.assign(n, NO_INDEX);
        parent_up_sign.assign(n, 0);
        const bool bounds = n < EdgeBound::NO_NODE;
        // Every entry is written below: one left from an earlier forest
        // would bound with that forest's ancestors.
        edge_bounds.resize(bounds ? m : 0);
        constexpr double unit = 0x1p-53;
        constexpr double unbounded = std::numeric_limits<double>::infinity();
        for (std::size_t j = m; j-- > 0;) {
            const std::uint64_t a = tails[j], b = heads[j];
            if (bounds) {
                EdgeBound& eb = edge_bounds[j];
                eb.lca = EdgeBound::NO_NODE;
                eb.scale = unbounded;
                if (a < n && b < n && a != b && forest.rooted_root(a) == forest.rooted_root(b)) {
                    // The walk's rounding scale, as the bound's proof states it
                    // (depths below 2^32: the signed conversion is exact).
                    const std::uint64_t depths = forest.rooted_depth(a) + forest.rooted_depth(b);
                    eb.scale =
                        8.0 * static_cast<double>(static_cast<std::int64_t>(depths + 2)) * unit;
                }
            }
            if (a == b) continue;
            if (a < n && forest.rooted_parent(a) == b) {
                parent_link[a] = j;
                parent_up_sign[a] = 1;
            }
            if (b < n && forest.rooted_parent(b) == a) {
                parent_link[b] = j;
                parent_up_sign[b] = -1;
            }
        }
        // Without the depth order there is no bound.
        if (!index_forest_depths()) {
            edge_bounds.clear();
            return;
        }
        for (std::uint64_t x = 0; x < n && !edge_bounds.empty(); ++x) {
            if (forest.rooted_parent(x) != x) {
                edge_bounds[parent_link[x]].scale = EdgeBound::CLOSES_ON_ITSELF;
            }
        }
        return;
    }
    // Without a forest, paths are read node pair by node pair.
    edge_bounds.clear();
    index_node_pairs();
}

void LevelData::index_node_pairs() {
    first_edge_of_pair.clear();
    const std::size_t m = std::min(tails.size(), heads.size());
    first_edge_of_pair.reserve(m);
    for (std::size_t j = 0; j < m; ++j) {
        auto [slot, fresh] = first_edge_of_pair.try_emplace(pair_key(tails[j], heads[j]));
        if (fresh) *slot = j;
    }
}

bool LevelData::index_forest_depths() {
    by_depth.clear();
    const std::uint64_t n = forest.node_count;
    std::uint64_t deepest = 0;
    for (std::uint64_t x = 0; x < n; ++x) {
        const std::uint64_t p = forest.rooted_parent(x);
        if (p != x && (parent_link[x] == NO_INDEX || p >= n ||
                       forest.rooted_depth(x) != forest.rooted_depth(p) + 1)) {
            return false;
        }
        if (p != x) {
            const std::uint64_t e = parent_link[x];
            const bool joins =
                e < tails.size() && e < heads.size() &&
                ((tails[e] == x && heads[e] == p) || (tails[e] == p && heads[e] == x));
            if (!joins) return false;
        }
        if (p == x && forest.rooted_depth(x) != 0) return false;
        deepest = std::max(deepest, forest.rooted_depth(x));
    }
    std::vector<std::size_t> start(deepest + 2, 0);
    for (std::uint64_t x = 0; x < n; ++x) ++start[forest.rooted_depth(x) + 1];
    for (std::uint64_t d = 0; d <= deepest; ++d) start[d + 1] += start[d];
    by_depth.resize(n);
    for (std::uint64_t x = 0; x < n; ++x) by_depth[start[forest.rooted_depth(x)]++] = x;
    return true;
}

std::uint64_t BranchingTreeChain::automatic_level_limit(std::uint64_t n) {
    if (n <= 1) return 1;
    // ln n / ln 8 is at most about 21 for 64-bit n.
    return floor_count(std::log(static_cast<double>(n)) / LN_8) + 1;
}

namespace {

// Contracts every tree of the level's forest to one node, trees numbered in
// order of their first node, keeping the edges between trees. Returns the
// number of trees.
std::uint64_t contract_trees(const LowStretchTree& tree, std::uint64_t gn,
                             std::span<const NodeIndex> gt, std::span<const NodeIndex> gh,
                             std::span<const double> gl, LevelData& level) {
    std::vector<std::uint64_t> cluster_of_root(gn, NO_INDEX);
    level.node_cluster.resize(gn);
    ContractedGraph& cg = level.contracted;
    for (std::uint64_t v = 0; v < gn; ++v) {
        std::uint64_t& c = cluster_of_root[tree.root[v]];
        if (c == NO_INDEX) {
            c = cg.members.size();
            cg.members.emplace_back();
        }
        level.node_cluster[v] = c;
        cg.members[c].push_back(v);
    }
    const std::uint64_t contracted_nodes = cg.members.size();
    for (std::size_t e = 0; e < gt.size(); ++e) {
        const std::uint64_t a = level.node_cluster[gt[e]], b = level.node_cluster[gh[e]];
        if (a == b) continue;
        cg.tails.push_back(static_cast<std::uint32_t>(a));
        cg.heads.push_back(static_cast<std::uint32_t>(b));
        cg.lengths.push_back(gl[e]);
        level.contracted_edge_origin.push_back(e);
    }
    cg.node_count = std::max<std::uint64_t>(contracted_nodes, 1);
    return contracted_nodes;
}

// The decremental spanner's settings for a contracted graph of this size.
DecrementalSpannerConfig spanner_config(std::uint64_t contracted_nodes, const ContractedGraph& cg) {
    const double c_nodes = static_cast<double>(contracted_nodes);
    const double c_edges = static_cast<double>(cg.tails.size());
    const double log_edges = std::log(std::max(c_edges, 2.0));
    const std::uint64_t layers = std::max<std::uint64_t>(floor_count(std::pow(log_edges, 0.25)), 1);
    const double x = std::log(std::max(c_nodes, 2.0));
    DecrementalSpannerConfig config;
    config.aux_scale = 1.0 + 1.0 / std::max(x * x, 1.0);
    config.recourse_denominator = layers;
    config.aux_exponent = 0.25;
    config.aux_count_a = std::max<std::uint64_t>(ceil_count(x), 1);
    config.edge_factor = 8;
    config.aux_count_b = std::max<std::uint64_t>(ceil_count(x), 1);
    config.layer_count = layers;
    config.deterministic = true;
    return config;
}

}  // namespace

const LowStretchTree* PrebuiltTree::over(std::uint64_t n, std::span<const NodeIndex> t,
                                         std::span<const NodeIndex> h,
                                         std::span<const double> l) const {
    // Bitwise equal lengths: -0.0 and 0.0 give the same key but are not
    // assumed to give the same distances.
    const bool same = tree != nullptr && node_count == n && tails.size() == t.size() &&
                      heads.size() == h.size() && lengths.size() == l.size() &&
                      std::equal(t.begin(), t.end(), tails.begin()) &&
                      std::equal(h.begin(), h.end(), heads.begin()) &&
                      (l.empty() || std::memcmp(l.data(), lengths.data(), l.size_bytes()) == 0);
    return same ? tree : nullptr;
}

TreeResult<void> BranchingTreeChain::build_levels(
    std::uint64_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const double> lengths, std::uint64_t limit, bool deterministic,
    double reduction_factor, std::vector<LevelData>& out, std::vector<double>& seconds,
    std::vector<std::string>& log, const PrebuiltTree& first_tree) {
    std::uint64_t prev_contracted = 0;
    // The graph of the current level: the input, then the previous level's
    // contracted graph (read from out.back(), which stays in place until
    // the next level is pushed).
    std::uint64_t gn = n;
    std::span<const NodeIndex> gt = tails, gh = heads;
    std::span<const double> gl = lengths;
    ContractedGraph next_graph;
    for (std::uint64_t k = 1; k <= limit; ++k) {
        const auto start = std::chrono::steady_clock::now();
        const LowStretchTree* tree =
            k == 1 && deterministic ? first_tree.over(gn, gt, gh, gl) : nullptr;
        TreeResult<LowStretchTree> built;
        if (tree == nullptr) {
            built = LowStretchTree::build_low_stretch_with_mode(gn, gt, gh, gl, deterministic, 0);
            if (!built) return std::unexpected(built.error());
            tree = &*built;
        }

        LevelData level;
        level.forest = LSForest::from_tree(*tree, gt, gh, gl);
        level.tails.assign(gt.begin(), gt.end());
        level.heads.assign(gh.begin(), gh.end());
        level.lengths.assign(gl.begin(), gl.end());

        const std::uint64_t contracted_nodes = contract_trees(*tree, gn, gt, gh, gl, level);
        const ContractedGraph& cg = level.contracted;
        auto spanner =
            build_spanner_on_core(cg, level.forest, spanner_config(contracted_nodes, cg));
        if (!spanner) {
            log.push_back(std::move(spanner.error().message));
            return {};
        }
        level.spanner = std::move(*spanner);

        level.index_edge_pairs();

        const std::uint64_t c_k = cg.node_count;
        if (c_k >= 2 && k >= 2 &&
            static_cast<double>(c_k) >
                std::ceil(reduction_factor * static_cast<double>(prev_contracted))) {
            log.push_back("hierarchy reduction failed: " + std::to_string(prev_contracted) +
                          " -> " + std::to_string(c_k));
            return {};
        }
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        out.push_back(std::move(level));
        if (c_k < 2) return {};
        prev_contracted = c_k;
        const LevelData& last = out.back();
        gn = last.contracted.node_count;
        gt = last.contracted.tails;
        gh = last.contracted.heads;
        gl = last.contracted.lengths;
    }
    return {};
}

TreeResult<BranchingTreeChain> BranchingTreeChain::build(
    std::uint64_t n, std::span<const NodeIndex> tails, std::span<const NodeIndex> heads,
    std::span<const double> lengths, std::optional<std::uint64_t> level_limit, bool deterministic,
    double reduction_factor) {
    if (n == 0) return std::unexpected(TreeError::EmptyGraph);
    if (heads.size() != tails.size() || lengths.size() != tails.size()) {
        return std::unexpected(TreeError::MissingEdgeLengths);
    }
    const std::uint64_t limit =
        std::min(level_limit ? std::max<std::uint64_t>(*level_limit, 1) : automatic_level_limit(n),
                 MAX_CHAIN_LEVELS);
    BranchingTreeChain chain;
    chain.reduction_factor_ = reduction_factor;
    auto built = build_levels(n, tails, heads, lengths, limit, deterministic, reduction_factor,
                              chain.levels_, chain.build_seconds_, chain.failures_);
    if (!built) return std::unexpected(built.error());
    const double ln_n = std::log(static_cast<double>(n));
    chain.default_round_threshold_ = std::max<std::uint64_t>(ceil_count(ln_n), 1);
    chain.default_instability_threshold_ = std::max<std::uint64_t>(ceil_count(ln_n * ln_n), 2);
    chain.instability_limit_ = 2;
    chain.instability_count_ = 0;
    chain.shift_threshold_ =
        std::max<std::uint64_t>(ceil_count(std::sqrt(static_cast<double>(n))), 1);
    chain.reset_counters();
    if (deterministic) {
        auto forests = ShiftableForestCollection::build_deterministic(n, tails, heads, lengths, 3,
                                                                      chain.levels_.size());
        if (!forests) return std::unexpected(forests.error());
        chain.forests_ = std::move(*forests);
    }
    return chain;
}

void BranchingTreeChain::reset_counters() {
    level_counters_.assign(levels_.size(), LevelCounters{});
    for (LevelCounters& c : level_counters_) {
        c.round_threshold = std::max<std::uint64_t>(default_round_threshold_, 1);
        c.instability_threshold = std::max<std::uint64_t>(default_instability_threshold_, 1);
    }
}

bool BranchingTreeChain::path_edges_into(const LevelData& level, std::uint64_t u, std::uint64_t v,
                                         std::vector<std::uint64_t>& nodes,
                                         std::vector<SignedEdge>& down,
                                         std::vector<SignedEdge>& out) {
    out.clear();
    const LSForest& f = level.forest;
    if (f.is_forest() && level.parent_link.size() == f.node_count) {
        // The forest path is the unique one: climb from both ends, reading
        // each step's edge from the per-node link instead of the pair index.
        if (u >= f.node_count || v >= f.node_count) return false;
        if (u == v) return true;
        if (f.rooted_root(u) != f.rooted_root(v)) return false;
        down.clear();
        std::uint64_t a = u, b = v;
        auto up = [&](std::uint64_t x) -> bool {  // step x -> parent, walked upward
            const std::uint64_t e = level.parent_link[x];
            if (e == NO_INDEX) return false;
            const std::uint64_t p = f.rooted_parent(x);
            out.emplace_back(e, level.tails[e] == x && level.heads[e] == p ? 1 : -1);
            return true;
        };
        auto down_step = [&](std::uint64_t y) -> bool {  // parent -> y, walked downward
            const std::uint64_t e = level.parent_link[y];
            if (e == NO_INDEX) return false;
            const std::uint64_t p = f.rooted_parent(y);
            down.emplace_back(e, level.tails[e] == p && level.heads[e] == y ? 1 : -1);
            return true;
        };
        bool ok = true;
        while (ok && f.rooted_depth(a) > f.rooted_depth(b)) {
            ok = up(a);
            a = f.rooted_parent(a);
        }
        while (ok && f.rooted_depth(b) > f.rooted_depth(a)) {
            ok = down_step(b);
            b = f.rooted_parent(b);
        }
        while (ok && a != b) {
            ok = up(a) && down_step(b);
            a = f.rooted_parent(a);
            b = f.rooted_parent(b);
        }
        if (!ok) {
            out.clear();
            return false;
        }
        out.insert(out.end(), down.rbegin(), down.rend());
        return true;
    }
    if (!level.forest.path_between_into(u, v, nodes)) return false;
    for (std::size_t j = 0; j + 1 < nodes.size(); ++j) {
        const std::uint64_t a = nodes[j], b = nodes[j + 1];
        const std::uint64_t* e = level.first_edge_of_pair.find(pair_key(a, b));
        if (e == nullptr) {
            out.clear();
            return false;
        }
        const bool forward = level.tails[*e] == a && level.heads[*e] == b;
        out.emplace_back(*e, forward ? 1 : -1);
    }
    return true;
}

std::optional<std::vector<SignedEdge>> BranchingTreeChain::path_edges_between(
    const LevelData& level, std::uint64_t u, std::uint64_t v) {
    std::vector<std::uint64_t> nodes;
    std::vector<SignedEdge> down, out;
    if (!path_edges_into(level, u, v, nodes, down, out)) return std::nullopt;
    return out;
}

bool BranchingTreeChain::form_cycle_into(std::uint64_t i, std::uint64_t level_index, Cycle& out) {
    out.clear();
    if (level_index >= levels_.size()) return false;
    LevelData& level = levels_[level_index];
    if (i >= level.tails.size() || i >= level.heads.size()) return false;
    const std::uint64_t u = level.tails[i], v = level.heads[i];
    if (!path_edges_into(level, u, v, nodes_, down_, out)) return false;

    const std::size_t clusters = level.node_cluster.size();
    if (level_index > 0 && out.size() >= 9 && u < clusters && v < clusters) {
        auto detour = level.spanner.embed_path(level.node_cluster[u], level.node_cluster[v]);
        if (detour && !detour->empty()) {
            // Walk the contracted edges from u's contracted node, reading each
            // one's direction from the contracted node it leaves, and join
            // consecutive level edges by forest paths inside contracted nodes.
            out.clear();
            std::uint64_t at_node = u;
            std::uint64_t at_cluster = level.node_cluster[u];
            for (const SignedEdge& step : *detour) {
                if (step.first >= level.contracted_edge_origin.size()) return false;
                const std::uint64_t o = level.contracted_edge_origin[step.first];
                if (o >= level.tails.size()) return false;
                const std::uint64_t t = level.tails[o], h = level.heads[o];
                if (t >= clusters || h >= clusters) return false;
                std::uint64_t enter, leave;
                std::int8_t sign;
                if (level.node_cluster[t] == at_cluster) {
                    enter = t, leave = h, sign = 1;
                } else if (level.node_cluster[h] == at_cluster) {
                    enter = h, leave = t, sign = -1;
                } else {
                    return false;
                }
                if (!path_edges_into(level, at_node, enter, nodes_, down_, piece_)) return false;
                out.insert(out.end(), piece_.begin(), piece_.end());
                out.emplace_back(o, sign);
                at_node = leave;
                at_cluster = level.node_cluster[leave];
            }
            if (!path_edges_into(level, at_node, v, nodes_, down_, piece_)) return false;
            out.insert(out.end(), piece_.begin(), piece_.end());
        }
    }
    out.emplace_back(i, u == v ? 1 : -1);
    return true;
}

std::optional<Cycle> BranchingTreeChain::form_cycle(std::uint64_t i, std::uint64_t level) {
    Cycle c;
    if (!form_cycle_into(i, level, c)) return std::nullopt;
    return c;
}

bool BranchingTreeChain::fill_prefix_sums(std::span<const double> gradients,
                                          std::span<const double> lengths) {
    const LevelData& level = levels_[0];
    const LSForest& f = level.forest;
    if (!f.is_forest() || level.parent_link.size() != f.node_count ||
        level.by_depth.size() != f.node_count) {
        return false;
    }
    const std::size_t n = f.node_count;
    prefix_.resize(n);
    PrefixSums* const sums = prefix_.data();
    for (const std::uint64_t x : level.by_depth) {
        const std::uint64_t p = f.rooted_parent(x);
        if (p == x) {
            sums[x] = PrefixSums{};
            continue;
        }
        const std::uint64_t e = level.parent_link[x];
        const double g = value_or_zero(gradients, e);
        // The sign of edge e walked from p down to x, as the path walk reads it.
        const double down = level.tails[e] == p && level.heads[e] == x ? g : -g;
        const PrefixSums& above = sums[p];
        PrefixSums& s = sums[x];
        s.gradient = above.gradient + down;
        s.abs_gradient = above.abs_gradient + std::fabs(g);
        s.length = above.length + std::fabs(value_or_zero(lengths, e));
        if (!std::isfinite(s.gradient) || !std::isfinite(s.abs_gradient) ||
            !std::isfinite(s.length)) {
            return false;
        }
    }
    return true;
}

// The walk sums the cycle's k + 1 terms left to right, so it is within
// gamma_(k+1) * (sum of |terms|) of the exact sum (gamma_j = j u / (1 - j u),
// u = 2^-53); each prefix sum is within gamma_depth of its exact value by the
// same argument, and the combination below adds a few roundings more. With
// D = depth(u) + depth(v) + 2 >= k + 1 all of it stays below 8 D u times
// the prefix sums of absolute values at u and v plus the closing edge's, for
// the numerator and the denominator alike (the edge's scale, fixed by the
// forest). The score's bound then divides the numerator's largest magnitude
// by the denominator's smallest and adds a margin for its own roundings;
// only a bound at or below the threshold prunes, so a candidate the list
// would take is always walked. `g` and `length` are the edge's own values.
template <class Sums>
[[gnu::always_inline]] static inline bool bound_rules_out(LevelData::EdgeBound& b, std::uint64_t u,
                                                          std::uint64_t v, const Sums* sums,
                                                          const LSForest& f, double g,
                                                          double length, double threshold) {
    const double scale = b.scale;
    if (!(scale < 0x1p-10)) return false;
    const double l = std::fabs(length);
    const Sums& su = sums[u];
    const Sums& sv = sums[v];
    // The closing edge is walked against its direction (sign -1).
    const double num = (sv.gradient - su.gradient) - g;
    const double num_error = scale * (su.abs_gradient + sv.abs_gradient + std::fabs(g));
    const double den_error = scale * (su.length + sv.length + l);
    if (!std::isfinite(num) || !std::isfinite(num_error) || !std::isfinite(den_error)) {
        return false;
    }
    // Prefix lengths are finite and grow from the roots, so with den_error
    // finite the denominator below is finite too: a numerator that is not
    // negative decides without the lowest common ancestor.
    if (num - num_error >= 0.0) return true;  // the walk's numerator is not negative
    // Without a threshold (the list is not full) only that test applies.
    if (!(threshold >= 0.0)) return false;
    // The walk's length is at least |prefix length at u - at v| plus the
    // closing edge's, and every step below is monotone in it (rounding
    // included), so a bound from that shorter length that already prunes
    // proves the bound below prunes too, without the lowest common
    // ancestor. The full sum being finite keeps the length below finite.
    const double spread = su.length >= sv.length ? su.length - sv.length : sv.length - su.length;
    const double short_low = (spread + l) - den_error;
    if (short_low > 0.0 && std::isfinite(su.length + sv.length + l) &&
        (num_error - num) / short_low * (1.0 + 0x1p-48) <= threshold) {
        return true;
    }
    if (b.lca == LevelData::EdgeBound::NO_NODE) {
        // Few edges get here and their walks are short: climbing to the
        // meeting point costs less than a table over the whole forest.
        // Both ends are in one tree whose depths step by one (indexed).
        std::uint64_t x = u, y = v;
        std::uint64_t depth_x = f.rooted_depth(x), depth_y = f.rooted_depth(y);
        for (; depth_x > depth_y; --depth_x) x = f.rooted_parent(x);
        for (; depth_y > depth_x; --depth_y) y = f.rooted_parent(y);
        while (x != y) {
            x = f.rooted_parent(x);
            y = f.rooted_parent(y);
        }
        b.lca = static_cast<std::uint32_t>(x);
    }
    const double lw = sums[b.lca].length;
    const double den = (su.length - lw) + (sv.length - lw) + l;
    if (!std::isfinite(den)) return false;
    const double den_low = den - den_error;
    if (!(den_low > 0.0)) return false;
    const double bound = (num_error - num) / den_low * (1.0 + 0x1p-48);
    return bound <= threshold;
}

bool BranchingTreeChain::cannot_beat(std::uint64_t i, double threshold,
                                     std::span<const double> gradients,
                                     std::span<const double> lengths) {
    LevelData& level = levels_[0];
    if (i >= level.edge_bounds.size() || i >= level.tails.size() || i >= level.heads.size()) {
        return false;
    }
    if (level.edge_bounds[i].scale == LevelData::EdgeBound::CLOSES_ON_ITSELF) return true;
    if (!(threshold >= 0.0)) return false;
    return bound_rules_out(level.edge_bounds[i], level.tails[i], level.heads[i], prefix_.data(),
                           level.forest, value_or_zero(gradients, i), value_or_zero(lengths, i),
                           threshold);
}

bool BranchingTreeChain::walk_linked_cycle(const LevelData& level, std::uint64_t i,
                                           std::span<const double> gradients,
                                           std::span<const double> lengths, double& num,
                                           double& den) {
    walk_up_ = walk_down_ = walk_end_ = 0;
    const LSForest& f = level.forest;
    const std::uint64_t n = f.node_count;
    const std::uint64_t u = level.tails[i], v = level.heads[i];
    if (u >= n || v >= n) return false;
    if (u != v) {
        if (f.rooted_root(u) != f.rooted_root(v)) return false;
        const std::uint64_t* const link = level.parent_link.data();
        const std::int8_t* const up_sign = level.parent_up_sign.data();
        std::uint64_t a = u, b = v;
        std::uint64_t depth_a = f.rooted_depth(a), depth_b = f.rooted_depth(b);
        // At most depth(u) steps up and depth(v) down.
        const std::size_t end = depth_a + depth_b;
        if (walk_.size() < end) walk_.resize(end);
        SignedEdge* const w = walk_.data();
        std::size_t up = 0, down = end;
        // Up from the tail each link is taken in its step-up sign, down to
        // the head against it.
        while (depth_a > depth_b) {
            const std::uint64_t e = link[a];
            if (e == NO_INDEX) return false;
            w[up++] = SignedEdge(e, up_sign[a]);
            a = f.rooted_parent(a);
            --depth_a;
        }
        while (depth_b > depth_a) {
            const std::uint64_t e = link[b];
            if (e == NO_INDEX) return false;
            w[--down] = SignedEdge(e, static_cast<std::int8_t>(-up_sign[b]));
            b = f.rooted_parent(b);
            --depth_b;
        }
        while (a != b) {
            const std::uint64_t ea = link[a];
            if (ea == NO_INDEX) return false;
            w[up++] = SignedEdge(ea, up_sign[a]);
            const std::uint64_t eb = link[b];
            if (eb == NO_INDEX) return false;
            w[--down] = SignedEdge(eb, static_cast<std::int8_t>(-up_sign[b]));
            a = f.rooted_parent(a);
            b = f.rooted_parent(b);
        }
        walk_up_ = up;
        walk_down_ = down;
        walk_end_ = end;
    }
    double nu = 0.0, de = 0.0;
    const SignedEdge* const w = walk_.data();
    // Linked edges are level edges: with values for all of them the reads
    // need no range checks.
    const std::size_t m = level.tails.size();
    if (gradients.size() >= m && lengths.size() >= m) {
        const double* const g = gradients.data();
        const double* const len = lengths.data();
        for (std::size_t k = 0; k < walk_up_; ++k) {
            nu += static_cast<double>(w[k].second) * g[w[k].first];
            de += std::fabs(len[w[k].first]);
        }
        for (std::size_t k = walk_down_; k < walk_end_; ++k) {
            nu += static_cast<double>(w[k].second) * g[w[k].first];
            de += std::fabs(len[w[k].first]);
        }
    } else {
        for (std::size_t k = 0; k < walk_up_; ++k) {
            nu += static_cast<double>(w[k].second) * value_or_zero(gradients, w[k].first);
            de += std::fabs(value_or_zero(lengths, w[k].first));
        }
        for (std::size_t k = walk_down_; k < walk_end_; ++k) {
            nu += static_cast<double>(w[k].second) * value_or_zero(gradients, w[k].first);
            de += std::fabs(value_or_zero(lengths, w[k].first));
        }
    }
    const double closing = u == v ? 1.0 : -1.0;
    nu += closing * value_or_zero(gradients, i);
    de += std::fabs(value_or_zero(lengths, i));
    num = nu;
    den = de;
    return true;
}

std::optional<Cycle> BranchingTreeChain::extract_min_ratio_cycle(std::span<const double> gradients,
                                                                 std::span<const double> lengths,
                                                                 double tolerance) {
    if (levels_.empty()) return std::nullopt;
    const std::size_t cap = ceil_count(std::sqrt(static_cast<double>(lengths.size())));
    std::size_t size = 0;     // live entries of candidates_ (their storage is reused)
    std::size_t lowest = 0;   // earliest entry with the smallest score, when full
    double threshold = -1.0;  // its score (none below 0: the list is not full)
    // A full list keeps its entries in a heap whose top is the earliest
    // entry with the smallest score.
    auto later_or_higher = [this](std::size_t a, std::size_t b) {
        const double sa = candidates_[a].first, sb = candidates_[b].first;
        return sa != sb ? sa > sb : a > b;
    };
    for (std::size_t l = levels_.size(); l-- > 0;) {
        LevelData& level = levels_[l];
        const std::size_t m = level.tails.size();
        // Level 0's cycles are forest paths, formed without side effects: an
        // edge whose bound keeps it out of the list (no candidate, or not
        // above a full list's lowest score) is not walked at all, and a walk
        // is copied into the list only when it enters it.
        const bool linked = l == 0 && level.forest.is_forest() &&
                            level.parent_link.size() == level.forest.node_count &&
                            level.parent_up_sign.size() == level.forest.node_count &&
                            level.heads.size() == m;
        const bool indexed = linked && level.edge_bounds.size() == m;
        const bool bounded = indexed && cap > 0 && fill_prefix_sums(gradients, lengths);
        // None of these arrays changes size in the loop: read once.
        LevelData::EdgeBound* const edge_bounds = level.edge_bounds.data();
        const PrefixSums* const sums = prefix_.data();
        const NodeIndex* const tails = level.tails.data();
        const NodeIndex* const heads = level.heads.data();
        for (std::size_t i = 0; i < m; ++i) {
            if (indexed) {
                LevelData::EdgeBound& eb = edge_bounds[i];
                if (eb.scale == LevelData::EdgeBound::CLOSES_ON_ITSELF) continue;
                // Before the list is full (threshold below 0) the bound still
                // rules out cycles whose numerator is provably not negative.
                if (bounded && bound_rules_out(eb, tails[i], heads[i], sums, level.forest,
                                               value_or_zero(gradients, i),
                                               value_or_zero(lengths, i), threshold)) {
                    continue;
                }
            }
            double num = 0.0, den = 0.0;
            if (linked) {
                if (!walk_linked_cycle(level, i, gradients, lengths, num, den)) continue;
            } else {
                if (!form_cycle_into(i, l, cycle_)) continue;
                for (const SignedEdge& p : cycle_) {
                    num += static_cast<double>(p.second) * value_or_zero(gradients, p.first);
                    den += std::fabs(value_or_zero(lengths, p.first));
                }
            }
            if (!(den > 0.0 && num < 0.0)) continue;
            const double score = -num / den;
            const bool filling = size < cap;
            std::size_t slot;
            if (filling) {
                slot = size++;
                if (slot == candidates_.size()) candidates_.emplace_back();
            } else if (cap > 0 && score > candidates_[lowest].first) {
                std::pop_heap(lowest_heap_.begin(), lowest_heap_.end(), later_or_higher);
                slot = lowest;
            } else {
                continue;
            }
            candidates_[slot].first = score;
            Cycle& kept = candidates_[slot].second;
            if (linked) {
                kept.assign(walk_.begin(), walk_.begin() + walk_up_);
                kept.insert(kept.end(), walk_.begin() + walk_down_, walk_.begin() + walk_end_);
                const std::uint64_t u = level.tails[i], v = level.heads[i];
                kept.emplace_back(i, u == v ? 1 : -1);
            } else {
                kept.assign(cycle_.begin(), cycle_.end());
            }
            if (filling) {
                if (size == cap) {
                    lowest_heap_.resize(size);
                    for (std::size_t j = 0; j < size; ++j) lowest_heap_[j] = j;
                    std::make_heap(lowest_heap_.begin(), lowest_heap_.end(), later_or_higher);
                    lowest = lowest_heap_.front();
                    threshold = candidates_[lowest].first;
                }
            } else {
                std::push_heap(lowest_heap_.begin(), lowest_heap_.end(), later_or_higher);
                lowest = lowest_heap_.front();
                threshold = candidates_[lowest].first;
            }
        }
    }
    if (size == 0) return std::nullopt;
    std::size_t best = 0;
    double best_score = candidates_[0].first;
    for (std::size_t j = 1; j < size; ++j) {
        if (candidates_[j].first > (1.0 + tolerance) * best_score) {
            best = j;
            best_score = candidates_[j].first;
        }
    }
    return candidates_[best].second;
}

void BranchingTreeChain::record_failure(std::uint64_t level, std::string_view reason) {
    // Only the latest entries are kept: an oracle records one per triggered
    // rebuild, and a long run must not grow without bound for a log.
    if (failures_.size() >= FAILURE_LOG_LIMIT) failures_.erase(failures_.begin());
    std::string entry = "level " + std::to_string(level) + ": ";
    entry.append(reason);
    failures_.push_back(std::move(entry));
}

TreeResult<void> BranchingTreeChain::rebuild_level(std::uint64_t level, const ChainGraph& graph,
                                                   bool all) {
    if (level >= levels_.size()) return {};
    if (graph.node_count == 0) return std::unexpected(TreeError::EmptyGraph);
    if (graph.heads.size() != graph.tails.size() || graph.lengths.size() != graph.tails.size()) {
        return std::unexpected(TreeError::MissingEdgeLengths);
    }
    const std::uint64_t limit =
        std::min<std::uint64_t>(all ? levels_.size() : level + 1, MAX_CHAIN_LEVELS);
    std::vector<LevelData> fresh;
    std::vector<double> seconds;
    std::vector<std::string> log;
    auto built =
        build_levels(graph.node_count, graph.tails, graph.heads, graph.lengths, limit,
                     graph.deterministic, reduction_factor_, fresh, seconds, log, graph.prebuilt);
    if (!built) return std::unexpected(built.error());
    if (all) {
        levels_ = std::move(fresh);
    } else {
        for (std::size_t j = 0; j <= level && j < levels_.size() && j < fresh.size(); ++j) {
            levels_[j] = std::move(fresh[j]);
        }
    }
    reset_counters();
    return {};
}

bool BranchingTreeChain::built_for(std::size_t edge_count) const {
    return !levels_.empty() && levels_[0].tails.size() == edge_count;
}

void BranchingTreeChain::take_lengths(std::span<const double> lengths) {
    if (!levels_.empty() && levels_[0].lengths.size() == lengths.size()) {
        levels_[0].lengths.assign(lengths.begin(), lengths.end());
    }
}

void BranchingTreeChain::follow_length_changes(std::span<const std::uint64_t> changed,
                                               std::span<const double> lengths,
                                               bool shift_forests) {
    if (levels_.empty()) return;
    std::vector<double>& level_lengths = levels_[0].lengths;
    for (std::uint64_t e : changed) {
        if (e < lengths.size() && e < level_lengths.size()) level_lengths[e] = lengths[e];
    }
    if (!shift_forests || !forests_ || forests_->current_forest.empty() ||
        forests_->forests.empty()) {
        return;
    }
    ShiftableForestCollection& f = *forests_;
    if (changed.size() >= shift_threshold_) {
        f.current_forest[0] = (f.current_forest[0] + 1) % f.forests.size();
        if (f.current_forest[0] == 0 && !f.level_marks.empty()) f.level_marks[0] = f.epoch;
        f.apply_pending_to_current(0);
        for (std::size_t j = 1; j < f.current_forest.size(); ++j) {
            f.current_forest[j] = f.current_forest[0];
            f.apply_pending_to_current(j);
        }
    } else {
        f.apply_pending_to_current(0);
    }
}

TreeResult<void> BranchingTreeChain::record_round(bool stable, const ChainGraph& graph) {
    LevelCounters* counters = level_counters_.empty() ? nullptr : &level_counters_[0];
    if (stable) {
        if (!counters) return {};
        saturating_increment(counters->rounds);
        if (counters->rounds < counters->round_threshold) return {};
        record_failure(0, "round threshold triggered rebuild");
        counters->rounds = 0;
        counters->instability_hits = 0;
        counters->instability_rebuilds = 0;
        return rebuild_level(0, graph, false);
    }
    record_failure(0, "HSFC instability detected");
    if (!counters) return rebuild_level(0, graph, true);
    saturating_increment(counters->instability_hits);
    if (counters->instability_hits >= counters->instability_threshold) {
        counters->instability_hits = 0;
        saturating_increment(counters->instability_rebuilds);
        return rebuild_level(0, graph, true);
    }
    saturating_increment(counters->instability_rebuilds);
    saturating_increment(instability_count_);
    if (counters->instability_rebuilds >= instability_limit_) return rebuild_level(0, graph, true);
    return {};
}

}  // namespace zelk
