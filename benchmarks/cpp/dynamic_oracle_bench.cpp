// Build by hand against the core library (after building it, e.g. in
// build/NAME), from the repository root:
//   g++ -O2 -std=c++23 -Isrc benchmarks/cpp/dynamic_oracle_bench.cpp build/NAME/libzelk_core.a
//       -lpthread -o dynamic_oracle_bench
// (one command line). Run: ./dynamic_oracle_bench [queries] [noshare] [repeats]
// (12 queries by default; `noshare` lets every level do its own work; each
// figure is the minimum over `repeats` runs, 3 by default, which keeps the
// table steady on a machine shared with other jobs).
//
// Profiles FullDynamicOracle as the interior-point loop drives it, on
// NETGEN-style and grid graphs of the benchmark sizes (about 8k and 32k
// edges), deterministic mode: per query, the milliseconds of each step of
// best_cycle (and per edge, in nanoseconds), and per iteration the upkeep
// (notify_flow_change and update_many with every gradient and length moved
// slightly, a few of them a lot), and their sum for a later iteration.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "min_ratio/full_dynamic_oracle.hpp"

#include "bench_graphs.hpp"

using namespace zelk;

using namespace zelk::benchmarks;

namespace {

struct Figures {
    double first_query = 0.0, later_query = 0.0, upkeep = 0.0;
    std::size_t found = 0;
    std::vector<double> steps;  // ms per later query, in the order of step_names
};

const char* const step_names[] = {
    "sizes and changes", "tree chain",      "branching chain", "stability",
    "spanner schedule",  "levels",          "expansion",       "tree-chain cand.",
    "branching cand.",   "embedding check",
};

Figures bench(const BenchGraph& g, int queries, bool share) {
    const std::size_t m = g.tails.size();
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> grad(-1.0, 1.0), len(0.5, 2.0), small(-0.05, 0.05);
    std::vector<double> gradients(m), lengths(m);
    for (std::size_t i = 0; i < m; ++i) {
        gradients[i] = grad(rng);
        lengths[i] = len(rng);
    }
    FullDynamicOracle oracle(0, 3, 1, 10, true, 0.9);
    QueryProfile profile;
    oracle.set_profile(&profile);
    oracle.set_share_level_work(share);
    double query_total = 0.0, upkeep_total = 0.0, first_query = 0.0;
    std::size_t found = 0;
    std::vector<EdgeValue> flow_changes, gradient_changes, length_changes;
    for (int k = 0; k < queries; ++k) {
        auto t0 = Clock::now();
        auto r = oracle.best_cycle(static_cast<std::uint64_t>(k), g.n, g.tails, g.heads, gradients,
                                   lengths);
        const double q = ms_since(t0);
        if (k == 0) {
            first_query = q;
            profile = QueryProfile{};  // the first query builds everything
        } else {
            query_total += q;
        }
        if (r && *r) {
            ++found;
            flow_changes.clear();
            for (auto [e, s] : (**r).cycle) flow_changes.emplace_back(e, 0.01 * s);
        }
        // The loop's upkeep: every value moves a little, one in fifty a lot.
        gradient_changes.clear();
        length_changes.clear();
        for (std::size_t e = 0; e < m; ++e) {
            gradients[e] += small(rng) * (rng() % 50 == 0 ? 30.0 : 1.0);
            lengths[e] *= 1.0 + small(rng);
            gradient_changes.emplace_back(e, gradients[e]);
            length_changes.emplace_back(e, lengths[e]);
        }
        t0 = Clock::now();
        (void)oracle.notify_flow_change(flow_changes);
        (void)oracle.update_many(gradient_changes, length_changes);
        upkeep_total += ms_since(t0);
    }
    const double later = static_cast<double>(std::max(queries - 1, 1));
    Figures f;
    f.first_query = first_query;
    f.later_query = query_total / later;
    f.upkeep = upkeep_total / static_cast<double>(queries);
    f.found = found;
    for (double total :
         {profile.sizes_and_changes, profile.tree_chain, profile.branching_chain, profile.stability,
          profile.spanner_schedule, profile.levels, profile.expansion, profile.tree_chain_candidate,
          profile.branching_candidate, profile.embedding_check}) {
        f.steps.push_back(total / later);
    }
    return f;
}

void report(const BenchGraph& g, int queries, bool share, int repeats) {
    Figures best = bench(g, queries, share);
    for (int r = 1; r < repeats; ++r) {
        const Figures f = bench(g, queries, share);
        best.first_query = std::min(best.first_query, f.first_query);
        best.later_query = std::min(best.later_query, f.later_query);
        best.upkeep = std::min(best.upkeep, f.upkeep);
        for (std::size_t i = 0; i < best.steps.size(); ++i)
            best.steps[i] = std::min(best.steps[i], f.steps[i]);
    }
    const std::size_t m = g.tails.size();
    const double per_edge = 1e6 / static_cast<double>(m);  // ms per query -> ns per edge
    std::printf(
        "%s n=%llu m=%zu: first query %.1f ms; later queries %.2f ms; upkeep %.2f ms/iter;"
        " later query + upkeep %.2f ms; cycles found %zu/%d\n",
        g.name.c_str(), static_cast<unsigned long long>(g.n), m, best.first_query, best.later_query,
        best.upkeep, best.later_query + best.upkeep, best.found, queries);
    for (std::size_t i = 0; i < best.steps.size(); ++i) {
        std::printf("  %-22s %9.3f ms/query %9.1f ns/edge\n", step_names[i], best.steps[i],
                    best.steps[i] * per_edge);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int queries = argc > 1 ? std::max(std::atoi(argv[1]), 2) : 12;
    const bool share = !(argc > 2 && std::string(argv[2]) == "noshare");
    const int repeats = argc > 3 ? std::max(std::atoi(argv[3]), 1) : 3;
    report(netgen_like(8000, 1), queries, share, repeats);
    report(grid(8000, true), queries, share, repeats);
    report(netgen_like(32000, 2), queries, share, repeats);
    report(grid(32000, true), queries, share, repeats);
    return 0;
}
