#include "min_ratio/full_dynamic_oracle.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>

#include "checked_math.hpp"
#include "index_types.hpp"
#include "numerics/guarded_math.hpp"

namespace zelk {

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// ceil(x) as a 64-bit count for x > 0, saturating (an infinite x included).
std::uint64_t ceil_count(double x) {
    const double c = std::ceil(x);
    if (!(c < 18446744073709551616.0)) return U64_MAX;
    return static_cast<std::uint64_t>(c);
}

}  // namespace

// The levels carry the factor's magnitude, as the oracle does, so that
// weighting a level's ratio by 1 / (1 + factor) never flips the order of
// candidates or divides by zero.
FullDynamicOracle::FullDynamicOracle(std::uint64_t seed, std::size_t levels,
                                     std::uint64_t rebuild_every, std::uint64_t rebuild_budget,
                                     bool deterministic_mode, double approx)
    : hierarchy(TreeChainHierarchy::create(seed, levels, rebuild_every, rebuild_budget,
                                           deterministic_mode, std::fabs(approx))),
      hsfc(0, 1e-9),
      spanner(deterministic_mode),
      spanner_rebuild_threshold(std::max(static_cast<double>(rebuild_budget), 1.0)),
      tree_rebuild_every(std::max<std::uint64_t>(rebuild_every, 1)),
      tree_change_threshold(std::max<std::uint64_t>(rebuild_budget, 1)),
      approx_factor(std::fabs(approx)),
      deterministic(deterministic_mode) {}

void FullDynamicOracle::adopt_storage(FullDynamicOracle& previous) {
    settle_levels();
    previous.settle_levels();
    if (previous.spanner.deterministic() == spanner.deterministic()) {
        spanner = std::move(previous.spanner);
        spanner.restart();
    }
    // Level oracles with the same seed settings, restarted: a deterministic
    // level's rebuild over the same graph keeps their tree shape and walks.
    const std::size_t shared = std::min(hierarchy.levels.size(), previous.hierarchy.levels.size());
    for (std::size_t i = 0; i < shared; ++i) {
        MinRatioOracle& mine = hierarchy.levels[i].oracle;
        MinRatioOracle& old = previous.hierarchy.levels[i].oracle;
        if (old.fixed_seed != mine.fixed_seed || old.seed != mine.seed ||
            old.deterministic != mine.deterministic) {
            continue;
        }
        const std::uint64_t every = mine.rebuild_every;
        WorkerPool* const pool = mine.pool;
        mine = std::move(old);
        mine.restart();
        mine.rebuild_every = every;
        mine.pool = pool;
    }
}

void FullDynamicOracle::set_thread_pool(WorkerPool* pool) {
    for (TreeChainLevel& level : hierarchy.levels) level.oracle.pool = pool;
}

std::optional<std::uint64_t> FullDynamicOracle::branching_instability_count() const {
    if (!branching) return std::nullopt;
    return branching->instability_count();
}

void FullDynamicOracle::rebuild_spanner(std::uint64_t n, std::span<const NodeIndex> tails,
                                        std::span<const NodeIndex> heads,
                                        std::span<const double> grads,
                                        std::span<const double> lens) {
    spanner.rebuild(n, tails, heads, grads, lens);
    edge_count = tails.size();
    node_count = n;
    hsfc.reset(tails.size());
}

void FullDynamicOracle::refresh_tree_chain(std::size_t m) {
    if (!tree_chain) {
        tree_chain.emplace();
        tree_chain->max_scored_edges = 3;
        tree_chain->max_off_tree_edges = 8;
        tree_chain->sort_off_tree_edges = deterministic;
    }
    tree_chain->tree = dynamic_tree->tree;
    tree_chain->off_tree_edges = collect_off_tree_edges(
        tree_chain->tree.in_tree, m,
        static_cast<std::size_t>(std::min<std::uint64_t>(tree_chain->max_off_tree_edges, m)),
        tree_chain->sort_off_tree_edges);
}

