// FullDynamicOracle: the min-ratio cycle oracle that keeps its structures
// alive across interior-point iterations and repairs them as gradients and
// lengths drift: a hierarchy of tree-chain levels (each a static oracle with
// its own random tree), a spanner over the whole graph whose embeddings turn
// a level's cycle into a cycle of the graph, one dynamic low-stretch tree
// with a short list of off-tree edges, a branching tree chain, and a
// stable-flow-chasing tracker that decides when the chain is rebuilt.
//
// Contract: best_cycle returns the best candidate of the levels (compared
// by ratio / (1 + level factor)), the tree chain and the branching chain,
// with ratio, numerator and denominator recomputed against the query's
// arrays; its cycle is a closed walk in graph edge identifiers below the
// query's edge count. A tree-builder error is returned and structures
// already replaced in that query stay replaced. Between queries,
// update_many and notify_flow_change charge every level's instability
// budget; an exhausted budget forces the level's oracle to rebuild at the
// next query, and until then every update call reports RebuildRequired
// (the updates themselves have been applied). An update naming an edge at
// or beyond the edge count of the last query is InvalidEdgeIndex and the
// rest of that call is not applied. Counters saturate.
// Cost per query: three static-oracle rebuilds and scans (O(m) each plus
// tree paths), one Kruskal tree, O(m) change detection and stability
// tracking, a spanner refresh of the changed edges, and the chain's
// candidate extraction; rebuilds of the spanner and the chain come on
// geometric and instability schedules. Updates cost O(1) per pair plus at
// most one spanner rebuild per call in deterministic mode.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index_types.hpp"
#include "min_ratio/branching_tree_chain.hpp"
#include "min_ratio/cycle_candidate.hpp"
#include "min_ratio/dynamic_oracle.hpp"
#include "min_ratio/edge_spanner.hpp"
#include "min_ratio/hidden_stable_flow_chasing.hpp"
#include "min_ratio/min_ratio_oracle.hpp"
#include "min_ratio/tree_chain.hpp"
#include "numerics/guarded_math.hpp"
#include "trees/dynamic_tree.hpp"

namespace zelk {

// Milliseconds spent in each step of best_cycle, summed over the queries
// made while an oracle's `profile` points here.
struct QueryProfile {
    double sizes_and_changes = 0.0;     // fit_sizes, scale_budgets, detect_changes
    double tree_chain = 0.0;            // advance_tree_chain
    double branching_chain = 0.0;       // advance_branching_chain
    double stability = 0.0;             // track_stability
    double spanner_schedule = 0.0;      // follow_spanner_schedule
    double levels = 0.0;                // query_levels
    double expansion = 0.0;             // choose_level_candidate
    double tree_chain_candidate = 0.0;  // offer_tree_chain_candidate
    double branching_candidate = 0.0;   // offer_branching_candidate
    double embedding_check = 0.0;       // check_embeddings
    std::uint64_t queries = 0;
};

// What changed since the previous query (borrowed for the call).
struct IpmUpdate {
    std::span<const std::uint64_t> changed;  // edge identifiers, ascending
    std::span<const double> gradients;
    std::span<const double> lengths;
};

class FullDynamicOracle final : public DynamicOracle {
public:
    // ---- Construction.
    FullDynamicOracle(std::uint64_t seed, std::size_t levels, std::uint64_t rebuild_every,
                      std::uint64_t rebuild_budget, bool deterministic, double approx_factor);

    // ---- Running (DynamicOracle).

    // Tails, heads, gradients and lengths must have one entry per edge
    // (else MissingEdgeLengths, before anything changes) and endpoints below n.
    TreeResult<std::optional<CycleCandidate>> best_cycle(std::uint64_t iteration, std::size_t n,
                                                         std::span<const NodeIndex> tails,
                                                         std::span<const NodeIndex> heads,
                                                         std::span<const double> gradients,
                                                         std::span<const double> lengths) override;

    // Charges ceil(sum |change * length|) over edges with a known length;
    // an empty list succeeds at once.
    OracleStatus notify_flow_change(std::span<const EdgeValue> flow_changes) override;

    // Gradient pairs first, then length pairs, each through
    // update_edge_instability; the first error stops the call.
    OracleStatus update_many(std::span<const EdgeValue> gradient_updates,
                             std::span<const EdgeValue> length_updates) override;

