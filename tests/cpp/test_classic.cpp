// The classic solver: the fast search against the literal reference search,
// and every answer against certificates (bounds, demands, no negative
// residual cycle) and an independent feasibility check.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "graph/min_cost_flow.hpp"
#include "mcf_problem.hpp"
#include "mcf_solution.hpp"

using namespace zelk;

namespace {

struct RawInstance {
    std::vector<std::uint32_t> tails, heads;
    std::vector<std::int64_t> lower, upper, cost, demands;
};

McfProblem to_problem(const RawInstance& r) {
    auto p = McfProblem::create(r.tails, r.heads, r.lower, r.upper, r.cost, r.demands);
    EXPECT_TRUE(p.has_value());
    return std::move(*p);
}

// Random instance with many ties: tiny costs, parallel edges, self-loops,
// lower bounds, and optionally negative costs (which may form cycles).
RawInstance random_instance(std::mt19937_64& rng, bool negative_costs, int max_n = 9) {
    RawInstance r;
    const auto n = static_cast<std::uint32_t>(std::uniform_int_distribution<int>(1, max_n)(rng));
    const int m = std::uniform_int_distribution<int>(0, static_cast<int>(n) * 3)(rng);
    std::uniform_int_distribution<std::uint32_t> node(0, n - 1);
    std::uniform_int_distribution<int> small(0, 2);
    for (int i = 0; i < m; ++i) {
        r.tails.push_back(node(rng));
        r.heads.push_back(rng() % 5 == 0 ? r.tails.back() : node(rng));
        const std::int64_t lo = rng() % 4 == 0 ? small(rng) - 1 : 0;
        r.lower.push_back(lo);
        r.upper.push_back(lo + std::uniform_int_distribution<int>(0, 4)(rng));
        r.cost.push_back(negative_costs ? small(rng) * 2 - 2 + small(rng) : small(rng));
    }
    r.demands.assign(n, 0);
    const int moves = std::uniform_int_distribution<int>(0, static_cast<int>(n))(rng);
    for (int k = 0; k < moves; ++k) {
        const auto a = node(rng), b = node(rng);
        const int amount = small(rng) + 1;
        r.demands[a] -= amount;
        r.demands[b] += amount;
    }
    return r;
}

// The solver's own reduction (lower bounds away, super source and sink),
// built independently so both searches can run on identical graphs.
struct Reduced {
    MinCostFlow mcf{0};
    std::size_t source = 0, sink = 0;
    std::int64_t required = 0;
};

Reduced reduce(const RawInstance& r) {
    const std::size_t n = r.demands.size();
    Reduced red{MinCostFlow(n + 2), n, n + 1, 0};
    std::vector<std::int64_t> balance = r.demands;
    for (std::size_t i = 0; i < r.tails.size(); ++i) {
        balance[r.tails[i]] += r.lower[i];
        balance[r.heads[i]] -= r.lower[i];
        red.mcf.add_edge(r.tails[i], r.heads[i], r.upper[i] - r.lower[i], r.cost[i]);
    }
    for (std::size_t v = 0; v < n; ++v) {
        if (balance[v] > 0) red.mcf.add_edge(v, red.sink, balance[v], 0);
        if (balance[v] < 0) {
            red.mcf.add_edge(red.source, v, -balance[v], 0);
            red.required -= balance[v];
        }
    }
    return red;
}

// Bellman-Ford over the residual graph of an integral flow: true when a
// cycle of negative cost with spare capacity exists.
bool residual_has_negative_cycle(const RawInstance& r, const std::vector<std::int64_t>& flow) {
    const std::size_t n = r.demands.size();
    struct Arc {
        std::size_t from, to;
        std::int64_t cost;
    };
    std::vector<Arc> arcs;
    for (std::size_t i = 0; i < flow.size(); ++i) {
        if (flow[i] < r.upper[i]) arcs.push_back({r.tails[i], r.heads[i], r.cost[i]});
        if (flow[i] > r.lower[i]) arcs.push_back({r.heads[i], r.tails[i], -r.cost[i]});
    }
    std::vector<std::int64_t> dist(n, 0);
    for (std::size_t round = 0; round <= n; ++round) {
        bool changed = false;
        for (const Arc& a : arcs) {
            if (dist[a.from] + a.cost < dist[a.to]) {
                dist[a.to] = dist[a.from] + a.cost;
                changed = true;
            }
        }
        if (!changed) return false;
    }
    return true;
}

// Independent feasibility test: plain BFS augmenting paths on the reduction.
bool feasible(const RawInstance& r) {
    const std::size_t n = r.demands.size() + 2;
    const std::size_t s = n - 2, t = n - 1;
    std::vector<std::vector<std::int64_t>> cap(n, std::vector<std::int64_t>(n, 0));
    std::vector<std::int64_t> balance = r.demands;
    for (std::size_t i = 0; i < r.tails.size(); ++i) {
        balance[r.tails[i]] += r.lower[i];
        balance[r.heads[i]] -= r.lower[i];
        if (r.tails[i] != r.heads[i]) cap[r.tails[i]][r.heads[i]] += r.upper[i] - r.lower[i];
    }
    std::int64_t need = 0;
    for (std::size_t v = 0; v + 2 < n; ++v) {
        if (balance[v] > 0) cap[v][t] += balance[v];
        if (balance[v] < 0) {
            cap[s][v] -= balance[v];
            need -= balance[v];
        }
    }
    std::int64_t sent = 0;
    while (true) {
        std::vector<std::size_t> prev(n, n);
        std::vector<std::size_t> queue{s};
        prev[s] = s;
        for (std::size_t q = 0; q < queue.size(); ++q) {
            for (std::size_t v = 0; v < n; ++v) {
                if (prev[v] == n && cap[queue[q]][v] > 0) {
                    prev[v] = queue[q];
                    queue.push_back(v);
                }
            }
        }
        if (prev[t] == n) break;
        std::int64_t f = std::numeric_limits<std::int64_t>::max();
        for (std::size_t v = t; v != s; v = prev[v]) f = std::min(f, cap[prev[v]][v]);
        for (std::size_t v = t; v != s; v = prev[v]) {
            cap[prev[v]][v] -= f;
            cap[v][prev[v]] += f;
        }
        sent += f;
    }
    return sent == need;
}

void expect_feasible_flow(const RawInstance& r, const std::vector<std::int64_t>& flow) {
    std::vector<std::int64_t> net(r.demands.size(), 0);
    for (std::size_t i = 0; i < flow.size(); ++i) {
        EXPECT_LE(r.lower[i], flow[i]);
        EXPECT_LE(flow[i], r.upper[i]);
        net[r.heads[i]] += flow[i];
        net[r.tails[i]] -= flow[i];
    }
    EXPECT_EQ(net, r.demands);
}

}  // namespace