TreeResult<void> FullDynamicOracle::rebuild_tree_chain(std::uint64_t iteration, std::uint64_t n,
                                                       std::span<const NodeIndex> tails,
                                                       std::span<const NodeIndex> heads,
                                                       std::span<const double> lens) {
    if (!dynamic_tree) {
        const DynamicTreeConfig config{deterministic ? 0 : hierarchy.seed, tree_rebuild_every,
                                       tree_change_threshold, tree_ratio_threshold, deterministic};
        auto built = DynamicTree::create(n, std::vector<std::uint32_t>(tails.begin(), tails.end()),
                                         std::vector<std::uint32_t>(heads.begin(), heads.end()),
                                         std::vector<double>(lens.begin(), lens.end()), config);
        if (!built) return std::unexpected(built.error());
        dynamic_tree = std::move(*built);
    } else {
        auto updated = dynamic_tree->update_from_snapshot(iteration, n, tails, heads, lens);
        if (!updated) return std::unexpected(updated.error());
    }
    tree_chain.reset();
    refresh_tree_chain(tails.size());
    return {};
}

std::optional<std::vector<SignedEdge>> FullDynamicOracle::reduce_edge(std::uint64_t edge,
                                                                      std::uint64_t tail,
                                                                      std::uint64_t head) {
    DynamicSpanner& sp = spanner.dynamic();
    if (const auto walk = sp.embeddings.find(edge)) {
        return std::vector<SignedEdge>(walk->begin(), walk->end());
    }
    return sp.embed_edge_with_bfs(edge, tail, head);
}

void FullDynamicOracle::queue_refresh(std::uint64_t edge) {
    refreshes_.push_back(SpannerRefresh{edge, std::fabs(lengths[edge]), gradients[edge]});
}

OracleStatus FullDynamicOracle::flush_refreshes(OracleStatus status) {
    if (!queries_stopped_) spanner.refresh_many(refreshes_);
    refreshes_.clear();
    return status;
}

void FullDynamicOracle::stop_queries() { queries_stopped_ = true; }

OracleStatus FullDynamicOracle::update_edge_instability(std::uint64_t edge, bool is_gradient,
                                                        bool is_length, double gradient,
                                                        double length) {
    refreshes_.clear();
    return flush_refreshes(update_one(edge, is_gradient, is_length, gradient, length));
}

OracleStatus FullDynamicOracle::update_one(std::uint64_t edge, bool is_gradient, bool is_length,
                                           double gradient, double length) {
    if (edge >= edge_count)
        return std::unexpected(OracleError{OracleError::InvalidEdgeIndex{edge}});
    if (gradients.size() < edge_count) gradients.resize(edge_count, 0.0);
    if (lengths.size() < edge_count) lengths.resize(edge_count, 1.0);
    std::uint64_t events = 0;
    if (is_gradient) {
        if (gradient_jumps(edge, gradient)) {
            ++events;
            saturating_increment(instability_events);
        }
        gradients[edge] = gradient;
    }
    if (is_length) {
        if (length_jumps(edge, length)) {
            ++events;
            saturating_increment(instability_events);
        }
        lengths[edge] = length;
    }
    if (events != 0) hierarchy.charge_all(events);
    if (is_gradient || is_length) queue_refresh(edge);
    return {};
}

// The loops take update_one's steps inline for a valid edge once the value
// arrays cover every edge (then update_one would neither fail nor resize),
// writing the refreshes into place.
OracleStatus FullDynamicOracle::update_many(std::span<const EdgeValue> gradient_updates,
                                            std::span<const EdgeValue> length_updates) {
    const std::size_t total = gradient_updates.size() + length_updates.size();
    refreshes_.resize(total);
    std::size_t k = 0;  // refreshes written
    // Only update_one resizes the value arrays.
    bool sized = gradients.size() >= edge_count && lengths.size() >= edge_count;
    auto covered = [&](std::uint64_t edge) { return edge < edge_count && sized; };
    // update_one queues its refresh after the k written ones.
    auto slow = [&](std::uint64_t edge, bool is_gradient, double value) {
        refreshes_.resize(k);
        OracleStatus s = is_gradient ? update_one(edge, true, false, value, 0.0)
                                     : update_one(edge, false, true, 0.0, value);
        k = refreshes_.size();
        sized = gradients.size() >= edge_count && lengths.size() >= edge_count;
        if (s) refreshes_.resize(total);
        return s;
    };
    for (const auto& [edge, g] : gradient_updates) {
        if (!covered(edge)) {
            if (auto s = slow(edge, true, g); !s) return flush_refreshes(std::move(s));
            continue;
        }
        if (gradient_jumps(edge, g)) {
            saturating_increment(instability_events);
            hierarchy.charge_all(1);
        }
        gradients[edge] = g;
        refreshes_[k++] = SpannerRefresh{edge, std::fabs(lengths[edge]), g};
    }
    for (const auto& [edge, l] : length_updates) {
        if (!covered(edge)) {
            if (auto s = slow(edge, false, l); !s) return flush_refreshes(std::move(s));
            continue;
        }
        if (length_jumps(edge, l)) {
            saturating_increment(instability_events);
            hierarchy.charge_all(1);
        }
        lengths[edge] = l;
        refreshes_[k++] = SpannerRefresh{edge, std::fabs(l), gradients[edge]};
    }
    refreshes_.resize(k);
    OracleStatus status;
    if (hierarchy.any_pending()) {
        status = std::unexpected(OracleError{
            OracleError::RebuildRequired{std::nullopt, "instability budget exhausted"}});
    }
    return flush_refreshes(std::move(status));
}

