// Graph: a small directed multigraph with real-valued bounds, costs and
// demands, used where a problem is carried with fractional data (rounding).
// Edges keep insertion order; per-node incidence lists hold edge indices.
#pragma once

#include <cstddef>
#include <vector>

#include "index_types.hpp"
#include "mcf_error.hpp"

namespace zelk {

struct Edge {
    std::size_t tail = 0;
    std::size_t head = 0;
    double lower = 0.0;
    double upper = 0.0;
    double cost = 0.0;
};

class Graph {
public:
    // A graph with demands.size() nodes and no edges.
    static Graph with_demands(std::vector<double> demands);

    // Checks this edge's endpoints ("edge endpoint outside node range"), then
    // its bounds ("lower bound exceeds upper bound"; a NaN bound passes).
    // A failure leaves the graph unchanged.
    McfResult<EdgeIndex> add_edge(std::size_t tail, std::size_t head, double lower, double upper,
                                  double cost);

    std::size_t node_count() const { return demands.size(); }
    std::size_t edge_count() const { return edges.size(); }

    std::vector<double> demands;
    std::vector<Edge> edges;
    std::vector<std::vector<EdgeIndex>> out_edges;
    std::vector<std::vector<EdgeIndex>> in_edges;
};

}  // namespace zelk
