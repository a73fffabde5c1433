// The exact engines behind the classic route (network simplex, cost-scaling
// push-relabel): their optimal costs and feasibility verdicts against the
// successive-shortest-path search on the same instances, their potentials as
// an optimality certificate on every answer, the edge-count rule that picks
// the search, and determinism.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <random>

#include "graph/cost_scaling.hpp"
#include "graph/network_simplex.hpp"
#include "mcf_problem.hpp"
#include "mcf_solution.hpp"
#include "random_flow_instances.hpp"

using namespace zelk;
using zelk::testing::FlowInstance;
using zelk::testing::make_problem;

namespace {

struct Shape {
    int max_nodes = 8;
    int edges_per_node = 3;
    std::int64_t cost_lo = 0, cost_hi = 2;
    std::int64_t cap_hi = 5;
    std::int64_t flow_scale = 1;  // multiplies bounds and demands
    std::int64_t cost_scale = 1;  // multiplies costs
    bool isolated = false;        // leave the last few nodes without edges
    bool plant_flow = true;       // demands from a random flow: feasible
};

// Random instances with many ties: parallel edges, self-loops, lower bounds
// (some negative), costs in [cost_lo, cost_hi] (negative cycles when
// cost_lo < 0), demands either planted (feasible) or random (often not).
FlowInstance random_instance(std::mt19937_64& rng, const Shape& s) {
    FlowInstance r;
    const auto n =
        static_cast<std::uint32_t>(std::uniform_int_distribution<int>(1, s.max_nodes)(rng));
    const std::uint32_t live = s.isolated && n > 3 ? n - 2 : n;
    const int m =
        std::uniform_int_distribution<int>(0, static_cast<int>(live) * s.edges_per_node)(rng);
    // Two components most of the time: edges stay on one side of a cut.
    const std::uint32_t cut = rng() % 3 == 0 ? live : std::max<std::uint32_t>(1, live / 2);
    std::uniform_int_distribution<std::int64_t> cost(s.cost_lo, s.cost_hi);
    for (int i = 0; i < m; ++i) {
        const bool low_side = cut == live || rng() % 2 == 0;
        const std::uint32_t base = low_side ? 0 : cut;
        const std::uint32_t span = low_side ? cut : live - cut;
        const std::uint32_t t = base + static_cast<std::uint32_t>(rng() % span);
        const std::uint32_t h =
            rng() % 6 == 0 ? t : base + static_cast<std::uint32_t>(rng() % span);
        const std::int64_t lo = rng() % 3 == 0 ? std::uniform_int_distribution<int>(-3, 2)(rng) : 0;
        const std::int64_t up = lo + std::uniform_int_distribution<std::int64_t>(0, s.cap_hi)(rng);
        r.tails.push_back(t);
        r.heads.push_back(h);
        r.lower.push_back(lo * s.flow_scale);
        r.upper.push_back(up * s.flow_scale);
        r.cost.push_back(cost(rng) * s.cost_scale);
        r.witness.push_back(std::uniform_int_distribution<std::int64_t>(lo, up)(rng) *
                            s.flow_scale);
    }
    r.demands.assign(n, 0);
    if (s.plant_flow) {
        for (int i = 0; i < m; ++i) {
            r.demands[r.tails[i]] -= r.witness[i];
            r.demands[r.heads[i]] += r.witness[i];
        }
    } else {
        for (int k = 0; k < static_cast<int>(n); ++k) {
            const std::int64_t amount =
                std::uniform_int_distribution<int>(1, 4)(rng) * s.flow_scale;
            r.demands[rng() % n] -= amount;
            r.demands[rng() % n] += amount;
        }
    }
    return r;
}

// Bounds, demands and the potentials' reduced-cost conditions, exactly.
template <class Solution>  // McfSolution or ClassicSolution
void expect_certified(const FlowInstance& r, const Solution& sol) {
    ASSERT_EQ(sol.flow.size(), r.tails.size());
    ASSERT_EQ(sol.potentials.size(), r.demands.size());
    std::vector<Int128> net(r.demands.size(), 0);
    Int128 cost = 0;
    for (std::size_t i = 0; i < r.tails.size(); ++i) {
        const std::int64_t f = sol.flow[i];
        EXPECT_LE(r.lower[i], f);
        EXPECT_LE(f, r.upper[i]);
        net[r.heads[i]] += f;
        net[r.tails[i]] -= f;
        cost += Int128{r.cost[i]} * f;
        const Int128 rc =
            Int128{r.cost[i]} + sol.potentials[r.tails[i]] - sol.potentials[r.heads[i]];
        if (rc > 0) {
            EXPECT_EQ(f, r.lower[i]) << "edge " << i;
        } else if (rc < 0) {
            EXPECT_EQ(f, r.upper[i]) << "edge " << i;
        }
    }
    for (std::size_t v = 0; v < net.size(); ++v)
        EXPECT_TRUE(net[v] == r.demands[v]) << "node " << v;
    EXPECT_TRUE(cost == sol.cost);
}

using Engine = McfResult<ClassicSolution> (*)(const McfProblem&, const SolveContext&);

// Runs an engine and the path search; equal verdicts and costs, certificate
// on the engine's answer. Returns true when the instance was solved.
bool compare_searches(const FlowInstance& r, int trial, Engine engine = &solve_classic_by_simplex) {
    const McfProblem p = r.problem();
    auto simplex = engine(p, SolveContext::none());
    auto paths = solve_classic_by_paths(p);
    if (simplex) expect_certified(r, *simplex);
    if (!paths && paths.error().is_invalid_input() &&
        paths.error().message() == "negative-cost cycle in residual graph") {
        return simplex.has_value();  // a limit of the path search, not of the instance
    }
    EXPECT_EQ(simplex.has_value(), paths.has_value()) << "trial " << trial;
    if (!simplex || !paths) {
        if (!simplex && !paths) {
            EXPECT_EQ(simplex.error(), paths.error()) << "trial " << trial;
        }
        return false;
    }
    EXPECT_TRUE(simplex->cost == paths->cost) << "trial " << trial;
    return true;
}

const Shape RANDOM_SHAPES[] = {
    {},                             // non-negative costs
    {.cost_lo = -3, .cost_hi = 3},  // negative cycles
    {.max_nodes = 12, .cost_lo = -2, .cost_hi = 2, .isolated = true},
    {.cost_lo = -3, .cost_hi = 3, .plant_flow = false},  // often infeasible
    {.max_nodes = 40, .edges_per_node = 4, .cost_lo = -5, .cost_hi = 20, .cap_hi = 30},
};

void expect_matches_path_search(Engine engine, int trials) {
    std::mt19937_64 rng(1207);
    int solved = 0, infeasible = 0;
    for (int trial = 0; trial < trials; ++trial) {
        const FlowInstance r =
            random_instance(rng, RANDOM_SHAPES[trial % std::size(RANDOM_SHAPES)]);
        if (compare_searches(r, trial, engine)) {
            ++solved;
        } else {
            ++infeasible;
        }
    }
    EXPECT_GT(solved, trials / 2);
    EXPECT_GT(infeasible, trials / 16);
}

}  // namespace

