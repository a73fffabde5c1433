#include "rounding/residual_graph.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelk {

namespace {

constexpr double TOLERANCE = 1e-12;
constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();

inline double max_zero(double v) { return v > 0.0 ? v : 0.0; }

// round(c), halves away from zero, as a 64-bit cost. 2^63 is accepted as the
// double nearest to the largest 64-bit value, which it usually came from.
std::optional<std::int64_t> rounded_cost(double c) {
    const double r = std::round(c);
    if (!(r >= -0x1p63 && r <= 0x1p63)) return std::nullopt;
    if (r == 0x1p63) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(r);
}

// Scratch of the negative-cycle search, reused across searches.
class CycleSearch {
public:
    // True when a negative cycle was found; it is then in `cycle`.
    bool run(const ResidualGraph& graph) {
        const std::size_t n = graph.node_count();
        cycle.clear();
        if (n == 0) return false;
        dist.assign(n, 0.0);
        pred_node.assign(n, NONE);
        pred_index.resize(n);
        std::size_t last = NONE;
        for (std::size_t round = 0; round < n; ++round) {
            bool changed = false;
            for (std::size_t u = 0; u < n; ++u) {
                const std::size_t begin = graph.first_arc[u];
                const std::size_t end = graph.first_arc[u + 1];
                for (std::size_t k = begin; k < end; ++k) {
                    const ResidualArc& a = graph.arcs[k];
                    if (!(a.residual > TOLERANCE)) continue;
                    const double candidate = dist[u] + static_cast<double>(a.cost);
                    if (candidate + TOLERANCE < dist[a.to]) {
                        dist[a.to] = candidate;
                        pred_node[a.to] = u;
                        pred_index[a.to] = k - begin;
                        last = a.to;
                        changed = true;
                    }
                }
            }
            if (!changed) return false;
        }
        // n steps back from the last relaxed node end on a predecessor cycle.
        std::size_t start = last;
        for (std::size_t i = 0; i < n; ++i) {
            if (pred_node[start] != NONE) start = pred_node[start];
        }
        std::size_t v = start;
        do {
            if (pred_node[v] == NONE || cycle.size() >= n) {
                cycle.clear();
                return false;
            }
            cycle.push_back({pred_node[v], pred_index[v]});
            v = pred_node[v];
        } while (v != start);
        return true;
    }

    std::vector<CycleArc> cycle;

private:
    std::vector<double> dist;
    std::vector<std::size_t> pred_node;
    std::vector<std::size_t> pred_index;
};

}  // namespace

McfResult<ResidualGraph> build_residual_graph(std::span<const double> flow, const Graph& graph) {
    const std::size_t m = graph.edge_count();
    const std::size_t n = graph.node_count();
    if (flow.size() != m) return invalid_input("approximate flow length mismatch");

    ResidualGraph g;
    g.excess = graph.demands;
    g.first_arc.assign(n + 1, 0);
    std::vector<std::int64_t> forward_cost(m), backward_cost(m);
    for (std::size_t e = 0; e < m; ++e) {
        const Edge& edge = graph.edges[e];
        const double x = flow[e];
        if (!std::isfinite(x)) return invalid_input("approximate flow contains non-finite values");
        if (edge.upper - x < -TOLERANCE || x - edge.lower < -TOLERANCE) {
            return invalid_input("approximate flow violates bounds");
        }
        const auto fwd = rounded_cost(edge.cost);
        const auto bwd = rounded_cost(-edge.cost);
        if (!fwd || !bwd) return invalid_input("edge cost out of range");
        forward_cost[e] = *fwd;
        backward_cost[e] = *bwd;
        g.excess[edge.tail] += x;
        g.excess[edge.head] -= x;
        ++g.first_arc[edge.tail + 1];
        ++g.first_arc[edge.head + 1];
    }
    for (std::size_t v = 0; v < n; ++v) g.first_arc[v + 1] += g.first_arc[v];

    // Place arcs in list order: per node, in edge order, forward before
    // backward (so a self-loop's backward arc follows its forward arc).
    g.arcs.resize(2 * m);
    std::vector<std::size_t> next(g.first_arc.begin(), g.first_arc.end() - 1);
    for (std::size_t e = 0; e < m; ++e) {
        const Edge& edge = graph.edges[e];
        const double x = flow[e];
        const std::size_t pf = next[edge.tail]++;
        const std::size_t pb = next[edge.head]++;
        g.arcs[pf] = ResidualArc{
            edge.head, max_zero(edge.upper - x), forward_cost[e], pb - g.first_arc[edge.head], e,
            1};
        g.arcs[pb] = ResidualArc{
            edge.tail, max_zero(x - edge.lower), backward_cost[e], pf - g.first_arc[edge.tail], e,
            -1};
    }
    g.flow.assign(flow.begin(), flow.end());
    return g;
}

std::optional<std::vector<CycleArc>> find_negative_cycle(const ResidualGraph& graph) {
    CycleSearch search;
    if (!search.run(graph)) return std::nullopt;
    return std::move(search.cycle);
}

bool has_negative_cycle(const ResidualGraph& graph) {
    return find_negative_cycle(graph).has_value();
}

std::optional<double> negative_cycle_cost(const ResidualGraph& graph) {
    const auto cycle = find_negative_cycle(graph);
    if (!cycle) return std::nullopt;
    double total = 0.0;
    for (const CycleArc& c : *cycle) total += static_cast<double>(graph.arc(c.node, c.index).cost);
    return total;
}

std::size_t cancel_negative_cycles(ResidualGraph& graph, std::optional<std::size_t> limit) {
    const std::size_t max_count = limit.value_or(DEFAULT_CANCEL_LIMIT);
    std::size_t count = 0;
    if (max_count == 0) return 0;
    CycleSearch search;
    while (search.run(graph)) {
        double delta = std::numeric_limits<double>::infinity();
        for (const CycleArc& c : search.cycle)
            delta = std::min(delta, graph.arc(c.node, c.index).residual);
        if (!std::isfinite(delta) || delta <= TOLERANCE) break;
        for (const CycleArc& c : search.cycle) {
            ResidualArc& a = graph.arc(c.node, c.index);
            a.residual -= delta;
            graph.arc(a.to, a.rev).residual += delta;
            graph.flow[a.edge] += delta * static_cast<double>(a.direction);
        }
        if (++count == max_count) break;
    }
    return count;
}

}  // namespace zelk
