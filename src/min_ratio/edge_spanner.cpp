#include "min_ratio/edge_spanner.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include "index_types.hpp"

namespace zelk {

namespace {

inline double value_or_zero(std::span<const double> a, std::size_t i) {
    return i < a.size() ? a[i] : 0.0;
}

}  // namespace

EdgeSpanner::EdgeSpanner(bool deterministic)
    : value(deterministic ? decltype(value){DeterministicDynamicSpanner{}}
                          : decltype(value){DynamicSpanner(0)}) {}

void EdgeSpanner::restart() {
    if (auto* d = std::get_if<DeterministicDynamicSpanner>(&value)) {
        d->restart();
    } else {
        value = DynamicSpanner(0);
    }
    carried_.clear();
    carried_fresh_ = false;
}

DynamicSpanner& EdgeSpanner::dynamic() {
    if (auto* d = std::get_if<DeterministicDynamicSpanner>(&value)) return d->spanner;
    return std::get<DynamicSpanner>(value);
}

const DynamicSpanner& EdgeSpanner::dynamic() const {
    if (const auto* d = std::get_if<DeterministicDynamicSpanner>(&value)) return d->spanner;
    return std::get<DynamicSpanner>(value);
}

void EdgeSpanner::rebuild(std::uint64_t n, std::span<const NodeIndex> tails,
                          std::span<const NodeIndex> heads, std::span<const double> gradients,
                          std::span<const double> lengths) {
    carried_fresh_ = false;
    if (auto* d = std::get_if<DeterministicDynamicSpanner>(&value)) {
        d->sync_snapshot(n, tails, heads, lengths, gradients);
        return;
    }
    const std::size_t m = std::min(tails.size(), heads.size());
    DynamicSpanner sp(n);
    sp.reserve_edges(m);
    sp.embeddings.reserve(m);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t id = sp.insert_edge_with_values(
            tails[i], heads[i], std::fabs(value_or_zero(lengths, i)), value_or_zero(gradients, i));
        const SignedEdge itself{id, 1};
        sp.embeddings.assign(i, std::span<const SignedEdge>(&itself, 1));
    }
    std::get<DynamicSpanner>(value) = std::move(sp);
}

void EdgeSpanner::refresh_plain(DynamicSpanner& sp, const SpannerRefresh& r) {
    if (r.edge >= sp.edges.size() || !sp.edges[r.edge].active) return;
    SpannerEdge& se = sp.edges[r.edge];
    if (sp.instability.accumulated.empty()) sp.instability.accumulated.push_back(0.0);
    double& total = sp.instability.accumulated[0];
    if (r.length != 0.0 && !std::isnan(r.length) && se.length > 0.0) {
        total += std::fabs(std::log(std::max(r.length / se.length, se.length / r.length)));
    }
    const double dg = r.gradient - se.gradient;
    if (dg != 0.0 && !std::isnan(dg)) total += std::fabs(dg) * std::max(std::fabs(se.length), 1.0);
    se.length = r.length;
    se.gradient = r.gradient;
}

void EdgeSpanner::refresh(std::uint64_t edge, double length, double gradient) {
    const SpannerRefresh r{edge, length, gradient};
    refresh_many(std::span<const SpannerRefresh>(&r, 1));
}

void EdgeSpanner::refresh_many(std::span<const SpannerRefresh> batch) {
    if (batch.empty()) return;
    if (auto* sp = std::get_if<DynamicSpanner>(&value)) {
        for (const SpannerRefresh& r : batch) refresh_plain(*sp, r);
        return;
    }
    auto& d = std::get<DeterministicDynamicSpanner>(value);
    auto counts = [&d](std::uint64_t e) { return e < d.edges.size() && d.edges[e].active; };
    std::size_t counted = 0;
    for (const SpannerRefresh& r : batch) counted += counts(r.edge) ? 1 : 0;
    // One by one, the counted updates rebuild when the count since the last
    // rebuild reaches the period (at least one update): first after `first`
    // of them, then every `period`. The last rebuild comes after `last`.
    const std::uint64_t period = std::max<std::uint64_t>(d.rebuild_period, 1);
    const std::uint64_t pending = d.updates_since_rebuild;
    const std::uint64_t first = pending >= d.rebuild_period ? 1 : d.rebuild_period - pending;
    std::size_t start = 0;  // the batch index after the last rebuild
    if (counted >= first) {
        const std::size_t last = counted - static_cast<std::size_t>((counted - first) % period);
        if (counted == batch.size()) {
            // Every update counts: no checks.
            start = last;
            for (std::size_t i = 0; i < start; ++i) {
                SpannerEdge& e = d.edges[batch[i].edge];
                e.length = batch[i].length;
                e.gradient = batch[i].gradient;
            }
        } else {
            for (std::size_t seen = 0; seen < last; ++start) {
                if (!counts(batch[start].edge)) continue;
                d.edges[batch[start].edge].length = batch[start].length;
                d.edges[batch[start].edge].gradient = batch[start].gradient;
                ++seen;
            }
        }
        d.rebuild();
        d.updates_since_rebuild = 0;
        carried_fresh_ = false;
    }
    for (std::size_t i = start; i < batch.size(); ++i) {
        d.update_edge_values(batch[i].edge, batch[i].length, batch[i].gradient);
    }
    // The tail of the batch stays below the period, so no further rebuild.
}

std::uint64_t EdgeSpanner::graph_edge(std::uint64_t f) const {
    const auto* d = std::get_if<DeterministicDynamicSpanner>(&value);
    if (d == nullptr) return f < dynamic().edges.size() ? f : NO_INDEX;
    if (!carried_fresh_ || carried_.size() != d->spanner.edges.size()) {
        carried_.assign(d->spanner.edges.size(), NO_INDEX);
        for (std::size_t e = 0; e < d->edge_to_spanner.size(); ++e) {
            const std::uint64_t s = d->edge_to_spanner[e];
            if (s < carried_.size()) carried_[s] = e;
        }
        carried_fresh_ = true;
    }
    return f < carried_.size() ? carried_[f] : NO_INDEX;
}

}  // namespace zelk
