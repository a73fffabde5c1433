// Build by hand against the core library (after building it, e.g. in
// build/NAME), from the repository root:
//   g++ -O2 -std=c++23 -Isrc benchmarks/cpp/dynamic_bench.cpp build/NAME/libzelk_core.a
//       -lpthread -o dynamic_bench
// (one command line).
//
// Times the dynamic building blocks of the dynamic oracle on NETGEN-style
// and grid graphs with about 10^4 and 10^5 edges (median over repetitions):
// BranchingTreeChain::build (total and per level), extract_min_ratio_cycle,
// DynamicTree::update_from_snapshot without and with a rebuild, the
// deterministic spanner's sync_snapshot and update_edge_values, a
// decremental spanner over the graph itself, and the shiftable forests.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "min_ratio/branching_tree_chain.hpp"
#include "spanner/decremental_spanner.hpp"
#include "spanner/deterministic_dynamic_spanner.hpp"
#include "trees/dynamic_tree.hpp"
#include "trees/shiftable_forest_collection.hpp"

#include "bench_graphs.hpp"

using namespace zelk;

using namespace zelk::benchmarks;

namespace {

void bench(const BenchGraph& g, int reps) {
    const std::size_t m = g.tails.size();
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> grad(-1.0, 1.0), len(0.5, 2.0);
    std::vector<double> gradients(m), lengths(m);
    for (std::size_t i = 0; i < m; ++i) {
        gradients[i] = grad(rng);
        lengths[i] = len(rng);
    }
    double sink = 0.0;
    std::vector<double> chain_build, level0, extract, tree_plain, tree_rebuild, dds_sync,
        dds_update, decr, forests;
    std::size_t chain_levels = 0;
    for (int r = 0; r < reps; ++r) {
        auto t0 = Clock::now();
        auto chain =
            BranchingTreeChain::build(g.n, g.tails, g.heads, lengths, std::nullopt, true, 0.125);
        chain_build.push_back(ms_since(t0));
        chain_levels = chain->levels().size();
        level0.push_back(1e3 * chain->build_seconds().front());

        t0 = Clock::now();
        auto cyc = chain->extract_min_ratio_cycle(gradients, lengths, 0.1);
        extract.push_back(ms_since(t0));
        if (cyc) sink += static_cast<double>(cyc->size());

        DynamicTreeConfig quiet{0, 1000000, 0, 1.25, true};
        auto tree = DynamicTree::create(g.n, g.tails, g.heads, lengths, quiet);
        for (std::size_t i = 0; i < m; i += 7) lengths[i] *= 1.01;
        t0 = Clock::now();
        auto a = tree->update_from_snapshot(1, g.n, g.tails, g.heads, lengths);
        tree_plain.push_back(ms_since(t0));
        t0 = Clock::now();
        auto b = tree->update_from_snapshot(1000000, g.n, g.tails, g.heads, lengths);
        tree_rebuild.push_back(ms_since(t0));
        sink += static_cast<double>(*a) + static_cast<double>(*b);

        DeterministicDynamicSpanner dds;
        t0 = Clock::now();
        dds.sync_snapshot(g.n, g.tails, g.heads, lengths, gradients);
        dds_sync.push_back(ms_since(t0));
        sink += static_cast<double>(dds.spanner.edges.size());
        // Updates across one rebuild period, per update.
        t0 = Clock::now();
        const std::uint64_t updates = 4 * dds.rebuild_period;
        for (std::uint64_t k = 0; k < updates; ++k) {
            const std::uint64_t e = (k * 7919) % m;
            dds.update_edge_values(e, lengths[e] * 1.1, gradients[e] + 0.1);
        }
        dds_update.push_back(ms_since(t0) / static_cast<double>(updates));

        DecrementalSpannerConfig config;
        config.layer_count = 2;
        t0 = Clock::now();
        auto ds = DecrementalSpanner::create(g.n, g.tails, g.heads, lengths, config);
        decr.push_back(ms_since(t0));
        sink += static_cast<double>(ds->layers.back().spanner_edges.size());

        t0 = Clock::now();
        auto sf =
            ShiftableForestCollection::build_deterministic(g.n, g.tails, g.heads, lengths, 3, 1);
        forests.push_back(ms_since(t0));
        sink += static_cast<double>(sf->forests.size());
    }
    std::printf(
        "%-6s m=%-6zu n=%-6llu levels=%zu | chain build %8.2f ms (level 0 %8.2f) | extract %8.2f ms"
        " | tree update %7.3f ms, with rebuild %7.2f ms"
        " | det. spanner sync %8.2f ms, update %7.3f ms"
        " | decremental spanner %7.2f ms | 3 forests %7.2f ms  (check %.3g)\n",
        g.name.c_str(), m, static_cast<unsigned long long>(g.n), chain_levels, median(chain_build),
        median(level0), median(extract), median(tree_plain), median(tree_rebuild), median(dds_sync),
        median(dds_update), median(decr), median(forests), sink);
}

}  // namespace

int main() {
    for (std::size_t m : {10000u, 100000u}) {
        const int reps = m <= 10000 ? 7 : 3;
        bench(netgen_like(m, 1), reps);
        bench(grid(m), reps);
    }
    return 0;
}
