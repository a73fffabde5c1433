#include "min_ratio/dynamic_oracle.hpp"

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

}  // namespace zelk