OracleStatus FullDynamicOracle::notify_flow_change(std::span<const EdgeValue> flow_changes) {
    if (flow_changes.empty()) return {};
    double total = 0.0;
    for (const auto& [edge, change] : flow_changes) {
        if (edge < lengths.size()) total += std::fabs(change * lengths[edge]);
    }
    if (total > 0.0) hierarchy.charge_all(ceil_count(total));
    if (hierarchy.any_pending()) {
        return std::unexpected(OracleError{
            OracleError::RebuildRequired{std::nullopt, "flow instability budget exhausted"}});
    }
    return {};
}

HsfcOutcome FullDynamicOracle::apply_hsfc_update(const IpmUpdate& update) {
    // A tracker sized for this update.
    if (hsfc.states.empty() || hsfc.states.back().flow.size() != update.gradients.size()) {
        hsfc.reset(update.gradients.size());
    }
    // The chased flow: gradient over length, computed as the tracker reads
    // it. Only the last snapshot is ever read; keeping one per query would
    // grow by O(m) every iteration, so it is advanced in place.
    const std::size_t k = std::min(update.lengths.size(), update.gradients.size());
    const double* const g = update.gradients.data();
    const double* const len = update.lengths.data();
    const HsfcOutcome outcome = hsfc.advance_with(update.changed, k, [g, len](std::size_t i) {
        const double l = len[i];
        return (l == 0.0 || std::isnan(l)) ? g[i] : g[i] / l;
    });
    // The spanner takes the changed lengths and gradients.
    refreshes_.clear();
    for (std::uint64_t e : update.changed) {
        if (e < k) {
            refreshes_.push_back(
                SpannerRefresh{e, std::fabs(update.lengths[e]), update.gradients[e]});
        }
    }
    spanner.refresh_many(refreshes_);
    refreshes_.clear();
    // Level 0 of the branching chain follows the new lengths.
    if (branching) branching->follow_length_changes(update.changed, update.lengths, deterministic);
    return outcome;
}

// In deterministic mode the levels differ only in their seeds, which the
// deterministic tree builder does not read: when every level rebuilds in a
// query, all of them build the same tree and spanner from the same arrays
// and scan them alike, so one level's work is copied into the others.
bool FullDynamicOracle::levels_rebuild_alike(std::uint64_t iteration) const {
    if (!deterministic || hierarchy.levels.size() < 2) return false;
    for (const TreeChainLevel& level : hierarchy.levels) {
        if (!level.oracle.deterministic) return false;
        // A borrowing level's tree and spanner are the top level's, and its
        // settings match the top level's.
        const MinRatioOracle& o = levels_borrowed_ ? hierarchy.levels.back().oracle : level.oracle;
        if (!level.rebuild_pending && o.reuses_tree_at(iteration)) return false;
    }
    return true;
}

