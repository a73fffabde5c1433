// Residual graphs of real-valued flows, the negative-cycle search (against
// Floyd-Warshall), cycle cancelling (against the classic solver's optimum)
// and rounding to integral flows, with every check's message.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "graph/float_graph.hpp"
#include "ipm/start_point.hpp"
#include "mcf_solution.hpp"
#include "random_flow_instances.hpp"
#include "rounding/residual_graph.hpp"
#include "rounding/rounding.hpp"

using namespace zelk;
using zelk::testing::FlowInstance;
using zelk::testing::random_flow_instance;

namespace {

McfError invalid(const char* message) { return McfError::invalid_input(message); }

Graph make_graph(
    std::vector<double> demands,
    std::initializer_list<std::tuple<std::size_t, std::size_t, double, double, double>> edges) {
    Graph g = Graph::with_demands(std::move(demands));
    for (const auto& [t, h, lo, up, c] : edges) EXPECT_TRUE(g.add_edge(t, h, lo, up, c));
    return g;
}

// Independent check: a cycle of usable arcs with negative total cost.
bool floyd_warshall_negative_cycle(const ResidualGraph& g) {
    const std::size_t n = g.node_count();
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::vector<std::vector<double>> d(n, std::vector<double>(n, inf));
    for (std::size_t u = 0; u < n; ++u) {
        for (const ResidualArc& a : g.adj(u)) {
            if (a.residual > 1e-12) d[u][a.to] = std::min(d[u][a.to], static_cast<double>(a.cost));
        }
    }
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) d[i][j] = std::min(d[i][j], d[i][k] + d[k][j]);
    for (std::size_t v = 0; v < n; ++v) {
        if (d[v][v] < 0) return true;
    }
    return false;
}

// A feasible integral flow other than the witness: least cost under random costs.
std::vector<std::int64_t> other_feasible_flow(const McfProblem& p, std::mt19937_64& rng) {
    auto costs = perturbed_costs(p.edge_count(), 0.004, rng());
    auto f =
        solve_feasible_flow_with_costs(p.node_count(), p.tails(), p.heads(), p.lower(), p.upper(),
                                       p.demands(), std::span<const std::int64_t>(*costs));
    EXPECT_TRUE(f);
    return *f;
}

std::vector<double> blend(const std::vector<std::int64_t>& a, const std::vector<std::int64_t>& b,
                          double lambda) {
    std::vector<double> x(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        x[i] = lambda * static_cast<double>(a[i]) + (1.0 - lambda) * static_cast<double>(b[i]);
    }
    return x;
}

double real_cost(const FlowInstance& inst, const std::vector<double>& x) {
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += x[i] * static_cast<double>(inst.cost[i]);
    return s;
}

void expect_feasible(const FlowInstance& inst, const std::vector<std::int64_t>& f) {
    ASSERT_EQ(f.size(), inst.lower.size());
    for (std::size_t i = 0; i < f.size(); ++i) {
        EXPECT_GE(f[i], inst.lower[i]);
        EXPECT_LE(f[i], inst.upper[i]);
    }
    for (const double b : zelk::testing::imbalance(inst, f)) EXPECT_EQ(b, 0.0);
}

}  // namespace

TEST(ResidualGraph, Checks) {
    const Graph g = make_graph({0.0, 0.0}, {{0, 1, 0.0, 4.0, 1.0}});
    EXPECT_EQ(build_residual_graph(std::vector<double>{}, g).error(),
              invalid("approximate flow length mismatch"));
    EXPECT_EQ(build_residual_graph(std::vector<double>{std::nan("")}, g).error(),
              invalid("approximate flow contains non-finite values"));
    EXPECT_EQ(build_residual_graph(std::vector<double>{-1e-11}, g).error(),
              invalid("approximate flow violates bounds"));
    EXPECT_EQ(build_residual_graph(std::vector<double>{4.0 + 1e-11}, g).error(),
              invalid("approximate flow violates bounds"));
    auto slightly_below = build_residual_graph(std::vector<double>{-1e-13}, g);
    ASSERT_TRUE(slightly_below);
    EXPECT_EQ(slightly_below->arc(1, 0).residual, 0.0);
    EXPECT_EQ(slightly_below->excess, (std::vector<double>{-1e-13, 1e-13}));
    const Graph bad_cost = make_graph({0.0, 0.0}, {{0, 1, 0.0, 4.0, 1e19}});
    EXPECT_EQ(build_residual_graph(std::vector<double>{1.0}, bad_cost).error(),
              invalid("edge cost out of range"));
    // The largest 64-bit cost survives its trip through a double.
    const Graph max_cost = make_graph({0.0, 0.0}, {{0, 1, 0.0, 4.0, 9223372036854775807.0}});
    auto r = build_residual_graph(std::vector<double>{1.0}, max_cost);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->arc(0, 0).cost, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(r->arc(1, 0).cost, std::numeric_limits<std::int64_t>::min());
}