TEST(NetworkSimplex, MatchesPathSearchOnRandomInstances) {
    expect_matches_path_search(&solve_classic_by_simplex, 2500);
}

TEST(CostScalingEngine, MatchesPathSearchOnRandomInstances) {
    expect_matches_path_search(&solve_classic_by_cost_scaling, 1000);
}

// Long distances between supply and demand: excess walks many arcs, dead-end
// nodes (no arc out) sit on the way, and tight capacities make some
// instances infeasible.
TEST(CostScalingEngine, MatchesPathSearchOnGrids) {
    std::mt19937_64 rng(1313);
    int solved = 0;
    for (int trial = 0; trial < 16; ++trial) {
        const auto side = static_cast<std::uint32_t>(6 + trial % 9);
        FlowInstance r;
        const std::uint32_t n = side * side;
        auto arc = [&](std::uint32_t t, std::uint32_t h) {
            if (rng() % 20 == 0) return;
            r.tails.push_back(t);
            r.heads.push_back(h);
            r.lower.push_back(0);
            r.upper.push_back(static_cast<std::int64_t>(rng() % 30) + (trial % 4 == 0 ? 0 : 20));
            r.cost.push_back(static_cast<std::int64_t>(rng() % 30) + 1);
            r.witness.push_back(0);
        };
        for (std::uint32_t v = 0; v < n; ++v) {
            if (v % side + 1 < side) arc(v, v + 1);
            if (v + side < n) arc(v, v + side);
            if (rng() % 3 == 0 && v % side > 0) arc(v, v - 1);
        }
        r.demands.assign(n, 0);
        for (int k = 0; k < 6; ++k) {
            const std::int64_t amount = static_cast<std::int64_t>(rng() % 4) + 1;
            r.demands[rng() % side] -= amount;
            r.demands[n - 1 - rng() % side] += amount;
        }
        solved += compare_searches(r, trial, &solve_classic_by_cost_scaling);
    }
    EXPECT_GT(solved, 4);
}

