// IpmSummary: the statistics of one solve that went through the
// interior-point method, one field per statistics key. The classic paths
// carry none.
#pragma once

#include <cstdint>
#include <optional>

namespace zelk {

struct IpmSummary {
    // Filled by the interior-point route; the classic solver never creates one.
};

}  // namespace zelk