// A level below the top takes the top level's scan by reference (no copy)
// when a copy would leave it equal to the top level: its counters and
// settings other than the seeds already match, so copying the scan state
// would make the whole oracle the top level's but for the seeds.
bool FullDynamicOracle::can_borrow_levels() const {
    if (levels_borrowed_) return true;
    const MinRatioOracle& top = hierarchy.levels.back().oracle;
    for (std::size_t i = 0; i + 1 < hierarchy.levels.size(); ++i) {
        const MinRatioOracle& o = hierarchy.levels[i].oracle;
        if (o.spanner_queries() != top.spanner_queries() ||
            o.spanner_candidates_total() != top.spanner_candidates_total() ||
            o.rebuild_every != top.rebuild_every || o.deterministic != top.deterministic ||
            o.pool != top.pool) {
            return false;
        }
    }
    return true;
}

// Copies the top level's state into every borrowing level, keeping each
// level's seeds.
void FullDynamicOracle::settle_levels() {
    if (!levels_borrowed_) return;
    levels_borrowed_ = false;
    const MinRatioOracle& top = hierarchy.levels.back().oracle;
    for (std::size_t i = 0; i + 1 < hierarchy.levels.size(); ++i) {
        MinRatioOracle& o = hierarchy.levels[i].oracle;
        const std::optional<std::uint64_t> fixed_seed = o.fixed_seed;
        const std::uint64_t seed = o.seed;
        o = top;
        o.fixed_seed = fixed_seed;
        o.seed = seed;
    }
}

const TreeChainHierarchy& FullDynamicOracle::levels() {
    settle_levels();
    return hierarchy;
}

bool FullDynamicOracle::expand(const CycleCandidate& c, std::span<const NodeIndex> tails,
                               std::span<const NodeIndex> heads) {
    expanded_.clear();
    DynamicSpanner& sp = spanner.dynamic();
    for (const auto& [e, s] : c.cycle) {
        if (e >= tails.size()) return false;
        std::optional<EmbeddingTable::Walk> path = sp.embeddings.find(e);
        if (!path) path = sp.embed_edge_with_bfs_stored(e, tails[e], heads[e]);
        if (!path) return false;
        // Embeddings name spanner edges; the cycle must name graph edges.
        for (const auto& [f, sf] : *path) {
            const std::uint64_t g = spanner.graph_edge(f);
            if (g == NO_INDEX) return false;
            expanded_.emplace_back(g, static_cast<std::int8_t>(sf * s));
        }
    }
    return true;
}

bool FullDynamicOracle::closes(std::span<const SignedEdge> cycle, std::span<const NodeIndex> tails,
                               std::span<const NodeIndex> heads, std::size_t n) {
    if (balance_.size() < n) balance_.resize(n, 0);
    touched_.clear();
    bool ok = true;
    for (const auto& [e, s] : cycle) {
        if (e >= tails.size() || (s != 1 && s != -1) || tails[e] >= n || heads[e] >= n) {
            ok = false;
            break;
        }
        balance_[tails[e]] -= s;
        balance_[heads[e]] += s;
        touched_.push_back(tails[e]);
        touched_.push_back(heads[e]);
    }
    for (std::uint64_t x : touched_) {
        if (balance_[x] != 0) ok = false;
    }
    for (std::uint64_t x : touched_) balance_[x] = 0;
    return ok;
}