// Grids of eight-neighbour arcs with planted flow from one corner block to
// the opposite one: large enough that the early optimality checks meet
// negative cycles and cancel them; the answer must stay exact and certified.
TEST(CostScalingEngine, EarlyChecksCancelCyclesExactly) {
    std::mt19937_64 rng(2024);
    constexpr int DR[] = {0, 1, 0, -1, 1, 1, -1, -1}, DC[] = {1, 0, -1, 0, 1, -1, 1, -1};
    std::uint64_t cancelled = 0;
    for (int trial = 0; trial < 6; ++trial) {
        constexpr int SIDE = 32, BLOCK = 4;
        FlowInstance r;
        std::vector<int> arc_of(SIDE * SIDE * 8, -1);
        for (int v = 0; v < SIDE * SIDE; ++v) {
            for (int d = 0; d < 8; ++d) {
                const int row = v / SIDE + DR[d], col = v % SIDE + DC[d];
                if (row < 0 || row >= SIDE || col < 0 || col >= SIDE) continue;
                arc_of[v * 8 + d] = static_cast<int>(r.tails.size());
                r.tails.push_back(static_cast<std::uint32_t>(v));
                r.heads.push_back(static_cast<std::uint32_t>(row * SIDE + col));
                r.lower.push_back(0);
                r.upper.push_back(50 + static_cast<std::int64_t>(rng() % 451));
                r.cost.push_back(1 + static_cast<std::int64_t>(rng() % 100));
                r.witness.push_back(0);
            }
        }
        r.demands.assign(SIDE * SIDE, 0);
        for (int path = 0; path < 3 * SIDE; ++path) {
            int row = static_cast<int>(rng() % BLOCK), col = static_cast<int>(rng() % BLOCK);
            const int to_row = SIDE - 1 - static_cast<int>(rng() % BLOCK);
            const int to_col = SIDE - 1 - static_cast<int>(rng() % BLOCK);
            const std::int64_t amount = 10 + static_cast<std::int64_t>(rng() % 91);
            r.demands[row * SIDE + col] -= amount;
            r.demands[to_row * SIDE + to_col] += amount;
            while (row != to_row || col != to_col) {
                // Right, down or diagonal, as far as the target allows.
                int d = row == to_row ? 0 : col == to_col ? 1 : std::array{0, 1, 4}[rng() % 3];
                const int i = arc_of[(row * SIDE + col) * 8 + d];
                r.witness[i] += amount;
                r.upper[i] = std::max(r.upper[i], r.witness[i]);
                row += DR[d];
                col += DC[d];
            }
        }
        const McfProblem p = r.problem();
        auto simplex = solve_classic_by_simplex(p, SolveContext::none());
        auto scaled = solve_classic_by_cost_scaling(p, SolveContext::none());
        ASSERT_TRUE(simplex && scaled);
        expect_certified(r, *scaled);
        EXPECT_TRUE(scaled->cost == simplex->cost) << "trial " << trial;
        auto direct = cost_scaling(p.node_count(), r.tails, r.heads, r.upper, r.cost, r.demands);
        ASSERT_TRUE(direct && direct->has_value());
        cancelled += (*direct)->cycles_cancelled;
        // 64-bit arc records take the very same steps.
        auto wide = cost_scaling(p.node_count(), r.tails, r.heads, r.upper, r.cost, r.demands,
                                 SolveContext::none(), {.compact_arcs = false});
        ASSERT_TRUE(wide && wide->has_value());
        EXPECT_EQ((*wide)->flow, (*direct)->flow);
        EXPECT_EQ((*wide)->potentials, (*direct)->potentials);
        EXPECT_EQ((*wide)->relabels, (*direct)->relabels);
        EXPECT_EQ((*wide)->cycles_cancelled, (*direct)->cycles_cancelled);
    }
    EXPECT_GT(cancelled, 0U);
}