TEST(MinCostFlow, FastSearchMatchesReferenceOnTies) {
    std::mt19937_64 rng(20261206);
    int searched = 0;
    for (int trial = 0; trial < 400; ++trial) {
        // Costs c(u,v) - p(u) + p(v) with c >= 0 can be negative but leave
        // no negative cycle, which keeps the fast search in play.
        RawInstance r = random_instance(rng, false, trial % 3 == 0 ? 40 : 9);
        if (trial % 2 == 1) {
            std::vector<std::int64_t> p(r.demands.size());
            for (auto& x : p) x = static_cast<std::int64_t>(rng() % 3);
            for (std::size_t i = 0; i < r.cost.size(); ++i)
                r.cost[i] += p[r.heads[i]] - p[r.tails[i]];
        }
        Reduced fast = reduce(r), ref = reduce(r);
        ASSERT_FALSE(fast.mcf.has_negative_cycle());
        auto a = fast.mcf.min_cost_flow(fast.source, fast.sink, fast.required);
        auto b = ref.mcf.min_cost_flow_reference(ref.source, ref.sink, ref.required);
        ASSERT_EQ(a.has_value(), b.has_value()) << "trial " << trial;
        if (!a) {
            EXPECT_EQ(a.error(), b.error());
            continue;
        }
        ++searched;
        EXPECT_TRUE(*a == *b) << "trial " << trial;
        for (std::size_t u = 0; u < fast.mcf.graph.size(); ++u) {
            for (std::size_t k = 0; k < fast.mcf.graph[u].size(); ++k) {
                ASSERT_EQ(fast.mcf.graph[u][k].cap, ref.mcf.graph[u][k].cap)
                    << "trial " << trial << " node " << u << " arc " << k;
            }
        }
    }
    EXPECT_GT(searched, 100);
    // Nothing to send, or source and sink alike: nothing to do.
    MinCostFlow g(3);
    g.add_edge(0, 1, 5, 2);
    EXPECT_EQ(g.min_cost_flow(0, 2, 0).value(), 0);
    EXPECT_EQ(g.min_cost_flow(2, 2, 7).value(), 0);
    EXPECT_EQ(g.min_cost_flow(0, 2, 1).error(), McfError::infeasible());
}