// The query's steps, in the order they must run: sizes and change detection
// feed the structures, the structures are repaired before the levels are
// asked, and the candidates are compared last.
TreeResult<std::optional<CycleCandidate>> FullDynamicOracle::best_cycle(
    std::uint64_t iteration, std::size_t n, std::span<const NodeIndex> tails,
    std::span<const NodeIndex> heads, std::span<const double> grads, std::span<const double> lens) {
    const std::size_t m = tails.size();
    if (heads.size() != m || grads.size() != m || lens.size() != m) {
        return std::unexpected(TreeError::MissingEdgeLengths);
    }
    const OracleQuery q{tails, heads, grads, lens, iteration, n};

    // Step timing, only while profiling.
    using Clock = std::chrono::steady_clock;
    Clock::time_point lap = profile ? Clock::now() : Clock::time_point{};
    auto mark = [&](double QueryProfile::* step) {
        if (profile == nullptr) return;
        const Clock::time_point now = Clock::now();
        profile->*step += std::chrono::duration<double, std::milli>(now - lap).count();
        lap = now;
    };
    if (profile) saturating_increment(profile->queries);

    saturating_increment(queries);
    if (queries_stopped_) {
        // The spanner missed the updates since stop_queries.
        queries_stopped_ = false;
        rebuild_spanner(n, q.tails, q.heads, q.gradients, q.lengths);
    }
    fit_sizes(q);
    scale_budgets(m);
    detect_changes(grads, lens);
    mark(&QueryProfile::sizes_and_changes);

    if (auto r = advance_tree_chain(q); !r) return std::unexpected(r.error());
    mark(&QueryProfile::tree_chain);
    if (auto r = advance_branching_chain(q); !r) return std::unexpected(r.error());
    mark(&QueryProfile::branching_chain);
    if (auto r = track_stability(q); !r) return std::unexpected(r.error());
    mark(&QueryProfile::stability);
    if (auto r = follow_spanner_schedule(q); !r) return std::unexpected(r.error());
    mark(&QueryProfile::spanner_schedule);
    if (auto r = query_levels(q); !r) return std::unexpected(r.error());
    mark(&QueryProfile::levels);

    std::optional<CycleCandidate> best = choose_level_candidate(q);
    mark(&QueryProfile::expansion);
    offer_tree_chain_candidate(q, best);
    mark(&QueryProfile::tree_chain_candidate);
    offer_branching_candidate(q, best);
    mark(&QueryProfile::branching_candidate);
    check_embeddings(q, best);
    mark(&QueryProfile::embedding_check);

    return best;
}

void FullDynamicOracle::fit_sizes(const OracleQuery& q) {
    const std::uint64_t n = q.node_count;
    if (node_count != n || edge_count != q.tails.size() || spanner.dynamic().node_count != n) {
        rebuild_spanner(n, q.tails, q.heads, q.gradients, q.lengths);
    }
}

// Budgets follow the graph size, so that larger graphs tolerate more
// instability before a level rebuilds.
void FullDynamicOracle::scale_budgets(std::size_t m) {
    if (m > 0 && budget_exponent > 0.0) {
        const std::uint64_t b = std::max<std::uint64_t>(
            ceil_count(std::pow(static_cast<double>(m), budget_exponent)), 1);
        for (TreeChainLevel& level : hierarchy.levels) {
            level.rebuild_budget = std::max(level.rebuild_budget, b);
        }
    }
}

// Without last known values of the same size every edge counts as changed
// and nothing is charged: there is nothing to have drifted from.
void FullDynamicOracle::detect_changes(std::span<const double> grads,
                                       std::span<const double> lens) {
    changed_.clear();
    if (!gradients.empty() && !lengths.empty() && gradients.size() == grads.size() &&
        lengths.size() == lens.size()) {
        std::uint64_t events = 0;
        const std::size_t count = std::min(lens.size(), grads.size());
        for (std::size_t i = 0; i < count; ++i) {
            bool changed = false;
            if (std::fabs(grads[i] - gradients[i]) > gradient_change_threshold) {
                ++events;
                saturating_increment(instability_events);
                changed = true;
            }
            const double lo = lengths[i], ln = lens[i];
            if (lo > 0.0 && ln > 0.0 && larger_quotient(ln, lo) > length_ratio_threshold) {
                ++events;
                saturating_increment(instability_events);
                changed = true;
            }
            if (changed) changed_.push_back(i);
        }
        hierarchy.charge_all(events);
    } else {
        changed_.resize(grads.size());
        for (std::size_t i = 0; i < grads.size(); ++i) changed_[i] = i;
    }
    gradients.assign(grads.begin(), grads.end());
    lengths.assign(lens.begin(), lens.end());
}

// The dynamic tree repairs itself from the snapshot; the chain copies it
// only when the tree was rebuilt or the node count moved.
TreeResult<void> FullDynamicOracle::advance_tree_chain(const OracleQuery& q) {
    const std::size_t n = q.node_count;
    if (tree_chain && dynamic_tree) {
        // The spanner's last tree is usually over these very lengths (sorted
        // in the upkeep): the dynamic tree takes it when it can.
        RenamedForest offered;
        if (spanner.deterministic()) {
            offered = std::get<DeterministicDynamicSpanner>(spanner.value).last_forest();
        }
        auto rebuilt = dynamic_tree->update_from_snapshot(q.iteration, n, q.tails, q.heads,
                                                          q.lengths, &offered);
        if (!rebuilt) return std::unexpected(rebuilt.error());
        if (*rebuilt || tree_chain->tree.node_count() != n) refresh_tree_chain(q.tails.size());
    } else if (auto r = rebuild_tree_chain(q.iteration, n, q.tails, q.heads, q.lengths); !r) {
        return std::unexpected(r.error());
    }
    return {};
}

