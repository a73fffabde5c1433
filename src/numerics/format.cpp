#include "numerics/format.hpp"

#include <cmath>
#include <cstdio>

namespace zelk {

std::string format_sci(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // printf gives "d.ddde+XX"; rewrite the exponent without sign or padding.
    char buffer[32];
    const int len = std::snprintf(buffer, sizeof buffer, "%.3e", value);
    const std::string text(buffer, static_cast<std::size_t>(len));
    const std::size_t e = text.find('e');
    std::string out = text.substr(0, e + 1);
    std::size_t i = e + 1;
    if (text[i] == '-') out.push_back('-');
    if (text[i] == '-' || text[i] == '+') ++i;
    while (i + 1 < text.size() && text[i] == '0') ++i;
    out.append(text, i, std::string::npos);
    return out;
}

}  // namespace zelk
