// The interior-point start: feasible integral flows (least cost under given
// costs, negative cycles included), the half-unit push inside the bounds,
// the choice of start by the options, and every check in its order.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "ipm/start_point.hpp"
#include "mcf_problem.hpp"
#include "mcf_solution.hpp"
#include "random_flow_instances.hpp"

using namespace zelk;
using zelk::testing::FlowInstance;
using zelk::testing::random_flow_instance;

namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t P62 = std::int64_t{1} << 62;

McfError invalid(const char* message) { return McfError::invalid_input(message); }

// Independent answer to "is there a flow at least half a unit inside every
// bound?": the classic solver on the instance in half units.
bool interior_exists(const FlowInstance& inst) {
    std::vector<std::int64_t> lo, up, dem;
    for (std::size_t i = 0; i < inst.lower.size(); ++i) {
        lo.push_back(2 * inst.lower[i] + 1);
        up.push_back(2 * inst.upper[i] - 1);
    }
    for (const std::int64_t d : inst.demands) dem.push_back(2 * d);
    auto doubled = McfProblem::create(inst.tails, inst.heads, lo, up, inst.cost, dem);
    if (!doubled) return false;  // some edge has lower = upper
    return solve_classic_with_mode(*doubled, SolverMode::Classic).has_value();
}

void expect_strictly_inside(const FlowInstance& inst, const std::vector<double>& start) {
    ASSERT_EQ(start.size(), inst.lower.size());
    for (std::size_t i = 0; i < start.size(); ++i) {
        EXPECT_GE(start[i], static_cast<double>(inst.lower[i]) + 0.5);
        EXPECT_LE(start[i], static_cast<double>(inst.upper[i]) - 0.5);
    }
    for (const double b : zelk::testing::imbalance(inst, start)) EXPECT_EQ(b, 0.0);
}

}  // namespace

TEST(IpmStart, FeasibleFlowChecksInOrder) {
    const std::vector<std::uint32_t> t{0}, h{1};
    const std::vector<std::int64_t> lo{0}, up{4}, dem{-2, 2};
    const std::vector<std::int64_t> two{0, 0};
    auto run = [](std::size_t n, std::span<const std::uint32_t> tt,
                  std::span<const std::uint32_t> hh, std::span<const std::int64_t> l,
                  std::span<const std::int64_t> u, std::span<const std::int64_t> d) {
        return solve_feasible_flow_with_costs(n, tt, hh, l, u, d, std::nullopt);
    };
    // Edge arrays before demands.
    EXPECT_EQ(run(2, t, h, lo, two, std::vector<std::int64_t>{0}).error(),
              invalid("edge arrays must have identical length"));
    EXPECT_EQ(run(3, t, h, lo, up, dem).error(), invalid("demand array length mismatch"));
    EXPECT_EQ(run(2, std::vector<std::uint32_t>{2}, h, lo, up, dem).error(),
              invalid("edge endpoint outside node range"));
    EXPECT_EQ(run(2, t, h, std::vector<std::int64_t>{5}, up, dem).error(),
              invalid("lower bound exceeds upper bound"));
    EXPECT_EQ(run(2, t, h, std::vector<std::int64_t>{I64_MIN}, up, dem).error(),
              invalid("capacity overflow"));
    EXPECT_EQ(run(2, t, h, std::vector<std::int64_t>{1}, up, std::vector<std::int64_t>{I64_MAX, 0})
                  .error(),
              invalid("demand overflow"));
    EXPECT_EQ(run(2, t, h, lo, up, std::vector<std::int64_t>{-5, 5}).error(),
              McfError::infeasible());
    EXPECT_EQ(*run(2, t, h, lo, up, dem), (std::vector<std::int64_t>{2}));
}

TEST(IpmStart, PushInsideChecksInOrder) {
    auto push = [](std::int64_t lower, std::int64_t upper, std::int64_t base) {
        const McfProblem p = *McfProblem::create({0}, {0}, {lower}, {upper}, {0}, {0});
        return push_inside_strict(p, std::vector<std::int64_t>{base});
    };
    const McfProblem p = *McfProblem::create({0}, {1}, {0}, {4}, {0}, {-2, 2});
    EXPECT_EQ(push_inside_strict(p, std::vector<std::int64_t>{}).error(),
              invalid("base flow length mismatch"));
    EXPECT_EQ(push(-P62 - 1, 0, 0).error(), invalid("scaled value overflow"));
    EXPECT_EQ(push(0, P62, 0).error(), invalid("scaled value overflow"));
    EXPECT_EQ(push(-P62, -P62, -P62).error(), invalid("scaled upper overflow"));
    EXPECT_EQ(push(5, 5, 5).error(), McfError::infeasible());
    EXPECT_EQ(push(0, 4, P62).error(), invalid("scaled value overflow"));
    EXPECT_EQ(push(P62 / 2, P62 - 1, -P62).error(), invalid("delta lower overflow"));
    EXPECT_EQ(push(-P62, P62 - 1, -2).error(), invalid("delta upper overflow"));
    // Every doubled value fits, but the half-unit box is wider than 2^63.
    EXPECT_EQ(push(-P62, P62 - 1, 0).error(), invalid("capacity overflow"));
    auto wide = push(-P62 / 2, P62 / 2, 0);
    ASSERT_TRUE(wide);
    EXPECT_GE((*wide)[0], static_cast<double>(-P62 / 2) + 0.5);
    EXPECT_LE((*wide)[0], static_cast<double>(P62 / 2) - 0.5);
}