// The optimality check tried after every phase meets many negative cycles
// on flows far from optimal; whenever it settles, its potentials must
// certify the flow it leaves.
TEST(CostScalingEngine, ChecksAfterEveryPhaseStayExact) {
    std::mt19937_64 rng(77);
    std::uint64_t cancelled = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const auto n = static_cast<std::uint32_t>(2 + rng() % 60);
        const int m = static_cast<int>(n) * static_cast<int>(1 + rng() % 5);
        std::vector<std::uint32_t> tails, heads;
        std::vector<std::int64_t> cap, cost, balance(n, 0);
        for (int i = 0; i < m; ++i) {
            const auto t = static_cast<std::uint32_t>(rng() % n);
            tails.push_back(t);
            heads.push_back(rng() % 8 == 0 ? t : static_cast<std::uint32_t>(rng() % n));
            cap.push_back(static_cast<std::int64_t>(rng() % 40));
            cost.push_back(static_cast<std::int64_t>(rng() % 201) - 60);
            const auto witness = static_cast<std::int64_t>(rng() % (cap.back() + 1));
            balance[tails.back()] -= witness;
            balance[heads.back()] += witness;
        }
        auto checked = cost_scaling(n, tails, heads, cap, cost, balance, SolveContext::none(),
                                    {.check_every_phase = true});
        auto plain = cost_scaling(n, tails, heads, cap, cost, balance);
        ASSERT_TRUE(checked && checked->has_value() && plain && plain->has_value());
        const CostScalingResult& r = **checked;
        cancelled += r.cycles_cancelled;
        std::vector<std::int64_t> net(n, 0);
        Int128 total = 0, plain_total = 0;
        for (int i = 0; i < m; ++i) {
            const std::int64_t f = r.flow[i];
            ASSERT_TRUE(0 <= f && f <= cap[i]) << "trial " << trial;
            net[tails[i]] -= f;
            net[heads[i]] += f;
            total += Int128{cost[i]} * f;
            plain_total += Int128{cost[i]} * (*plain)->flow[i];
            const Int128 rc = Int128{cost[i]} + r.potentials[tails[i]] - r.potentials[heads[i]];
            if (rc > 0) {
                EXPECT_EQ(f, 0) << "trial " << trial << " edge " << i;
            } else if (rc < 0) {
                EXPECT_EQ(f, cap[i]) << "trial " << trial << " edge " << i;
            }
        }
        EXPECT_EQ(net, balance) << "trial " << trial;
        EXPECT_TRUE(total == plain_total) << "trial " << trial;
    }
    EXPECT_GT(cancelled, 100U);
}

