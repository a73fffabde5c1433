// HiddenStableFlowChasing: the stability outcomes and the snapshot history.
#include <gtest/gtest.h>

#include <cstdint>
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