TEST(IpmStart, StartsAreHalfAUnitInsideWheneverPossible) {
    std::mt19937_64 rng(2024);
    int started = 0;
    for (int trial = 0; trial < 150; ++trial) {
        const FlowInstance inst = random_flow_instance(rng, true, 12);
        const McfProblem problem = inst.problem();
        McfOptions options;
        if (trial % 3 == 1) {
            options.cost_perturbation = 0.003;  // K = 3: costs in -3..3, cycles of negative cost
            options.seed = static_cast<std::uint64_t>(trial);
        }
        auto start = choose_start_flow(problem, options);
        ASSERT_EQ(start.has_value(), interior_exists(inst))
            << "trial " << trial << (start ? "" : start.error().to_string());
        if (!start) {
            EXPECT_EQ(start.error(), McfError::infeasible());
            continue;
        }
        ++started;
        expect_strictly_inside(inst, *start);
    }
    EXPECT_GT(started, 35);
}

TEST(IpmStart, CostedFlowsAreOptimal) {
    // Against the classic solver's optimum, negative-cost cycles included.
    std::mt19937_64 rng(77);
    for (int trial = 0; trial < 100; ++trial) {
        const FlowInstance inst = random_flow_instance(rng, true);
        const McfProblem problem = inst.problem();
        auto flow = solve_feasible_flow_with_costs(
            problem.node_count(), problem.tails(), problem.heads(), problem.lower(),
            problem.upper(), problem.demands(), problem.cost());
        ASSERT_TRUE(flow) << "trial " << trial << " " << flow.error().to_string();
        for (std::size_t i = 0; i < flow->size(); ++i) {
            EXPECT_GE((*flow)[i], inst.lower[i]);
            EXPECT_LE((*flow)[i], inst.upper[i]);
        }
        for (const double b : zelk::testing::imbalance(inst, *flow)) EXPECT_EQ(b, 0.0);
        auto classic = solve_classic_with_mode(problem, SolverMode::Classic);
        ASSERT_TRUE(classic);
        EXPECT_TRUE(*flow_cost(problem, *flow) == classic->cost) << "trial " << trial;
    }
}

TEST(IpmStart, InitialFlowIsCheckedThenPushedInside) {
    // 0 -> 1 -> 2 and 0 -> 2, all [0, 4]; 3 units from 0 to 2.
    const FlowInstance inst{{0, 1, 0}, {1, 2, 2}, {0, 0, 0}, {4, 4, 4}, {1, 1, 1}, {-3, 0, 3}, {}};
    const McfProblem problem = inst.problem();
    auto with_flow = [&](std::vector<std::int64_t> f) {
        McfOptions o;
        o.initial_flow = std::move(f);
        o.cost_perturbation = 1.0;  // ignored when an initial flow is given
        return choose_start_flow(problem, o);
    };
    // Length first, even when the entries would break bounds too.
    EXPECT_EQ(with_flow({9, 9}).error(), invalid("initial flow length mismatch"));
    EXPECT_EQ(with_flow({1, 1, 5}).error(), invalid("initial flow violates bounds"));
    EXPECT_EQ(with_flow({-1, -1, 4}).error(), invalid("initial flow violates bounds"));
    EXPECT_EQ(with_flow({1, 1, 1}).error(), invalid("initial flow violates demands"));
    auto start = with_flow({1, 1, 2});
    ASSERT_TRUE(start);
    expect_strictly_inside(inst, *start);

    const McfProblem huge =
        *McfProblem::create({0, 1}, {2, 2}, {0, 0}, {I64_MAX, I64_MAX}, {0, 0}, {0, 0, 0});
    McfOptions o;
    o.initial_flow = std::vector<std::int64_t>{I64_MAX, I64_MAX};
    EXPECT_EQ(choose_start_flow(huge, o).error(), invalid("balance overflow"));
}

TEST(IpmStart, PerturbedCosts) {
    auto small = perturbed_costs(2000, 0.0005, 42);
    ASSERT_TRUE(small);
    std::set<std::int64_t> seen(small->begin(), small->end());
    EXPECT_EQ(seen, (std::set<std::int64_t>{-1, 0, 1}));
    auto wider = perturbed_costs(2000, 0.01, 42);
    for (const std::int64_t c : *wider) EXPECT_TRUE(c >= -10 && c <= 10);
    EXPECT_EQ(*perturbed_costs(50, 0.01, 42),
              std::vector<std::int64_t>(wider->begin(), wider->begin() + 50));
    EXPECT_NE(*perturbed_costs(50, 0.01, 43),
              std::vector<std::int64_t>(wider->begin(), wider->begin() + 50));
    EXPECT_EQ(perturbed_costs(3, 1e300, 0).error(), invalid("cost perturbation too large"));
    EXPECT_EQ(perturbed_costs(3, std::numeric_limits<double>::infinity(), 0).error(),
              invalid("cost perturbation too large"));
}