TEST(CostScalingEngine, LargeValuesInRangeAndFallbackBeyond) {
    std::mt19937_64 rng(56);
    int solved = 0;
    for (int trial = 0; trial < 400; ++trial) {
        Shape s{.max_nodes = 6, .edges_per_node = 2, .cost_lo = -3, .cost_hi = 3, .cap_hi = 2};
        // Bounds and demands near 2^54 stay within the engine's own range,
        // near 2^58 its capacity sums leave it; costs near 2^50 overflow its
        // scaled prices; capacities and scaled costs around 2^31 straddle
        // its compact arc records. Either way the answer is exact and
        // certified.
        const int kind = trial % 4;
        const auto jitter = [&] { return static_cast<std::int64_t>(rng() % 1000); };
        s.flow_scale = kind == 0   ? (std::int64_t{1} << 54) - jitter()
                       : kind == 1 ? (std::int64_t{1} << 58) - jitter()
                       : kind == 3 ? (std::int64_t{1} << 30) + jitter()
                                   : 1;
        s.cost_scale = kind == 2   ? (std::int64_t{1} << 50) + jitter()
                       : kind == 3 ? (std::int64_t{1} << 28) - jitter()
                                   : 1;
        solved += compare_searches(random_instance(rng, s), trial, &solve_classic_by_cost_scaling);
    }
    EXPECT_GT(solved, 100);

    // Out of range up front: the engine itself declines.
    const std::vector<std::uint32_t> tails{0, 1}, heads{1, 0};
    const std::vector<std::int64_t> cap{1, 1}, balance{-1, 1};
    const std::vector<std::int64_t> huge_cost{std::int64_t{1} << 60, 0};
    auto declined = cost_scaling(2, tails, heads, cap, huge_cost, balance);
    ASSERT_TRUE(declined);
    EXPECT_FALSE(declined->has_value());
    const std::vector<std::int64_t> small_cost{-3, 2};
    auto answered = cost_scaling(2, tails, heads, cap, small_cost, balance);
    ASSERT_TRUE(answered && answered->has_value());
    EXPECT_EQ((*answered)->flow, (std::vector<std::int64_t>{1, 0}));
}

TEST(NetworkSimplex, ExactNearTheEndsOfThe64BitRange) {
    std::mt19937_64 rng(62);
    int solved = 0;
    for (int trial = 0; trial < 600; ++trial) {
        Shape s{.max_nodes = 6, .edges_per_node = 2, .cost_lo = -3, .cost_hi = 3, .cap_hi = 2};
        if (trial % 2 == 0) {
            // Bounds and demands near 2^62 (sums of a few stay in range):
            // both searches, equal costs.
            s.flow_scale = (std::int64_t{1} << 58) - static_cast<std::int64_t>(rng() % 1000);
            solved += compare_searches(random_instance(rng, s), trial);
        } else {
            // Costs near +-2^62 mixed with small ones: potentials and reduced
            // costs need 128 bits. The planted flow makes it feasible; the
            // certificate proves the answer optimal.
            s.cost_lo = -1;
            s.cost_hi = 1;
            s.cost_scale = (std::int64_t{1} << 62) - static_cast<std::int64_t>(rng() % 1000);
            FlowInstance r = random_instance(rng, s);
            for (auto& c : r.cost) c = rng() % 2 ? c : static_cast<std::int64_t>(rng() % 7) - 3;
            auto sol = solve_classic_by_simplex(r.problem());
            if (!sol && sol.error().message() == "total cost overflow") continue;
            ASSERT_TRUE(sol) << sol.error().to_string();
            expect_certified(r, *sol);
        }
    }
    EXPECT_GT(solved, 150);

    // The largest costs on a long path: M and the potentials leave 64 bits.
    const std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    const std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    FlowInstance chain;
    const std::uint32_t n = 6;
    for (std::uint32_t v = 0; v + 1 < n; ++v) {
        chain.tails.push_back(v);
        chain.heads.push_back(v + 1);
        chain.lower.push_back(0);
        chain.upper.push_back(1);
        chain.cost.push_back(v % 2 ? hi : lo);
    }
    chain.tails.push_back(0);
    chain.heads.push_back(n - 1);
    chain.lower.push_back(0);
    chain.upper.push_back(1);
    chain.cost.push_back(hi);
    chain.demands.assign(n, 0);
    chain.demands[0] = -2;
    chain.demands[n - 1] = 2;
    auto sol = solve_classic_by_simplex(chain.problem());
    ASSERT_TRUE(sol) << sol.error().to_string();
    expect_certified(chain, *sol);
}

