#include "rounding/rounding.hpp"

#include <cmath>

#include "graph/classic_solver.hpp"
#include "graph/feasible_flow.hpp"
#include "graph/float_graph.hpp"

namespace zelk {

namespace {

constexpr double TOLERANCE = 1e-9;

// r as a 64-bit integer when it lies in [-2^63, 2^63).
std::optional<std::int64_t> to_int64(double r) {
    if (!(r >= -0x1p63 && r < 0x1p63)) return std::nullopt;
    return static_cast<std::int64_t>(r);
}

}  // namespace

McfResult<ResidualGraph> build_residual_graph_from_problem(const McfProblem& problem,
                                                           std::span<const double> flow) {
    const auto demands = problem.demands();
    std::vector<double> demand_values(demands.size());
    for (std::size_t v = 0; v < demands.size(); ++v) {
        demand_values[v] = static_cast<double>(demands[v]);
    }
    Graph graph = Graph::with_demands(std::move(demand_values));
    graph.edges.reserve(problem.edge_count());
    for (std::size_t i = 0; i < problem.edge_count(); ++i) {
        auto added = graph.add_edge(
            problem.tails()[i], problem.heads()[i], static_cast<double>(problem.lower()[i]),
            static_cast<double>(problem.upper()[i]), static_cast<double>(problem.cost()[i]));
        if (!added) return std::unexpected(added.error());
    }
    return build_residual_graph(flow, graph);
}

McfResult<ResidualInstance> build_residual_instance(const McfProblem& problem,
                                                    std::span<const double> flow) {
    const std::size_t m = problem.edge_count();
    const std::size_t n = problem.node_count();
    if (flow.size() != m) return invalid_input("fractional flow length mismatch");
    const auto tails = problem.tails();
    const auto heads = problem.heads();
    const auto lower = problem.lower();
    const auto upper = problem.upper();

    ResidualInstance inst;
    inst.base_flow.assign(m, 0);
    // 128 bits: the net of up to 2^32 edges of 64-bit flows cannot overflow.
    std::vector<Int128> net(n, 0);
    for (std::size_t i = 0; i < m; ++i) {
        const double x = flow[i];
        if (!std::isfinite(x)) return invalid_input("fractional flow contains non-finite values");
        if (x < static_cast<double>(lower[i]) - TOLERANCE ||
            x > static_cast<double>(upper[i]) + TOLERANCE) {
            return invalid_input("fractional flow violates bounds");
        }
        const double nearest = std::round(x);
        const double r = std::abs(x - nearest) <= TOLERANCE ? nearest : std::floor(x);
        const auto ri = to_int64(r);
        if (!ri || *ri < lower[i] || *ri > upper[i]) {
            return invalid_input("rounded flow violates bounds");
        }
        inst.base_flow[i] = *ri;
        net[tails[i]] -= *ri;
        net[heads[i]] += *ri;
        if (x - r > TOLERANCE) {
            if (*ri == upper[i]) return invalid_input("fractional flow exceeds integer capacity");
            inst.residual_tails.push_back(tails[i]);
            inst.residual_heads.push_back(heads[i]);
            inst.residual_caps.push_back(1);
            inst.residual_costs.push_back(problem.cost()[i]);
            inst.residual_edge_ids.push_back(i);
        }
    }

    inst.residual_demands.resize(n);
    std::uint64_t wrapped_sum = 0;
    for (std::size_t v = 0; v < n; ++v) {
        const Int128 left = static_cast<Int128>(problem.demands()[v]) - net[v];
        if (left < INT64_MIN || left > INT64_MAX) return invalid_input("demand overflow");
        inst.residual_demands[v] = static_cast<std::int64_t>(left);
        wrapped_sum += static_cast<std::uint64_t>(inst.residual_demands[v]);
    }
    if (wrapped_sum != 0) return invalid_input("residual demands do not sum to zero");
    return inst;
}

McfResult<RoundedFlow> round_fractional_flow(const McfProblem& problem,
                                             std::span<const double> flow,
                                             const SolveContext& ctx) {
    auto inst = build_residual_instance(problem, flow);
    if (!inst) return std::unexpected(inst.error());

    RoundedFlow out;
    if (inst->residual_edge_ids.empty()) {
        out.flow = std::move(inst->base_flow);
    } else {
        // The unit edges as a feasibility problem of their own: lower 0,
        // capacity 1, the leftover demands, the edges' costs.
        const std::vector<std::int64_t> zeros(inst->residual_caps.size(), 0);
        auto units = solve_feasible_flow_with_costs(
            problem.node_count(), inst->residual_tails, inst->residual_heads, zeros,
            inst->residual_caps, inst->residual_demands,
            std::span<const std::int64_t>(inst->residual_costs), ctx);
        if (!units) return std::unexpected(units.error());
        std::vector<std::int64_t> increment(problem.edge_count(), 0);
        for (std::size_t j = 0; j < units->size(); ++j) {
            increment[inst->residual_edge_ids[j]] += (*units)[j];
        }
        out.flow.resize(problem.edge_count());
        for (std::size_t i = 0; i < problem.edge_count(); ++i) {
            const auto f = checked_add(inst->base_flow[i], increment[i]);
            if (!f) return invalid_input("flow overflow");
            if (*f < problem.lower()[i] || *f > problem.upper()[i]) {
                return invalid_input("rounded flow violates bounds");
            }
            out.flow[i] = *f;
        }
    }
    auto cost = flow_cost(problem, out.flow);
    if (!cost) return std::unexpected(cost.error());
    out.cost = *cost;
    return out;
}

McfResult<IntegerRounding> round_to_integer_flow(std::span<const double> flow,
                                                 const McfProblem& problem,
                                                 const ResidualGraph& residual_graph,
                                                 const SolveContext& ctx) {
    auto rounded = round_fractional_flow(problem, flow, ctx);
    if (!rounded) return std::unexpected(rounded.error());

    double fractional_cost = 0.0;
    for (std::size_t i = 0; i < flow.size(); ++i) {
        fractional_cost += flow[i] * static_cast<double>(problem.cost()[i]);
    }
    IntegerRounding out;
    if (std::isfinite(fractional_cost)) {
        out.adjustment_cost =
            to_int64(std::round(static_cast<double>(rounded->cost) - fractional_cost));
    }

    double imbalance = 0.0;
    for (const double e : residual_graph.excess) imbalance += std::abs(e);
    if (imbalance > TOLERANCE) return invalid_input("residual demand imbalance too large");

    out.cost = rounded->cost;
    out.flow = std::move(rounded->flow);
    return out;
}

}  // namespace zelk