TEST(NegativeCycles, PartnersAndSearchAgreeWithFloydWarshall) {
    std::mt19937_64 rng(9);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int found = 0;
    for (int trial = 0; trial < 120; ++trial) {
        const FlowInstance inst = random_flow_instance(rng, true);
        const McfProblem p = inst.problem();
        std::vector<double> x(inst.tails.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double lo = static_cast<double>(inst.lower[i]);
            const double up = static_cast<double>(inst.upper[i]);
            x[i] = rng() % 3 == 0 ? (rng() % 2 ? lo : up) : lo + (up - lo) * unit(rng);
        }
        auto g = build_residual_graph_from_problem(p, x);
        ASSERT_TRUE(g);
        ASSERT_EQ(g->arcs.size(), 2 * x.size());
        for (std::size_t u = 0; u < g->node_count(); ++u) {
            for (std::size_t i = 0; i < g->adj(u).size(); ++i) {
                // Partners: same edge, opposite direction and cost, pointing back.
                const ResidualArc& a = g->arc(u, i);
                const ResidualArc& b = g->arc(a.to, a.rev);
                EXPECT_TRUE(b.to == u && b.rev == i && b.edge == a.edge);
                EXPECT_TRUE(b.direction == -a.direction && b.cost == -a.cost);
                EXPECT_NEAR(a.residual + b.residual,
                            static_cast<double>(inst.upper[a.edge] - inst.lower[a.edge]), 1e-12);
            }
        }
        const auto cycle = find_negative_cycle(*g);
        ASSERT_EQ(cycle.has_value(), floyd_warshall_negative_cycle(*g)) << "trial " << trial;
        if (!cycle) continue;
        ++found;
        double cost = 0.0;
        for (std::size_t k = 0; k < cycle->size(); ++k) {
            const CycleArc c = (*cycle)[k];
            const ResidualArc& a = g->arc(c.node, c.index);
            EXPECT_GT(a.residual, 1e-12);
            // Listed against the direction of the cycle: the next arc ends at this one's tail.
            const CycleArc next = (*cycle)[(k + 1) % cycle->size()];
            EXPECT_EQ(g->arc(next.node, next.index).to, c.node);
            cost += static_cast<double>(a.cost);
        }
        EXPECT_LT(cost, 0.0);
        EXPECT_EQ(negative_cycle_cost(*g), cost);
    }
    EXPECT_GT(found, 12);
}

