// HiddenStableFlowChasing: the stability outcomes and the snapshot history.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "min_ratio/hidden_stable_flow_chasing.hpp"

using namespace zelk;

TEST(Hsfc, OutcomesOfTheBasicCases) {
    HiddenStableFlowChasing h;
    EXPECT_EQ(h.update({}, {}), (HsfcOutcome{0.0, true, true}));  // m = 0
    EXPECT_EQ(h.states.size(), 2u);

    h.reset(3);
    ASSERT_EQ(h.states.size(), 1u);
    const std::vector<std::uint64_t> declared{1};
    EXPECT_EQ(h.update(declared, std::vector<double>{0.0, 1.0, 0.0}),
              (HsfcOutcome{1.0, true, true}));
    h.reset(3);
    EXPECT_EQ(h.update({}, std::vector<double>{0.0, -1.0, 0.0}), (HsfcOutcome{1.0, false, false}));

    // An undeclared edge may double (within the slack), not more.
    h.reset(2);
    h.update(std::vector<std::uint64_t>{0, 1}, std::vector<double>{1.0, 1.0});
    EXPECT_EQ(h.update({}, std::vector<double>{2.0, 1.0}), (HsfcOutcome{2.0, true, true}));
    h.reset(2);
    h.update(std::vector<std::uint64_t>{0, 1}, std::vector<double>{1.0, 1.0});
    EXPECT_EQ(h.update({}, std::vector<double>{2.01, 1.0}), (HsfcOutcome{2.01, false, false}));

    // Undeclared edges fine, the maximum above its bound on a declared edge.
    h.reset(2);
    h.update(std::vector<std::uint64_t>{0, 1}, std::vector<double>{1.0, 1.0});
    EXPECT_EQ(h.update(std::vector<std::uint64_t>{1}, std::vector<double>{1.5, 9.0}),
              (HsfcOutcome{9.0, true, true}));
    // ... and on an undeclared one (the undeclared check fails too).
    EXPECT_EQ(h.update(std::vector<std::uint64_t>{0}, std::vector<double>{100.0, 30.0}),
              (HsfcOutcome{100.0, false, true}));
}

TEST(Hsfc, CarriesEntriesAndIgnoresExtras) {
    HiddenStableFlowChasing h(4, 0.5);
    const std::vector<std::uint64_t> changed{0, 7, 99};
    h.update(changed, std::vector<double>{-3.0, 0.25});
    const HsfcState& s = h.states.back();
    EXPECT_EQ(s.flow, (std::vector<double>{-3.0, 0.25, 0.0, 0.0}));
    EXPECT_EQ(s.abs_flow, (std::vector<double>{3.0, 0.25, 0.0, 0.0}));
    EXPECT_EQ(s.changed, (std::vector<bool>{true, false, false, false}));
    EXPECT_EQ(s.max_abs_flow, 3.0);
    h.update({}, std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0, 6.0});
    EXPECT_EQ(h.states.back().flow, (std::vector<double>{1.0, 2.0, 3.0, 4.0}));
    EXPECT_EQ(h.states.size(), 3u);
}

// advance against update with the history trimmed by hand: the same outcomes
// and the same snapshot, over random flows that sit exactly on the bounds
// (twice the previous magnitude plus the slack, the previous maximum),
// shorter flows, NaN, repeated and out-of-range declarations.
TEST(Hsfc, AdvanceInPlaceEqualsUpdate) {
    std::mt19937_64 rng(5);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int round = 0; round < 40; ++round) {
        const std::size_t m = rng() % 12;
        const double slack = round % 3 == 0 ? 0.0 : 0.5;
        HiddenStableFlowChasing fresh(m, slack), in_place(m, slack);
        std::vector<double> previous(m, 0.0);
        for (int step = 0; step < 30; ++step) {
            std::vector<double> flow(rng() % 4 == 0 ? rng() % (m + 1) : m + rng() % 2);
            for (std::size_t i = 0; i < flow.size(); ++i) {
                const double before = i < m ? std::fabs(previous[i]) : 0.0;
                switch (rng() % 6) {
                    case 0: flow[i] = slack + 2.0 * before; break;
                    case 1: flow[i] = -std::nextafter(slack + 2.0 * before, 1e300); break;
                    case 2: flow[i] = before; break;
                    case 3: flow[i] = static_cast<double>(rng() % 5) - 2.0; break;
                    case 4: flow[i] = rng() % 8 == 0 ? nan : 0.0; break;
                    default: flow[i] = 1.0 + slack + 2.0 * fresh.states.back().max_abs_flow;
                }
            }
            std::vector<std::uint64_t> changed;
            for (std::size_t k = rng() % 4; k > 0; --k) changed.push_back(rng() % (m + 2));
            const HsfcOutcome want = fresh.update(changed, flow);
            fresh.states.erase(fresh.states.begin(), fresh.states.end() - 1);
            const HsfcOutcome got = in_place.advance(changed, flow);
            ASSERT_EQ(std::isnan(got.max_abs_flow), std::isnan(want.max_abs_flow));
            ASSERT_EQ(got.stable, want.stable) << round << " " << step;
            ASSERT_EQ(got.max_within_bound, want.max_within_bound) << round << " " << step;
            if (!std::isnan(want.max_abs_flow)) ASSERT_EQ(got.max_abs_flow, want.max_abs_flow);
            ASSERT_EQ(in_place.states.size(), 1u);
            const HsfcState &a = in_place.states.back(), &b = fresh.states.back();
            ASSERT_EQ(a.changed, b.changed) << round << " " << step;
            ASSERT_EQ(a.max_abs_flow, b.max_abs_flow);
            ASSERT_EQ(a.flow.size(), b.flow.size());
            for (std::size_t i = 0; i < a.flow.size(); ++i) {
                ASSERT_EQ(std::isnan(a.flow[i]), std::isnan(b.flow[i]));
                if (!std::isnan(b.flow[i])) ASSERT_EQ(a.flow[i], b.flow[i]);
                ASSERT_EQ(std::isnan(a.abs_flow[i]), std::isnan(b.abs_flow[i]));
                if (!std::isnan(b.abs_flow[i])) ASSERT_EQ(a.abs_flow[i], b.abs_flow[i]);
            }
            previous = b.flow;
        }
    }
}
