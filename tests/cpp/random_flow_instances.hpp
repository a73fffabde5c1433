// Seeded random min-cost-flow instances for property tests: few nodes,
// parallel edges, self-loops, lower bounds (some negative), tiny cost ranges
// (many ties, optionally negative cycles), and demands taken from a random
// integral flow, so every instance is feasible and that flow is a witness.
#pragma once

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "mcf_problem.hpp"

namespace zelk::testing {

struct FlowInstance {
    std::vector<std::uint32_t> tails, heads;
    std::vector<std::int64_t> lower, upper, cost, demands;
    std::vector<std::int64_t> witness;  // feasible integral flow

    McfProblem problem() const {
        return *McfProblem::create(tails, heads, lower, upper, cost, demands);
    }
};

// A valid instance from literal arrays (tests pass only valid ones).
inline McfProblem make_problem(std::vector<std::uint32_t> t, std::vector<std::uint32_t> h,
                               std::vector<std::int64_t> lo, std::vector<std::int64_t> up,
                               std::vector<std::int64_t> c, std::vector<std::int64_t> d) {
    return *McfProblem::create(std::move(t), std::move(h), std::move(lo), std::move(up),
                               std::move(c), std::move(d));
}

inline FlowInstance random_flow_instance(std::mt19937_64& rng, bool negative_costs,
                                         int zero_width_one_in = 0) {
    FlowInstance r;
    const auto n = static_cast<std::uint32_t>(std::uniform_int_distribution<int>(1, 7)(rng));
    const int m = std::uniform_int_distribution<int>(0, static_cast<int>(n) * 3)(rng);
    std::uniform_int_distribution<std::uint32_t> node(0, n - 1);
    for (int i = 0; i < m; ++i) {
        const std::uint32_t t = node(rng);
        const std::uint32_t h = rng() % 6 == 0 ? t : node(rng);
        const std::int64_t lo = rng() % 3 == 0 ? std::uniform_int_distribution<int>(-3, 2)(rng) : 0;
        const bool zero_width = zero_width_one_in > 0 && rng() % zero_width_one_in == 0;
        const std::int64_t up =
            lo + (zero_width ? 0 : std::uniform_int_distribution<int>(1, 5)(rng));
        const std::int64_t c = negative_costs ? std::uniform_int_distribution<int>(-3, 3)(rng)
                                              : std::uniform_int_distribution<int>(0, 2)(rng);
        const std::int64_t f = std::uniform_int_distribution<std::int64_t>(lo, up)(rng);
        r.tails.push_back(t);
        r.heads.push_back(h);
        r.lower.push_back(lo);
        r.upper.push_back(up);
        r.cost.push_back(c);
        r.witness.push_back(f);
    }
    r.demands.assign(n, 0);
    for (int i = 0; i < m; ++i) {
        r.demands[r.tails[i]] -= r.witness[i];
        r.demands[r.heads[i]] += r.witness[i];
    }
    return r;
}

// Net inflow minus demand at every node; all zero for a flow meeting the demands.
template <class Flow>
std::vector<double> imbalance(const FlowInstance& inst, const Flow& flow) {
    std::vector<double> b(inst.demands.size(), 0.0);
    for (std::size_t i = 0; i < inst.tails.size(); ++i) {
        b[inst.tails[i]] -= static_cast<double>(flow[i]);
        b[inst.heads[i]] += static_cast<double>(flow[i]);
    }
    for (std::size_t v = 0; v < b.size(); ++v) b[v] -= static_cast<double>(inst.demands[v]);
    return b;
}

}  // namespace zelk::testing
