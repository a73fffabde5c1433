// The interface the interior-point loop needs from a dynamic min-ratio
// oracle: queries, and incremental updates between queries that may ask for
// a rebuild (OracleError). The loop calls it once or twice per iteration,
// so a virtual interface costs nothing measurable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "index_types.hpp"
#include "min_ratio/cycle_candidate.hpp"
#include "trees/tree_common.hpp"

namespace zelk {

// Error of the update interface, with its display text.
struct OracleError {
    struct RebuildRequired {
        std::optional<std::uint64_t> at;
        std::string reason;
    };
    struct InvalidEdgeIndex {
        std::uint64_t edge = 0;
    };
    struct Message {
        std::string text;
    };
    std::variant<RebuildRequired, InvalidEdgeIndex, Message> value;

    // "rebuild required at None: {reason}" (or "at Some(k)"),
    // "invalid edge index {edge}", or the message alone.
    std::string display() const;
};

using OracleStatus = std::expected<void, OracleError>;
using EdgeValue = std::pair<EdgeIndex, double>;  // (edge identifier, value)

class DynamicOracle {
public:
    virtual ~DynamicOracle() = default;

    // Best cycle for this query, rescored against its arrays; cycle entries
    // are graph edge identifiers.
    virtual TreeResult<std::optional<CycleCandidate>> best_cycle(
        std::uint64_t iteration, std::size_t node_count, std::span<const NodeIndex> tails,
        std::span<const NodeIndex> heads, std::span<const double> gradients,
        std::span<const double> lengths) = 0;

    virtual OracleStatus notify_flow_change(std::span<const EdgeValue> flow_changes) = 0;

    virtual OracleStatus update_many(std::span<const EdgeValue> gradient_updates,
                                     std::span<const EdgeValue> length_updates) = 0;

    // The branching chain's instability count, when the oracle has a chain;
    // the loop switches to the static oracle when it exceeds the loss limit.
    virtual std::optional<std::uint64_t> branching_instability_count() const = 0;
    // The caller hands its queries to another oracle for the rest of its
    // run: updates from now on keep only what their statuses depend on, and
    // the state only queries read may fall behind. A later query catches up
    // first (its answer is then not the one an oracle kept up to date gives).
    virtual void stop_queries() = 0;
};

// The fully dynamic oracle (FullDynamicOracle) the loop runs in the
// `Dynamic` and `Hybrid` modes.
// `previous`, when it is such an oracle, lends the new one its spanner's
// storage and its level oracles, restarted (FullDynamicOracle::adopt_storage):
// answers are a new oracle's, but a run over the same graph skips re-sorting
// its endpoints and rebuilding the levels' tree shapes and walks.
std::unique_ptr<DynamicOracle> make_full_dynamic_oracle(
    std::uint64_t seed, std::size_t levels, std::size_t rebuild_every, std::size_t rebuild_budget,
    bool deterministic, double approx_factor, std::unique_ptr<DynamicOracle> previous = nullptr);

}  // namespace zelk
