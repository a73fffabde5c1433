#include "graph/float_graph.hpp"

#include "index_types.hpp"

namespace zelk {

Graph Graph::with_demands(std::vector<double> demands) {
    Graph g;
    const std::size_t n = demands.size();
    g.demands = std::move(demands);
    g.out_edges.assign(n, {});
    g.in_edges.assign(n, {});
    return g;
}

McfResult<EdgeIndex> Graph::add_edge(std::size_t tail, std::size_t head, double lower, double upper,
                                     double cost) {
    const std::size_t n = demands.size();
    if (tail >= n || head >= n) return invalid_input("edge endpoint outside node range");
    if (lower > upper) return invalid_input("lower bound exceeds upper bound");
    const EdgeIndex id = edges.size();
    edges.push_back(Edge{tail, head, lower, upper, cost});
    out_edges[tail].push_back(id);
    in_edges[head].push_back(id);
    return id;
}

}  // namespace zelk