TEST(ClassicSolver, OptimalOnRandomInstancesIncludingNegativeCycles) {
    std::mt19937_64 rng(7);
    int solved = 0, infeasible = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const RawInstance r = random_instance(rng, trial % 2 == 0);
        const McfProblem p = to_problem(r);
        auto sol = solve_classic_with_mode(p, SolverMode::ClassicFallback);
        if (!sol) {
            ASSERT_TRUE(sol.error().is_infeasible()) << sol.error().to_string();
            EXPECT_FALSE(feasible(r)) << "trial " << trial;
            ++infeasible;
            continue;
        }
        ++solved;
        EXPECT_TRUE(feasible(r));
        EXPECT_EQ(sol->solver_mode, SolverMode::ClassicFallback);
        EXPECT_FALSE(sol->ipm_summary.has_value());
        expect_feasible_flow(r, sol->flow);
        EXPECT_FALSE(residual_has_negative_cycle(r, sol->flow)) << "trial " << trial;
        Int128 cost = 0;
        for (std::size_t i = 0; i < r.cost.size(); ++i) cost += Int128{r.cost[i]} * sol->flow[i];
        EXPECT_TRUE(cost == sol->cost);
    }
    EXPECT_GT(solved, 110);
    EXPECT_GT(infeasible, 13);
}

// Exact answers at the ends of the 64-bit range, tie and self-loop rules,
// and overflow reported instead of wrapped.
TEST(ClassicSolver, ExactCasesAndReportedOverflow) {
    constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t p59 = std::int64_t{1} << 59, p62 = std::int64_t{1} << 62;
    const std::vector<std::int64_t> big(4, hi);
    struct Case {
        RawInstance instance;
        std::vector<std::int64_t> flow;  // empty: `error` expected
        std::string error;
    };
    const Case cases[] = {
        // Nothing to route; a forced flow with nowhere to go, then with demands.
        {{{0, 1}, {1, 2}, {0, 0}, {3, 3}, {5, -2}, {0, 0, 0}}, {0, 0}, ""},
        {{{0}, {1}, {3}, {3}, {1}, {0, 0}}, {}, "Infeasible"},
        {{{0}, {1}, {3}, {3}, {1}, {-3, 3}}, {3}, ""},
        // Equal-cost paths: the first in scan order carries the flow.
        {{{0, 0, 1, 2}, {1, 2, 3, 3}, {0, 0, 0, 0}, {5, 5, 5, 5}, {1, 1, 1, 1}, {-2, 0, 0, 2}},
         {2, 0, 2, 0},
         ""},
        // A negative self-loop with spare capacity is saturated.
        {{{0, 0}, {0, 1}, {0, 0}, {4, 9}, {-1, 2}, {-1, 1}}, {4, 1}, ""},
        // A shortest path of cost 2^60 - 1, and one of two arcs of 2^59.
        {{{0}, {1}, {0}, {1}, {2 * p59 - 1}, {-1, 1}}, {1}, ""},
        {{{0, 1}, {1, 2}, {0, 0}, {1, 1}, {p59, p59}, {-1, 0, 1}}, {1, 1}, ""},
        // A negative cycle of cost -2^63 and a self-loop of cost -2^62.
        {{{0, 1}, {1, 0}, {0, 0}, {1, 1}, {-p62, -p62}, {0, 0}}, {1, 1}, ""},
        {{{0}, {0}, {0}, {1}, {-p62}, {0}}, {1}, ""},
        // A cost of -2^63, whose reverse arc costs +2^63.
        {{{0, 1}, {1, 0}, {0, 0}, {1, 1}, {lo, 5}, {-1, 1}}, {1, 0}, ""},
        {{{0, 1}, {1, 0}, {0, 0}, {1, 1}, {lo, lo}, {0, 0}}, {1, 1}, ""},
        // The widest range, balances, supplies and the total cost out of range.
        {{{0}, {1}, {lo}, {hi}, {0}, {0, 0}}, {}, R"(InvalidInput("negative residual capacity"))"},
        {{{0, 0}, {1, 1}, {hi, hi}, {hi, hi}, {0, 0}, {0, 0}},
         {},
         R"(InvalidInput("node balance overflow"))"},
        {{{0, 1}, {2, 3}, {0, 0}, {hi, hi}, {0, 0}, {-hi, -hi, hi, hi}},
         {},
         R"(InvalidInput("total supply overflow"))"},
        {{{0, 1, 0, 1}, {1, 0, 1, 0}, big, big, big, {0, 0}},
         {},
         R"(InvalidInput("total cost overflow"))"},
    };
    for (const Case& c : cases) {
        auto sol = solve_classic_with_mode(to_problem(c.instance), SolverMode::Classic);
        if (c.flow.empty()) {
            ASSERT_FALSE(sol.has_value()) << c.error;
            EXPECT_EQ(sol.error().to_string(), c.error);
            continue;
        }
        ASSERT_TRUE(sol.has_value()) << sol.error().to_string();
        EXPECT_EQ(sol->flow, c.flow);
        Int128 cost = 0;
        for (std::size_t i = 0; i < c.flow.size(); ++i)
            cost += Int128{c.instance.cost[i]} * c.flow[i];
        EXPECT_TRUE(cost == sol->cost);
    }
}