    std::optional<std::uint64_t> branching_instability_count() const override;

    // Updates stop refreshing the spanner (their statuses never depend on
    // it); the next query rebuilds it from the values it has been given.
    void stop_queries() override;

    // The stored embedding of `edge`, else a breadth-first one from tail to
    // head, in spanner edge identifiers; nothing when there is none.
    std::optional<std::vector<SignedEdge>> reduce_edge(std::uint64_t edge, std::uint64_t tail,
                                                       std::uint64_t head);

    // Takes `previous`'s spanner storage (restarted) when both run in the same
    // mode, and its level oracles (restarted) whose seed settings match;
    // call before the first query. Answers stay a new oracle's.
    void adopt_storage(FullDynamicOracle& previous);

    // ---- Settings for tests and benchmarks.

    // Whether levels that would do identical work share it (results and
    // level states are the same either way).
    void set_share_level_work(bool share) { share_level_work = share; }
    // Step timings; null (the default) measures nothing.
    void set_profile(QueryProfile* p) { profile = p; }
    // The pool of every level's tree scan; null means the process-wide pool.
    void set_thread_pool(WorkerPool* pool);

    // ---- Read-only view.
    // The levels, each holding its own state (levels that borrowed the top
    // level's scan get their copies first).
    const TreeChainHierarchy& levels();
    std::span<const double> known_gradients() const { return gradients; }
    std::span<const double> known_lengths() const { return lengths; }
    const EdgeSpanner& edge_spanner() const { return spanner; }
    std::uint64_t instability_events_seen() const { return instability_events; }
    std::uint64_t query_count() const { return queries; }

private:
    // Operations of the update and query steps.

    // Checks the edge, records a gradient move above gradient_change_threshold
    // and a length move by a factor above length_ratio_threshold as events,
    // charges every level with them and refreshes the spanner edge.
    OracleStatus update_edge_instability(std::uint64_t edge, bool is_gradient, bool is_length,
                                         double gradient, double length);
    void rebuild_spanner(std::uint64_t n, std::span<const NodeIndex> tails,
                         std::span<const NodeIndex> heads, std::span<const double> gradients,
                         std::span<const double> lengths);
    TreeResult<void> rebuild_tree_chain(std::uint64_t iteration, std::uint64_t n,
                                        std::span<const NodeIndex> tails,
                                        std::span<const NodeIndex> heads,
                                        std::span<const double> lengths);
    HsfcOutcome apply_hsfc_update(const IpmUpdate& update);

    // State.
    TreeChainHierarchy hierarchy;
    std::vector<double> gradients;  // last known, padded with 0.0
    std::vector<double> lengths;    // last known, padded with 1.0
    HiddenStableFlowChasing hsfc;
    EdgeSpanner spanner;
    std::optional<TreeChain> tree_chain;
    std::optional<BranchingTreeChain> branching;
    std::optional<DynamicTree> dynamic_tree;
    double spanner_rebuild_threshold = 10.0;
    double spanner_rebuild_growth = 1.5;
    double spanner_rebuild_progress = 0.0;
    std::uint64_t instability_events = 0;
    std::uint64_t queries = 0;
    std::uint64_t edge_count = 0;  // the spanner was built for these sizes
    std::uint64_t node_count = 0;
    double gradient_change_threshold = 0.5;
    double length_ratio_threshold = 1.25;
    double budget_exponent = 0.1;
    std::uint64_t tree_rebuild_every = 1;
    std::uint64_t tree_change_threshold = 10;
    double tree_ratio_threshold = 1.25;
    double approx_factor = 0.0;
    bool deterministic = true;

    bool share_level_work = true;
    // True when every level below the top stands for a copy of the top
    // level's oracle with its own seeds: the tree, spanner, scan and counters
    // it would hold after copying each shared scan. Its own oracle is stale
    // until settle_levels.
    bool levels_borrowed_ = false;
    // Set by stop_queries, cleared by the next query.
    bool queries_stopped_ = false;
    QueryProfile* profile = nullptr;

    // The steps of best_cycle, in its order; each reads the query's arrays
    // and works in the members and scratch buffers below.

