#include "spanner/ls_forest.hpp"

#include <algorithm>

#include "index_types.hpp"

namespace zelk {

LSForest LSForest::from_tree(const LowStretchTree& tree, std::span<const NodeIndex> tails,
                             std::span<const NodeIndex> heads, std::span<const double> lengths) {
    LSForest f;
    const std::size_t n = tree.node_count();
    f.node_count = n;
    const std::size_t m = std::min({tails.size(), heads.size(), tree.in_tree.size()});
    // The tree edges in edge order, read from the mask once.
    thread_local std::vector<std::uint64_t> listed;
    listed.clear();
    f.offsets_.assign(n + 1, 0);
    // Stepping an iterator through the mask is cheaper than indexing it.
    auto in_tree = tree.in_tree.cbegin();
    for (std::size_t e = 0; e < m; ++e, ++in_tree) {
        if (!*in_tree) continue;
        listed.push_back(e);
        ++f.offsets_[tails[e] + 1];
        ++f.offsets_[heads[e] + 1];
    }
    for (std::size_t x = 0; x < n; ++x) f.offsets_[x + 1] += f.offsets_[x];
    f.entries_.resize(f.offsets_[n]);
    std::vector<std::size_t> cursor(f.offsets_.begin(), f.offsets_.end() - 1);
    for (const std::uint64_t e : listed) {
        const double len = e < lengths.size() ? lengths[e] : 1.0;
        f.entries_[cursor[tails[e]]++] = {heads[e], len};
        f.entries_[cursor[heads[e]]++] = {tails[e], len};
    }
    f.mark_.assign(n, 0);
    f.pred_.assign(n, NO_INDEX);
    f.queue_.reserve(n);
    // Breadth-first search from each unreached node in order, rooting every
    // component at its smallest node. The lists form a forest exactly when
    // they hold n minus the number of components edges (a self-loop or a
    // repeated pair counts as an edge that closes a cycle), and then the
    // breadth-first path is the unique path, read from this rooted copy by
    // walking up from both ends.
    f.parent_.assign(n, NO_INDEX);
    f.depth_.assign(n, 0);
    f.root_.assign(n, NO_INDEX);
    std::vector<std::uint64_t>& q = f.queue_;
    std::size_t components = 0;
    for (std::uint64_t r = 0; r < n; ++r) {
        if (f.root_[r] != NO_INDEX) continue;
        ++components;
        f.root_[r] = r;
        f.parent_[r] = r;
        q.clear();
        q.push_back(r);
        for (std::size_t head = 0; head < q.size(); ++head) {
            const std::uint64_t x = q[head];
            for (std::size_t k = f.offsets_[x], end = f.offsets_[x + 1]; k < end; ++k) {
                const std::uint64_t y = f.entries_[k].first;
                if (f.root_[y] != NO_INDEX) continue;
                f.root_[y] = r;
                f.parent_[y] = x;
                f.depth_[y] = f.depth_[x] + 1;
                q.push_back(y);
            }
        }
    }
    q.clear();
    f.acyclic_ = listed.size() + components == n;
    if (!f.acyclic_) {
        f.parent_.clear();
        f.depth_.clear();
        f.root_.clear();
    }
    return f;
}

std::span<const LSForest::Neighbour> LSForest::neighbours(std::uint64_t x) const {
    if (x >= node_count) return {};
    return std::span<const Neighbour>(entries_).subspan(offsets_[x], offsets_[x + 1] - offsets_[x]);
}

void LSForest::bfs(std::uint64_t u, std::uint64_t stop) const {
    if (++generation_ == 0) {
        std::fill(mark_.begin(), mark_.end(), 0);
        generation_ = 1;
    }
    source_ = u;
    queue_.clear();
    queue_.push_back(u);
    mark_[u] = generation_;
    pred_[u] = NO_INDEX;
    for (std::size_t head = 0; head < queue_.size(); ++head) {
        const std::uint64_t x = queue_[head];
        if (x == stop) return;
        for (const Neighbour& nb : neighbours(x)) {
            const std::uint64_t y = nb.first;
            if (mark_[y] == generation_) continue;
            mark_[y] = generation_;
            pred_[y] = x;
            queue_.push_back(y);
        }
    }
}

void LSForest::search_all_from(std::uint64_t source) const {
    if (source >= node_count) {
        source_ = NO_INDEX;
        return;
    }
    bfs(source, NO_INDEX);
}

bool LSForest::reached(std::uint64_t x) const {
    return source_ < node_count && x < node_count && mark_[x] == generation_;
}

void LSForest::path_from_source(std::uint64_t x, std::vector<std::uint64_t>& out) const {
    out.clear();
    if (!reached(x) || x == source_) return;
    for (std::uint64_t y = x; y != NO_INDEX; y = pred_[y]) out.push_back(y);
    std::reverse(out.begin(), out.end());
}

bool LSForest::path_between_into(std::uint64_t u, std::uint64_t v,
                                 std::vector<std::uint64_t>& out) const {
    out.clear();
    if (u >= node_count || v >= node_count) return false;
    if (u == v) return true;
    if (acyclic_) {
        if (root_[u] != root_[v]) return false;
        // Up from u into `out`, up from v into tail_buf_, until they meet.
        tail_buf_.clear();
        std::uint64_t a = u, b = v;
        while (depth_[a] > depth_[b]) {
            out.push_back(a);
            a = parent_[a];
        }
        while (depth_[b] > depth_[a]) {
            tail_buf_.push_back(b);
            b = parent_[b];
        }
        while (a != b) {
            out.push_back(a);
            a = parent_[a];
            tail_buf_.push_back(b);
            b = parent_[b];
        }
        out.push_back(a);
        out.insert(out.end(), tail_buf_.rbegin(), tail_buf_.rend());
        return true;
    }
    bfs(u, v);
    if (mark_[v] != generation_) return false;
    for (std::uint64_t y = v; y != NO_INDEX; y = pred_[y]) out.push_back(y);
    std::reverse(out.begin(), out.end());
    return true;
}

std::optional<std::vector<std::uint64_t>> LSForest::path_between(std::uint64_t u,
                                                                 std::uint64_t v) const {
    std::vector<std::uint64_t> out;
    if (!path_between_into(u, v, out)) return std::nullopt;
    return out;
}

}  // namespace zelk
