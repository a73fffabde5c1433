#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "graph/float_graph.hpp"
#include "mcf_error.hpp"
#include "mcf_problem.hpp"

using namespace zelk;

namespace {

McfResult<McfProblem> make(std::vector<std::uint32_t> t, std::vector<std::uint32_t> h,
                           std::vector<std::int64_t> lo, std::vector<std::int64_t> up,
                           std::vector<std::int64_t> c, std::vector<std::int64_t> d) {
    return McfProblem::create(std::move(t), std::move(h), std::move(lo), std::move(up),
                              std::move(c), std::move(d));
}

std::string error_text(const McfResult<McfProblem>& r) {
    return r.has_value() ? std::string("ok") : r.error().to_string();
}

}  // namespace

TEST(McfProblem, ValidationOrderAndMessages) {
    const std::string endpoint = R"(InvalidInput("edge endpoint outside node range"))";
    const std::string sum = R"(InvalidInput("demands must sum to zero"))";
    EXPECT_EQ(error_text(make({}, {}, {}, {}, {}, {})), "ok");
    EXPECT_EQ(error_text(make({0}, {0}, {0}, {1}, {0}, {})), endpoint);
    EXPECT_EQ(error_text(make({0, 1}, {1}, {0, 0}, {1, 1}, {0, 0}, {0, 0})),
              R"(InvalidInput("edge arrays must have identical length"))");
    // An endpoint error at edge 5 beats a bound error at edge 0 and a demand error.
    std::vector<std::uint32_t> t{0, 0, 0, 0, 0, 7}, h{1, 1, 1, 1, 1, 1};
    std::vector<std::int64_t> lo{5, 0, 0, 0, 0, 0}, up{1, 1, 1, 1, 1, 1}, c(6, 0);
    EXPECT_EQ(error_text(make(t, h, lo, up, c, {1, 0})), endpoint);
    t[5] = 0;
    EXPECT_EQ(error_text(make(t, h, lo, up, c, {1, 0})), sum);
    EXPECT_EQ(error_text(make(t, h, lo, up, c, {0, 0})),
              R"(InvalidInput("lower bound exceeds upper bound"))");
    // Fixed flows, self-loops and parallel edges are fine.
    EXPECT_EQ(error_text(make({0, 0, 1}, {1, 1, 1}, {3, 0, -4}, {3, 2, -4}, {1, 1, 1}, {-3, 3})),
              "ok");
    // The demand sum is exact: MAX + MAX + 2 wraps to zero in 64 bits.
    const std::int64_t big = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(error_text(make({}, {}, {}, {}, {}, {big, big, 2})), sum);
    EXPECT_EQ(error_text(make({}, {}, {}, {}, {}, {big, -big, 0})), "ok");
}

TEST(McfError, TextForm) {
    EXPECT_EQ(McfError::infeasible().to_string(), "Infeasible");
    EXPECT_EQ(McfError::invalid_input("demands must sum to zero").to_string(),
              R"(InvalidInput("demands must sum to zero"))");
    EXPECT_EQ(McfError::invalid_input("a \"q\" \\ b\nc\td").to_string(),
              R"(InvalidInput("a \"q\" \\ b\nc\td"))");
    EXPECT_FALSE(McfError::interrupted().is_infeasible());
}

TEST(FloatGraph, AddEdgeChecksOneEdgeAtATime) {
    Graph g = Graph::with_demands({-1.0, 0.5, 0.5});
    EXPECT_EQ(g.node_count(), 3u);
    ASSERT_EQ(g.out_edges.size(), 3u);
    auto e0 = g.add_edge(0, 1, 0.0, 1.5, 2.0);
    auto e1 = g.add_edge(0, 2, 0.0, 1.5, -1.0);
    ASSERT_TRUE(e0 && e1);
    EXPECT_EQ(*e0, 0u);
    EXPECT_EQ(*e1, 1u);
    EXPECT_EQ(g.add_edge(3, 1, 5.0, 1.0, 0.0).error().message(),
              "edge endpoint outside node range");
    EXPECT_EQ(g.add_edge(1, 2, 5.0, 1.0, 0.0).error().message(), "lower bound exceeds upper bound");
    EXPECT_TRUE(g.add_edge(1, 1, std::numeric_limits<double>::quiet_NaN(), 1.0, 0.0).has_value());
    EXPECT_EQ(g.edge_count(), 3u);
    EXPECT_EQ(g.out_edges[0], (std::vector<EdgeIndex>{0, 1}));
    EXPECT_EQ(g.in_edges[1], (std::vector<EdgeIndex>{0, 2}));
    EXPECT_EQ(g.out_edges[1], (std::vector<EdgeIndex>{2}));
}
