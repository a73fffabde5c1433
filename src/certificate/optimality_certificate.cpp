#include "certificate/optimality_certificate.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>

namespace zelk {

namespace {

constexpr std::uint32_t NO_ARC = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t POLL_EVERY = 4096;  // queue pops between cancellation checks

struct CertArc {
    std::uint32_t from = 0;
    std::uint32_t to = 0;
    std::uint32_t edge = 0;
    std::int8_t direction = 1;
};

// Residual arcs grouped by tail (CSR). Self-loops are left out: their
// reduced cost does not depend on the potentials.
struct CertGraph {
    std::vector<std::size_t> first_arc;  // node v owns arcs[first_arc[v] .. first_arc[v + 1])
    std::vector<CertArc> arcs;
};

CertGraph build_residual(const McfProblem& problem, std::span<const std::int64_t> flow) {
    const std::size_t n = problem.node_count();
    const auto tails = problem.tails();
    const auto heads = problem.heads();
    const auto lower = problem.lower();
    const auto upper = problem.upper();
    CertGraph g;
    g.first_arc.assign(n + 1, 0);
    for (std::size_t i = 0; i < tails.size(); ++i) {
        if (tails[i] == heads[i]) continue;
        if (flow[i] < upper[i]) ++g.first_arc[tails[i] + 1];
        if (flow[i] > lower[i]) ++g.first_arc[heads[i] + 1];
    }
    for (std::size_t v = 0; v < n; ++v) g.first_arc[v + 1] += g.first_arc[v];
    g.arcs.resize(g.first_arc[n]);
    std::vector<std::size_t> fill(g.first_arc.begin(), g.first_arc.end() - 1);
    for (std::size_t i = 0; i < tails.size(); ++i) {
        if (tails[i] == heads[i]) continue;
        const auto e = static_cast<std::uint32_t>(i);
        if (flow[i] < upper[i]) g.arcs[fill[tails[i]]++] = {tails[i], heads[i], e, 1};
        if (flow[i] > lower[i]) g.arcs[fill[heads[i]]++] = {heads[i], tails[i], e, -1};
    }
    return g;
}

// A negative residual self-loop, if any: such a loop is a cycle by itself.
std::vector<McfCycleArc> negative_self_loop(const McfProblem& problem,
                                            std::span<const std::int64_t> flow) {
    const auto tails = problem.tails();
    const auto heads = problem.heads();
    const auto cost = problem.cost();
    for (std::size_t i = 0; i < tails.size(); ++i) {
        if (tails[i] != heads[i]) continue;
        const auto e = static_cast<std::uint32_t>(i);
        if (cost[i] < 0 && flow[i] < problem.upper()[i]) return {{e, 1}};
        if (cost[i] > 0 && flow[i] > problem.lower()[i]) return {{e, -1}};
    }
    return {};
}

// Label-correcting shortest paths from a virtual source with one set of
// scratch arrays. Any cycle of the predecessor graph has negative cost, and
// with integral costs a negative residual cycle forces one to appear, so
// walking that graph now and then both detects and exhibits such cycles.
class PotentialSearch {
public:
    PotentialSearch(const McfProblem& problem, const CertGraph& graph)
        : cost_(problem.cost()),
          graph_(graph),
          n_(problem.node_count()),
          dist_(n_, 0),
          pred_(n_, NO_ARC),
          stamp_(n_, 0),
          queue_(n_),
          in_queue_(n_, 1) {
        for (std::size_t v = 0; v < n_; ++v) queue_[v] = static_cast<std::uint32_t>(v);
    }

    McfResult<McfOptimalityCertificate> run(const SolveContext& ctx) {
        std::size_t head = 0;
        std::size_t size = n_;
        std::size_t relaxations = 0;
        std::size_t pops = 0;
        while (size > 0) {
            if (++pops % POLL_EVERY == 0 && ctx.cancelled()) {
                return std::unexpected(McfError::interrupted());
            }
            const std::uint32_t u = queue_[head];
            head = head + 1 == n_ ? 0 : head + 1;
            --size;
            in_queue_[u] = 0;
            for (std::size_t k = graph_.first_arc[u]; k < graph_.first_arc[u + 1]; ++k) {
                const CertArc& a = graph_.arcs[k];
                const Int128 candidate = dist_[u] + arc_cost(a);
                if (candidate >= dist_[a.to]) continue;
                dist_[a.to] = candidate;
                pred_[a.to] = static_cast<std::uint32_t>(k);
                if (++relaxations >= n_) {
                    relaxations = 0;
                    if (auto cycle = predecessor_cycle(); !cycle.empty()) {
                        return McfOptimalityCertificate{{}, std::move(cycle)};
                    }
                }
                if (!in_queue_[a.to]) {
                    in_queue_[a.to] = 1;
                    queue_[(head + size) % n_] = a.to;
                    ++size;
                }
            }
        }
        return McfOptimalityCertificate{std::move(dist_), {}};
    }

private:
    Int128 arc_cost(const CertArc& a) const {
        return a.direction > 0 ? Int128{cost_[a.edge]} : -Int128{cost_[a.edge]};
    }

    // One walk up from every node; a walk that meets its own stamp has found
    // a cycle. Stamps grow across calls, so nothing is reset.
    std::vector<McfCycleArc> predecessor_cycle() {
        const std::uint64_t first_walk = next_stamp_ + 1;
        for (std::size_t start = 0; start < n_; ++start) {
            if (stamp_[start] >= first_walk) continue;
            const std::uint64_t walk = ++next_stamp_;
            std::size_t v = start;
            while (stamp_[v] < first_walk) {
                stamp_[v] = walk;
                if (pred_[v] == NO_ARC) break;
                v = graph_.arcs[pred_[v]].from;
            }
            if (stamp_[v] == walk && pred_[v] != NO_ARC) {
                return collect_cycle(v);
            }
        }
        return {};
    }

    std::vector<McfCycleArc> collect_cycle(std::size_t on_cycle) const {
        std::vector<McfCycleArc> cycle;
        std::size_t v = on_cycle;
        do {
            const CertArc& a = graph_.arcs[pred_[v]];
            cycle.push_back({a.edge, a.direction});
            v = a.from;
        } while (v != on_cycle);
        std::reverse(cycle.begin(), cycle.end());
        return cycle;
    }

    std::span<const std::int64_t> cost_;
    const CertGraph& graph_;
    std::size_t n_;
    std::vector<Int128> dist_;
    std::vector<std::uint32_t> pred_;
    std::vector<std::uint64_t> stamp_;
    std::uint64_t next_stamp_ = 0;
    std::vector<std::uint32_t> queue_;
    std::vector<std::uint8_t> in_queue_;
};

}  // namespace

McfResult<McfOptimalityCertificate> optimality_certificate(const McfProblem& problem,
                                                           std::span<const std::int64_t> flow,
                                                           const SolveContext& ctx) {
    if (flow.size() != problem.edge_count()) return invalid_input("flow length mismatch");
    for (std::size_t i = 0; i < flow.size(); ++i) {
        if (flow[i] < problem.lower()[i] || flow[i] > problem.upper()[i]) {
            return invalid_input("flow violates bounds");
        }
    }
    if (auto loop = negative_self_loop(problem, flow); !loop.empty()) {
        return McfOptimalityCertificate{{}, std::move(loop)};
    }
    const CertGraph graph = build_residual(problem, flow);
    return PotentialSearch(problem, graph).run(ctx);
}

}  // namespace zelk