TEST(Rounding, NearIntegersAndFractions) {
    const McfProblem p =
        *McfProblem::create({0, 0, 0}, {1, 1, 1}, {0, 0, 0}, {3, 5, 5}, {1, 1, 1}, {-8, 8});
    auto inst = build_residual_instance(p, std::vector<double>{2.9999999995, 2.4, 2.6});
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->base_flow, (std::vector<std::int64_t>{3, 2, 2}));
    EXPECT_EQ(inst->residual_edge_ids, (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(inst->residual_caps, (std::vector<std::int64_t>{1, 1}));
    EXPECT_EQ(inst->residual_demands, (std::vector<std::int64_t>{-1, 1}));
    auto near = build_residual_instance(p, std::vector<double>{3.0000000005, 2.0000000005, 5.0});
    ASSERT_TRUE(near);
    EXPECT_EQ(near->base_flow, (std::vector<std::int64_t>{3, 2, 5}));
    EXPECT_TRUE(near->residual_edge_ids.empty());

    EXPECT_EQ(build_residual_instance(p, std::vector<double>{1.0}).error(),
              invalid("fractional flow length mismatch"));
    EXPECT_EQ(build_residual_instance(p, std::vector<double>{3.4, 2.4, 2.2}).error(),
              invalid("fractional flow violates bounds"));
    EXPECT_EQ(build_residual_instance(p, std::vector<double>{1.0, INFINITY, 2.0}).error(),
              invalid("fractional flow contains non-finite values"));
    // Above the bound by less than the tolerance: rounds onto the bound.
    const McfProblem tight = *McfProblem::create({0}, {1}, {0}, {3}, {1}, {-3, 3});
    auto on_bound = round_fractional_flow(tight, std::vector<double>{3.0 + 5e-10});
    ASSERT_TRUE(on_bound);
    EXPECT_EQ(on_bound->flow, (std::vector<std::int64_t>{3}));
    EXPECT_TRUE(on_bound->cost == 3);
}

TEST(Rounding, ChoosesTheCheaperUnitEdgeFirstOnTies) {
    auto round_two = [](std::int64_t c0, std::int64_t c1) {
        const McfProblem p = *McfProblem::create({0, 0}, {1, 1}, {0, 0}, {1, 1}, {c0, c1}, {-1, 1});
        return *round_fractional_flow(p, std::vector<double>{0.5, 0.5});
    };
    EXPECT_EQ(round_two(1, 1).flow, (std::vector<std::int64_t>{1, 0}));
    EXPECT_EQ(round_two(2, 1).flow, (std::vector<std::int64_t>{0, 1}));
    EXPECT_TRUE(round_two(2, 1).cost == 1);
}

TEST(Rounding, RoundingErrorsComeBeforeTheImbalanceCheck) {
    // The residual graph handed in must meet the demands; rounding errors come first.
    const McfProblem p = *McfProblem::create({0}, {1}, {0}, {1}, {10}, {-1, 1});
    auto unbalanced = build_residual_graph_from_problem(p, std::vector<double>{0.5});
    EXPECT_EQ(round_to_integer_flow(std::vector<double>{1.0}, p, *unbalanced).error(),
              invalid("residual demand imbalance too large"));
    EXPECT_EQ(round_to_integer_flow(std::vector<double>{2.0}, p, *unbalanced).error(),
              invalid("fractional flow violates bounds"));
    // Half a unit around a 2-cycle (cost 9.5) rounds to the empty circulation,
    // and the adjustment rounds half away from zero.
    const McfProblem loop = *McfProblem::create({0, 1}, {1, 0}, {0, 0}, {1, 1}, {19, 0}, {0, 0});
    const std::vector<double> half{0.5, 0.5};
    auto rl = round_to_integer_flow(half, loop, *build_residual_graph_from_problem(loop, half));
    ASSERT_TRUE(rl);
    EXPECT_EQ(rl->flow, (std::vector<std::int64_t>{0, 0}));
    EXPECT_EQ(rl->adjustment_cost, -10);
}

TEST(Rounding, BlendsOfFeasibleFlowsRoundToTheOptimum) {
    std::mt19937_64 rng(99);
    for (int trial = 0; trial < 100; ++trial) {
        const FlowInstance inst = random_flow_instance(rng, true);
        const McfProblem p = inst.problem();
        const std::vector<std::int64_t> other = other_feasible_flow(p, rng);
        const std::vector<double> x =
            blend(inst.witness, other, static_cast<double>(1 + rng() % 7) / 8.0);

        // Rounding alone always succeeds: the fractional flow proves the box feasible.
        auto plain = round_fractional_flow(p, x);
        ASSERT_TRUE(plain) << "trial " << trial << " " << plain.error().to_string();
        expect_feasible(inst, plain->flow);
        for (std::size_t i = 0; i < x.size(); ++i) {
            EXPECT_LE(std::abs(static_cast<double>(plain->flow[i]) - x[i]), 1.0);
        }

        auto g = build_residual_graph_from_problem(p, x);
        ASSERT_TRUE(g);
        cancel_negative_cycles(*g);
        EXPECT_FALSE(has_negative_cycle(*g));
        const Int128 optimum = solve_classic_with_mode(p, SolverMode::Classic)->cost;
        EXPECT_NEAR(real_cost(inst, g->flow), static_cast<double>(optimum), 1e-6);
        auto r = round_to_integer_flow(g->flow, p, *g);
        ASSERT_TRUE(r) << "trial " << trial << " " << r.error().to_string();
        expect_feasible(inst, r->flow);
        const Int128 c1 = *flow_cost(p, inst.witness);
        const Int128 c2 = *flow_cost(p, other);
        EXPECT_TRUE(r->cost <= std::min(c1, c2)) << "trial " << trial;
        EXPECT_TRUE(r->cost == optimum);
        ASSERT_TRUE(r->adjustment_cost);
        EXPECT_EQ(*r->adjustment_cost,
                  std::llround(static_cast<double>(r->cost) - real_cost(inst, g->flow)));
    }
}
