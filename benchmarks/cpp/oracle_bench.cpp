// Build by hand: g++ -O2 -std=c++23 -Isrc benchmarks/cpp/oracle_bench.cpp build/NAME/libzelk_core.a
// -lpthread -o oracle_bench
//
// Times MinRatioOracle::best_cycle_with_rebuild on NETGEN-style
// and grid graphs with about 10^4 and 10^5 edges, separately for queries
// that rebuild the tree and spanner and for queries that reuse them, and
// prints nanoseconds per edge (median over repetitions). Optional argument:
// the worker-pool size (default: the processor count).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "min_ratio/min_ratio_oracle.hpp"
#include "worker_pool.hpp"

#include "bench_graphs.hpp"

using namespace zelk;

using namespace zelk::benchmarks;

namespace {

void bench(const BenchGraph& g, WorkerPool& pool, int reps) {
    const std::size_t m = g.tails.size();
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> grad(-1.0, 1.0), len(0.5, 2.0);
    std::vector<double> gradients(m), lengths(m);
    for (std::size_t i = 0; i < m; ++i) {
        gradients[i] = grad(rng);
        lengths[i] = len(rng);
    }
    MinRatioOracle o;
    o.deterministic = true;
    o.rebuild_every = 1000000;  // reuse unless forced
    o.pool = &pool;
    using clock = std::chrono::steady_clock;
    std::vector<double> rebuild, reuse;
    double sink = 0.0;
    std::uint64_t it = 0;
    for (int r = 0; r < reps; ++r) {
        auto t0 = clock::now();
        auto a = o.best_cycle_with_rebuild(
            OracleQuery{g.tails, g.heads, gradients, lengths, it++, g.n}, true);
        auto t1 = clock::now();
        rebuild.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() /
                          static_cast<double>(m));
        if (a && *a) sink += (*a)->ratio;
        // Reusing queries, with gradients and lengths drifting as in an IPM.
        for (int k = 0; k < 3; ++k) {
            for (std::size_t i = 0; i < m; i += 7) {
                gradients[i] *= 0.99;
                lengths[i] *= 1.01;
            }
            auto t2 = clock::now();
            auto b = o.best_cycle_with_rebuild(
                OracleQuery{g.tails, g.heads, gradients, lengths, it++, g.n}, false);
            auto t3 = clock::now();
            reuse.push_back(std::chrono::duration<double, std::nano>(t3 - t2).count() /
                            static_cast<double>(m));
            if (b && *b) sink += (*b)->ratio;
        }
    }
    std::printf(
        "%-7s m=%-7zu n=%-7llu threads=%zu  rebuild %9.1f ns/edge   reuse %9.1f ns/edge   (check "
        "%.3g)\n",
        g.name.c_str(), m, static_cast<unsigned long long>(g.n), pool.thread_count(),
        median(rebuild), median(reuse), sink);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t threads = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 0;
    WorkerPool pool(threads);
    for (std::size_t m : {10000u, 100000u}) {
        const int reps = m <= 10000 ? 7 : 3;
        bench(netgen_like(m, 1), pool, reps);
        bench(grid(m), pool, reps);
    }
    return 0;
}
