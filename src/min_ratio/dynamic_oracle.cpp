#include "min_ratio/dynamic_oracle.hpp"

#include "min_ratio/full_dynamic_oracle.hpp"

namespace zelk {

std::string OracleError::display() const {
    struct Visitor {
        std::string operator()(const RebuildRequired& r) const {
            const std::string at = r.at ? "Some(" + std::to_string(*r.at) + ")" : "None";
            return "rebuild required at " + at + ": " + r.reason;
        }
        std::string operator()(const InvalidEdgeIndex& e) const {
            return "invalid edge index " + std::to_string(e.edge);
        }
        std::string operator()(const Message& m) const { return m.text; }
    };
    return std::visit(Visitor{}, value);
}

std::unique_ptr<DynamicOracle> make_full_dynamic_oracle(std::uint64_t seed, std::size_t levels,
                                                        std::size_t rebuild_every,
                                                        std::size_t rebuild_budget,
                                                        bool deterministic, double approx_factor) {
    return std::make_unique<FullDynamicOracle>(seed, levels, rebuild_every, rebuild_budget,
                                               deterministic, approx_factor);
}

}  // namespace zelk
