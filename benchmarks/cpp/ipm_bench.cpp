// Build by hand (after a C++ build in build/NAME):
//   g++ -O2 -std=c++23 -Isrc benchmarks/cpp/ipm_bench.cpp build/NAME/libzelk_core.a -lpthread -o
//   ipm_bench
//
// Times the interior-point entry in `Fallback` mode on seeded NETGEN-style
// instances (about 60/300, 200/1.6k and 1k/8k nodes/edges). The bisection is
// replayed probe by probe from the entry's own pieces so that every probe is
// measured; the replay is checked against run_ipm's result. Reports, per
// instance (median of the repetitions): probes, total iterations,
// milliseconds per iteration and the split between oracle queries, barrier
// evaluations and the rest of the iteration (line search, direction, tests).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "ipm/ipm_entry.hpp"
#include "ipm/ipm_loop.hpp"
#include "ipm/start_point.hpp"

#include "bench_graphs.hpp"

using namespace zelk;

using namespace zelk::benchmarks;

namespace {

// Sources feed a random chain of transshipment nodes ending in sinks, plus
// a ring and random arcs; costs 1..100, capacities 100..2000 (30% effectively unbounded).
McfProblem netgen(std::uint64_t seed, std::uint32_t n, std::size_t m) {
    std::mt19937_64 rng(seed);
    const std::uint32_t sources = std::max<std::uint32_t>(2, n / 50);
    const std::uint32_t sinks = sources;
    std::vector<std::uint32_t> t, h;
    std::vector<std::int64_t> lo, up, c, d(n, 0);
    auto arc = [&](std::uint32_t a, std::uint32_t b, std::int64_t cap) {
        t.push_back(a);
        h.push_back(b);
        lo.push_back(0);
        up.push_back(cap);
        c.push_back(static_cast<std::int64_t>(rng() % 100) + 1);
    };
    std::vector<std::uint32_t> middle;
    for (std::uint32_t v = sources; v < n - sinks; ++v) middle.push_back(v);
    std::shuffle(middle.begin(), middle.end(), rng);
    const std::int64_t supply = 1000;
    for (std::uint32_t s = 0; s < sources; ++s) {
        // Chain: source -> a few middle nodes -> one sink, wide enough.
        std::uint32_t prev = s;
        for (std::size_t k = 0; k < 4 && !middle.empty(); ++k) {
            const std::uint32_t v = middle[(s * 4 + k) % middle.size()];
            arc(prev, v, supply * sources);
            prev = v;
        }
        const std::uint32_t sink = n - sinks + (s % sinks);
        arc(prev, sink, supply * sources);
        d[s] -= supply;
        d[sink] += supply;
    }
    // A ring through every node keeps the graph strongly connected, so every
    // edge can carry flow strictly inside its bounds.
    for (std::uint32_t v = 0; v < n; ++v) arc(v, (v + 1) % n, 1000000);
    while (t.size() < m) {
        const auto a = static_cast<std::uint32_t>(rng() % n);
        const auto b = static_cast<std::uint32_t>(rng() % n);
        if (a == b) continue;
        arc(a, b, rng() % 10 < 3 ? 1000000 : static_cast<std::int64_t>(rng() % 1901) + 100);
    }
    return *McfProblem::create(t, h, lo, up, c, d);
}

double sum(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x;
    return s;
}

struct Figures {
    double probes = 0, iterations = 0, total_ms = 0, oracle_ms = 0, barrier_ms = 0;
};

// The entry's bisection, replayed with per-probe accounting.
Figures replay(const McfProblem& p, const McfOptions& options, std::vector<double>& final_flow) {
    Figures f;
    const auto started = Clock::now();
    const McfOptions copy = scaled_run_options(p, options, ScalingContext::None);
    auto x0 = initialize_feasible_flow(p);
    if (!x0) {
        std::fprintf(stderr, "start failed: %s\n", x0.error().to_string().c_str());
        std::exit(1);
    }
    double c0 = 0, lb = 0;
    for (std::size_t e = 0; e < p.edge_count(); ++e) {
        c0 += (*x0)[e] * static_cast<double>(p.cost()[e]);
        lb += static_cast<double>(p.cost()[e]) *
              static_cast<double>(p.cost()[e] >= 0 ? p.lower()[e] : p.upper()[e]);
    }
    c0 = std::ceil(c0);
    auto start = choose_start_flow(p, copy);
    double lo = std::min(lb, c0), hi = std::max(lb, c0);
    const double tau = std::max(copy.tolerance, 1e-8);
    std::optional<IpmResult> best;
    auto account = [&](const IpmResult& r) {
        f.probes += 1;
        f.iterations += static_cast<double>(r.stats.iterations);
        f.oracle_ms += sum(r.stats.cycle_scoring_ms);
        f.barrier_ms += sum(r.stats.barrier_compute_ms);
    };
    for (int probe = 0; probe < 64 && hi - lo > tau; ++probe) {
        const double mid = (lo + hi) * 0.5;
        auto r = run_ipm_with_lower_bound(p, copy, mid, SolveContext::none(), &*start);
        account(*r);
        double cx = 0;
        for (std::size_t e = 0; e < p.edge_count(); ++e)
            cx += r->flow[e] * static_cast<double>(p.cost()[e]);
        if (r->termination == IpmTermination::Converged &&
            (cx <= copy.tolerance + mid || r->stats.final_gap < copy.tolerance)) {
            best = std::move(*r);
            hi = mid;
        } else {
            lo = mid;
        }
    }
    if (!best) {
        auto r = run_ipm_with_lower_bound(p, copy, hi, SolveContext::none(), &*start);
        account(*r);
        best = std::move(*r);
    }
    f.total_ms = ms_since(started);
    final_flow = best->flow;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::atoi(argv[1]) : 3;
    struct Size {
        std::uint32_t n;
        std::size_t m;
    };
    const Size sizes[] = {{60, 300}, {200, 1600}, {1000, 8000}};
    const McfOptions options = *build_options({.oracle_mode = "fallback"});
    std::printf("%-10s %7s %11s %9s %10s %10s %10s %10s\n", "n/m", "probes", "iterations",
                "total ms", "ms/iter", "oracle %", "barrier %", "rest %");
    for (const Size& s : sizes) {
        const McfProblem p = netgen(7 + s.n, s.n, s.m);
        std::vector<double> probes, iters, total, oracle, barrier;
        for (int r = 0; r < reps; ++r) {
            std::vector<double> flow;
            const Figures f = replay(p, options, flow);
            if (r == 0) {
                auto direct = run_ipm(p, options);
                if (!direct || direct->flow != flow) {
                    std::fprintf(stderr, "replay differs from run_ipm\n");
                    return 1;
                }
            }
            probes.push_back(f.probes);
            iters.push_back(f.iterations);
            total.push_back(f.total_ms);
            oracle.push_back(f.oracle_ms / f.total_ms * 100);
            barrier.push_back(f.barrier_ms / f.total_ms * 100);
        }
        const double it = median(iters);
        const double tot = median(total);
        const double o = median(oracle), b = median(barrier);
        char label[32];
        std::snprintf(label, sizeof label, "%u/%zu", s.n, s.m);
        std::printf("%-10s %7.0f %11.0f %9.1f %10.3f %10.1f %10.1f %10.1f\n", label, median(probes),
                    it, tot, it > 0 ? tot / it : 0.0, o, b, 100 - o - b);
    }
}