TEST(NetworkSimplex, EdgeCasesAndFailures) {
    for (const Engine engine : {&solve_classic_by_simplex, &solve_classic_by_cost_scaling}) {
        const std::int64_t hi = std::numeric_limits<std::int64_t>::max();
        auto run = [engine](const McfProblem& p) { return engine(p, SolveContext::none()); };
        // No nodes, no edges; isolated nodes with zero demand.
        auto empty = run(make_problem({}, {}, {}, {}, {}, {}));
        ASSERT_TRUE(empty);
        EXPECT_TRUE(empty->flow.empty() && empty->potentials.empty());
        auto isolated = run(make_problem({}, {}, {}, {}, {}, {0, 0, 0}));
        ASSERT_TRUE(isolated);
        EXPECT_EQ(isolated->potentials.size(), 3u);
        // A negative self-loop runs at its upper bound, a positive one at its lower.
        auto loops = run(make_problem({0, 0}, {0, 0}, {-2, 1}, {5, 4}, {-1, 1}, {0}));
        ASSERT_TRUE(loops);
        EXPECT_EQ(loops->flow, (std::vector<std::int64_t>{5, 1}));
        // The reduction's checks are shared with the path search.
        const std::int64_t min = std::numeric_limits<std::int64_t>::min();
        EXPECT_EQ(run(make_problem({0}, {1}, {min}, {hi}, {0}, {0, 0})).error().message(),
                  "negative residual capacity");
        EXPECT_EQ(
            run(make_problem({0, 0}, {1, 1}, {hi, hi}, {hi, hi}, {0, 0}, {0, 0})).error().message(),
            "node balance overflow");
        EXPECT_EQ(run(make_problem({0, 1}, {2, 3}, {0, 0}, {hi, hi}, {0, 0}, {-hi, -hi, hi, hi}))
                      .error()
                      .message(),
                  "total supply overflow");
        std::vector<std::int64_t> big(4, hi);
        EXPECT_EQ(
            run(make_problem({0, 1, 0, 1}, {1, 0, 1, 0}, big, big, big, {0, 0})).error().message(),
            "total cost overflow");
        // Cancellation is honoured.
        SolveContext cancelled(nullptr, nullptr, [](void*) { return true; }, nullptr);
        EXPECT_EQ(engine(make_problem({0}, {1}, {0}, {1}, {1}, {-1, 1}), cancelled).error(),
                  McfError::interrupted());
    }
}

TEST(NetworkSimplex, EdgeCountRuleAndDeterminism) {
    // Many equal-cost routes, so the two searches pick different optima.
    auto tied = [](std::size_t m) {
        std::mt19937_64 rng(m);
        FlowInstance r;
        const std::uint32_t n = 200;
        for (std::size_t i = 0; i < m; ++i) {
            r.tails.push_back(static_cast<std::uint32_t>(rng() % n));
            r.heads.push_back(static_cast<std::uint32_t>(rng() % n));
            r.lower.push_back(0);
            r.upper.push_back(static_cast<std::int64_t>(rng() % 4));
            r.cost.push_back(static_cast<std::int64_t>(rng() % 3) - 1);
            r.witness.push_back(static_cast<std::int64_t>(rng() % (r.upper.back() + 1)));
        }
        r.demands.assign(n, 0);
        for (std::size_t i = 0; i < m; ++i) {
            r.demands[r.tails[i]] -= r.witness[i];
            r.demands[r.heads[i]] += r.witness[i];
        }
        return r;
    };
    const FlowInstance small = tied(CLASSIC_SEARCH_MAX_EDGES);
    auto kept = solve_classic_with_mode(small.problem(), SolverMode::ClassicFallback);
    auto paths = solve_classic_by_paths(small.problem());
    ASSERT_TRUE(kept && paths);
    EXPECT_EQ(kept->flow, paths->flow);
    EXPECT_TRUE(kept->potentials.empty());
    EXPECT_EQ(kept->solver_mode, SolverMode::ClassicFallback);

    const FlowInstance large = tied(CLASSIC_SEARCH_MAX_EDGES + 1);
    auto engine = solve_classic_with_mode(large.problem(), SolverMode::Classic);
    auto again = solve_classic_with_mode(large.problem(), SolverMode::Classic);
    auto reference = solve_classic_by_paths(large.problem());
    ASSERT_TRUE(engine && again && reference);
    expect_certified(large, *engine);
    EXPECT_EQ(engine->flow, again->flow);
    EXPECT_TRUE(engine->potentials == again->potentials);
    EXPECT_TRUE(engine->cost == reference->cost);
    auto scaled = solve_classic_by_cost_scaling(large.problem());
    ASSERT_TRUE(scaled);
    EXPECT_EQ(engine->flow, scaled->flow);
}
