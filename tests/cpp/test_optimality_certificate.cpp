#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "certificate/optimality_certificate.hpp"
#include "mcf_solution.hpp"
#include "random_flow_instances.hpp"

namespace zelk {
namespace {

using testing::make_problem;
using testing::random_flow_instance;

// Potentials prove optimality: reduced cost >= 0 on forward residual arcs,
// <= 0 where a backward residual arc exists.
void expect_valid_potentials(const McfProblem& p, const std::vector<std::int64_t>& flow,
                             const std::vector<Int128>& pot) {
    ASSERT_EQ(pot.size(), p.node_count());
    for (std::size_t i = 0; i < p.edge_count(); ++i) {
        const Int128 rc = Int128{p.cost()[i]} + pot[p.tails()[i]] - pot[p.heads()[i]];
        if (flow[i] < p.upper()[i]) {
            EXPECT_GE(rc, 0) << "edge " << i;
        }
        if (flow[i] > p.lower()[i]) {
            EXPECT_LE(rc, 0) << "edge " << i;
        }
    }
}

// The cycle is closed, uses residual arcs only and has negative cost.
void expect_negative_cycle(const McfProblem& p, const std::vector<std::int64_t>& flow,
                           const std::vector<McfCycleArc>& cycle) {
    ASSERT_FALSE(cycle.empty());
    Int128 total = 0;
    std::uint32_t first_from = 0;
    std::uint32_t at = 0;
    for (std::size_t k = 0; k < cycle.size(); ++k) {
        const auto [e, dir] = cycle[k];
        const std::uint32_t from = dir > 0 ? p.tails()[e] : p.heads()[e];
        const std::uint32_t to = dir > 0 ? p.heads()[e] : p.tails()[e];
        if (k == 0) {
            first_from = from;
        } else {
            EXPECT_EQ(from, at);
        }
        at = to;
        if (dir > 0) {
            EXPECT_LT(flow[e], p.upper()[e]);
        } else {
            EXPECT_GT(flow[e], p.lower()[e]);
        }
        total += dir > 0 ? Int128{p.cost()[e]} : -Int128{p.cost()[e]};
    }
    EXPECT_EQ(at, first_from);
    EXPECT_LT(total, 0);
}

TEST(OptimalityCertificate, AcceptsOptimalAndExposesSuboptimalFlows) {
    std::mt19937_64 rng(20260);
    int rejected = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const auto inst = random_flow_instance(rng, /*negative_costs=*/trial % 2 == 0, 5);
        const McfProblem p = inst.problem();
        auto optimal = solve_classic_with_mode(p, SolverMode::Classic);
        ASSERT_TRUE(optimal.has_value());
        auto cert = optimality_certificate(p, optimal->flow);
        ASSERT_TRUE(cert.has_value());
        ASSERT_TRUE(cert->optimal()) << "trial " << trial;
        expect_valid_potentials(p, optimal->flow, cert->potentials);

        // The witness is feasible; it is optimal exactly when it costs as much.
        auto witness = optimality_certificate(p, inst.witness);
        ASSERT_TRUE(witness.has_value());
        const bool same_cost = *flow_cost(p, inst.witness) == optimal->cost;
        EXPECT_EQ(witness->optimal(), same_cost) << "trial " << trial;
        if (witness->optimal()) {
            expect_valid_potentials(p, inst.witness, witness->potentials);
        } else {
            expect_negative_cycle(p, inst.witness, witness->negative_cycle);
            ++rejected;
        }
    }
    EXPECT_GT(rejected, 50);
}

TEST(OptimalityCertificate, SelfLoopsLargeCostsAndBadInput) {
    // A self-loop with negative cost and room left is a cycle by itself.
    const McfProblem loop = make_problem({0}, {0}, {0}, {2}, {-1}, {0});
    auto c = optimality_certificate(loop, std::vector<std::int64_t>{1});
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->negative_cycle, (std::vector<McfCycleArc>{{0, 1}}));
    auto saturated = optimality_certificate(loop, std::vector<std::int64_t>{2});
    ASSERT_TRUE(saturated.has_value());
    EXPECT_TRUE(saturated->optimal());

    // Potentials beyond 64 bits along a chain of extreme costs.
    constexpr std::int64_t big = std::numeric_limits<std::int64_t>::min();
    const McfProblem chain =
        make_problem({0, 1, 2}, {1, 2, 3}, {0, 0, 0}, {1, 1, 1}, {big, big, big}, {0, 0, 0, 0});
    const std::vector<std::int64_t> empty{0, 0, 0};
    auto far = optimality_certificate(chain, empty);
    ASSERT_TRUE(far.has_value());
    ASSERT_TRUE(far->optimal());
    expect_valid_potentials(chain, empty, far->potentials);
    EXPECT_EQ(far->potentials[3], 3 * Int128{big});

    EXPECT_EQ(optimality_certificate(chain, std::vector<std::int64_t>{1, 1}).error(),
              McfError::invalid_input("flow length mismatch"));
    EXPECT_EQ(optimality_certificate(chain, std::vector<std::int64_t>{1, 2, 1}).error(),
              McfError::invalid_input("flow violates bounds"));
}

}  // namespace
}  // namespace zelk
