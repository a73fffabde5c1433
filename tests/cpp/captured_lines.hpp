// A SolveContext whose diagnostics sink keeps every line, for tests of the
// warning and progress lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "solve_context.hpp"

namespace zelk::testing {

struct CapturedLines {
    std::vector<std::string> lines;
    SolveContext context() {
        return SolveContext(
            [](void* data, std::string_view line) {
                static_cast<CapturedLines*>(data)->lines.emplace_back(line);
            },
            this, nullptr, nullptr);
    }
    std::vector<std::string> starting_with(std::string_view prefix) const {
        std::vector<std::string> out;
        for (const std::string& line : lines) {
            if (line.starts_with(prefix)) out.push_back(line);
        }
        return out;
    }
};

}  // namespace zelk::testing