// A chain built for this edge count takes the new lengths in place; any
// other is built afresh.
TreeResult<void> FullDynamicOracle::advance_branching_chain(const OracleQuery& q) {
    const std::size_t m = q.tails.size();
    if (branching && branching->built_for(m)) {
        branching->take_lengths(q.lengths);
    } else {
        auto built = BranchingTreeChain::build(q.node_count, q.tails, q.heads, q.lengths,
                                               std::nullopt, deterministic, 0.125);
        if (!built) return std::unexpected(built.error());
        branching = std::move(*built);
    }
    return {};
}

// A stable flow counts rounds toward a scheduled rebuild of the chain's
// first level; an unstable one counts toward a forced rebuild.
TreeResult<void> FullDynamicOracle::track_stability(const OracleQuery& q) {
    const HsfcOutcome outcome = apply_hsfc_update(IpmUpdate{changed_, q.gradients, q.lengths});
    if (!branching) return {};
    ChainGraph graph{q.tails, q.heads, q.lengths, q.node_count, deterministic, {}};
    // The dynamic tree is the same Kruskal tree whenever its clamped lengths
    // are the query's: the chain checks that before reading it.
    if (dynamic_tree && dynamic_tree->tree_is_current()) {
        graph.prebuilt =
            PrebuiltTree{&dynamic_tree->tree, dynamic_tree->node_count, dynamic_tree->tails,
                         dynamic_tree->heads, dynamic_tree->lengths};
    }
    return branching->record_round(outcome.stable, graph);
}

// Each query advances the schedule by the number of levels; the threshold
// grows geometrically so that full rebuilds of the spanner and the dynamic
// tree become rarer as the solve goes on.
TreeResult<void> FullDynamicOracle::follow_spanner_schedule(const OracleQuery& q) {
    spanner_rebuild_progress += static_cast<double>(hierarchy.levels.size());
    if (spanner_rebuild_progress >= spanner_rebuild_threshold) {
        spanner_rebuild_progress = 0.0;
        spanner_rebuild_threshold *= spanner_rebuild_growth;
        rebuild_spanner(q.node_count, q.tails, q.heads, q.gradients, q.lengths);
        if (!dynamic_tree) {
            if (auto r = rebuild_tree_chain(q.iteration, q.node_count, q.tails, q.heads, q.lengths);
                !r) {
                return std::unexpected(r.error());
            }
        }
        const std::uint64_t s =
            dynamic_tree->deterministic ? 0 : (dynamic_tree->seed ^ q.iteration);
        if (auto r = dynamic_tree->rebuild(s); !r) return std::unexpected(r.error());
        refresh_tree_chain(q.tails.size());
    }
    return {};
}

// Highest level first, so that a level whose work is shared can copy (or
// borrow) the level above it, which has just answered.
TreeResult<void> FullDynamicOracle::query_levels(const OracleQuery& q) {
    level_candidates_.clear();
    const bool shared = share_level_work && levels_rebuild_alike(q.iteration);
    // Levels that answer on their own need their own state.
    if (!shared) settle_levels();
    const bool borrow = shared && can_borrow_levels();
    for (std::size_t i = hierarchy.levels.size(); i-- > 0;) {
        TreeChainLevel& level = hierarchy.levels[i];
        if (shared && i + 1 < hierarchy.levels.size()) {
            // The top level's scan succeeded: the levels below follow it.
            if (borrow) {
                levels_borrowed_ = true;
            } else {
                level.oracle.copy_scan_from(hierarchy.levels[i + 1].oracle);
            }
            level.rebuild_pending = false;
            if (!level_candidates_.empty()) {
                level_candidates_.push_back(
                    {level_candidates_.back().candidate, level.approx_factor});
            }
            continue;
        }
        auto found = level.oracle.best_cycle_with_rebuild(q, level.rebuild_pending);
        if (!found) return std::unexpected(found.error());
        level.rebuild_pending = false;
        if (*found) level_candidates_.push_back({std::move(**found), level.approx_factor});
    }
    return {};
}