    // Rebuilds the spanner when the graph's sizes are not the ones it was
    // built for.
    void fit_sizes(const OracleQuery& q);
    // Raises every level's rebuild budget to at least ceil(m^budget_exponent).
    void scale_budgets(std::size_t m);
    // Fills changed_ with the edges whose gradient or length moved past its
    // threshold, charges the levels with the events and keeps the query's
    // values as the last known ones.
    void detect_changes(std::span<const double> grads, std::span<const double> lens);
    // Repairs the dynamic tree (building it and the tree chain when absent).
    TreeResult<void> advance_tree_chain(const OracleQuery& q);
    // Hands the new lengths to the branching chain, or builds it.
    TreeResult<void> advance_branching_chain(const OracleQuery& q);
    // Feeds the stability tracker and rebuilds the branching chain's first
    // level when its round or instability counters say so.
    TreeResult<void> track_stability(const OracleQuery& q);
    // Rebuilds the spanner and the dynamic tree when the schedule is due.
    TreeResult<void> follow_spanner_schedule(const OracleQuery& q);
    // Asks every level for a cycle into level_candidates_.
    TreeResult<void> query_levels(const OracleQuery& q);
    // Expands and scores the level candidates; the weighted pick, if any.
    std::optional<CycleCandidate> choose_level_candidate(const OracleQuery& q);
    // Replaces `best` with the tree chain's cycle when that is better.
    void offer_tree_chain_candidate(const OracleQuery& q, std::optional<CycleCandidate>& best);
    // Replaces `best` with the branching chain's cycle when that is better.
    void offer_branching_candidate(const OracleQuery& q, std::optional<CycleCandidate>& best);
    // Rebuilds the spanner when an edge of `best` has a stale embedding.
    void check_embeddings(const OracleQuery& q, const std::optional<CycleCandidate>& best);
    // Numerator (signed gradients) and denominator (absolute lengths) of
    // `cycle`, summed in its order.
    static void score(std::span<const SignedEdge> cycle, std::span<const double> grads,
                      std::span<const double> lens, double& num, double& den);

    // True when every level rebuilds in this query and the builds cannot
    // differ (deterministic mode).
    bool levels_rebuild_alike(std::uint64_t iteration) const;
    // Whether the levels below the top may borrow its scan state instead of
    // copying it (see levels_borrowed_).
    bool can_borrow_levels() const;
    // Gives every borrowing level its own copy of the top level's state.
    void settle_levels();
    // Copies the dynamic tree into tree_chain (creating it with 3 scored and
    // 8 collected edges when absent).
    void refresh_tree_chain(std::size_t m);
    // update_edge_instability with the spanner refresh queued, not applied.
    OracleStatus update_one(std::uint64_t edge, bool is_gradient, bool is_length, double gradient,
                            double length);
    // Whether a new value of a covered edge is an instability event.
    bool gradient_jumps(std::uint64_t edge, double gradient) const {
        return std::fabs(gradient - gradients[edge]) > gradient_change_threshold;
    }
    bool length_jumps(std::uint64_t edge, double length) const {
        const double old = lengths[edge];
        return length > 0.0 && old > 0.0 && larger_quotient(length, old) > length_ratio_threshold;
    }
    // Appends a spanner refresh of `edge` with its last known values.
    void queue_refresh(std::uint64_t edge);
    OracleStatus flush_refreshes(OracleStatus status);
    // Expands a level candidate through the spanner's embeddings into
    // expanded_; false when some edge has no reduction.
    bool expand(const CycleCandidate& c, std::span<const NodeIndex> tails,
                std::span<const NodeIndex> heads);
    // True when `cycle` names edges below m only and its signed edges sum to
    // a circulation.
    bool closes(std::span<const SignedEdge> cycle, std::span<const NodeIndex> tails,
                std::span<const NodeIndex> heads, std::size_t n);

    // Scratch, reused across calls.
    std::vector<SpannerRefresh> refreshes_;
    std::vector<std::uint64_t> changed_;
    std::vector<SignedEdge> expanded_;
    std::vector<std::int64_t> balance_;
    std::vector<std::uint64_t> touched_;
    struct LevelCandidate {
        CycleCandidate candidate;
        double approx_factor = 0.0;
    };
    std::vector<LevelCandidate> level_candidates_;
    std::vector<LevelScore> level_scores_;
};

}  // namespace zelk
