#include "mcf_error.hpp"

#include <cstdio>

namespace zelk {

namespace {

void append_escaped(std::string& out, const std::string& text) {
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[12];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
}

}  // namespace

std::string McfError::to_string() const {
    switch (kind_) {
        case Kind::Infeasible: return "Infeasible";
        case Kind::Interrupted: return "Interrupted";
        case Kind::InvalidInput: break;
    }
    std::string out = "InvalidInput(\"";
    append_escaped(out, message_);
    out += "\")";
    return out;
}

}  // namespace zelk