void FullDynamicOracle::score(std::span<const SignedEdge> cycle, std::span<const double> grads,
                              std::span<const double> lens, double& num, double& den) {
    num = 0.0;
    den = 0.0;
    for (const auto& [e, s] : cycle) {
        num += static_cast<double>(s) * grads[e];
        den += std::fabs(lens[e]);
    }
}

// Level candidates name spanner edges until expanded; each is then scored
// against the query's arrays and weighted by its level's factor.
std::optional<CycleCandidate> FullDynamicOracle::choose_level_candidate(const OracleQuery& q) {
    level_scores_.clear();
    for (LevelCandidate& lc : level_candidates_) {
        if (expand(lc.candidate, q.tails, q.heads)) lc.candidate.cycle.swap(expanded_);
        LevelScore& ls = level_scores_.emplace_back(LevelScore{0.0, 0.0, lc.approx_factor});
        // A walk that does not close is no candidate (denominator 0).
        if (closes(lc.candidate.cycle, q.tails, q.heads, q.node_count)) {
            score(lc.candidate.cycle, q.gradients, q.lengths, ls.numerator, ls.denominator);
        }
    }
    std::optional<CycleCandidate> best;
    if (auto pick = pick_weighted_candidate(level_scores_)) {
        best = std::move(level_candidates_[*pick].candidate);
        best->numerator = level_scores_[*pick].numerator;
        best->denominator = level_scores_[*pick].denominator;
        best->ratio = best->numerator / best->denominator;
    }
    return best;
}

// The tree chain scores its cycles itself; they replace the best only when
// they close and have a strictly smaller ratio.
void FullDynamicOracle::offer_tree_chain_candidate(const OracleQuery& q,
                                                   std::optional<CycleCandidate>& best) {
    if (tree_chain) {
        auto c = tree_chain->approx_best_cycle(q.tails, q.heads, q.gradients, q.lengths);
        if (c && closes(c->cycle, q.tails, q.heads, q.node_count) &&
            (!best || c->ratio < best->ratio)) {
            best = std::move(*c);
        }
    }
}

void FullDynamicOracle::offer_branching_candidate(const OracleQuery& q,
                                                  std::optional<CycleCandidate>& best) {
    if (branching) {
        auto cycle = branching->extract_min_ratio_cycle(q.gradients, q.lengths,
                                                        std::max(approx_factor, 0.0));
        // Only level-0 cycles name graph edges; the closure check drops any other.
        if (cycle && closes(*cycle, q.tails, q.heads, q.node_count)) {
            double num = 0.0, den = 0.0;
            score(*cycle, q.gradients, q.lengths, num, den);
            if (den > 0.0 && (!best || num / den < best->ratio)) {
                best.emplace();
                best->cycle = std::move(*cycle);
                best->numerator = num;
                best->denominator = den;
                best->ratio = num / den;
            }
        }
    }
}

// A stale embedding on the chosen cycle means the spanner no longer
// reflects the graph: it is rebuilt before the next query reads it.
void FullDynamicOracle::check_embeddings(const OracleQuery& q,
                                         const std::optional<CycleCandidate>& best) {
    if (best) {
        for (const auto& [e, s] : best->cycle) {
            if (!spanner.dynamic().embedding_valid(e)) {
                rebuild_spanner(q.node_count, q.tails, q.heads, q.gradients, q.lengths);
                break;
            }
        }
    }
}

// Declared beside the interface, defined here so the interface needs no
// knowledge of this implementation.
std::unique_ptr<DynamicOracle> make_full_dynamic_oracle(std::uint64_t seed, std::size_t levels,
                                                        std::size_t rebuild_every,
                                                        std::size_t rebuild_budget,
                                                        bool deterministic, double approx_factor,
                                                        std::unique_ptr<DynamicOracle> previous) {
    auto made = std::make_unique<FullDynamicOracle>(seed, levels, rebuild_every, rebuild_budget,
                                                    deterministic, approx_factor);
    if (auto* old = dynamic_cast<FullDynamicOracle*>(previous.get())) {
        made->adopt_storage(*old);
    }
    return made;
}

}  // namespace zelk
