// McfError: the one failure type of the solver.
//
// `InvalidInput` carries a fixed lower-case message; `Infeasible` means no
// flow meets the bounds and demands. `Interrupted` is internal: the caller's
// cancellation check asked the solve to stop. It unwinds every route like an
// error but is never shown as an error text (the extension turns it into the
// pending KeyboardInterrupt), and no route retries on it.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace zelk {

class McfError {
public:
    enum class Kind { InvalidInput, Infeasible, Interrupted };

    static McfError invalid_input(std::string message) {
        return McfError(Kind::InvalidInput, std::move(message));
    }
    static McfError infeasible() { return McfError(Kind::Infeasible, {}); }
    static McfError interrupted() { return McfError(Kind::Interrupted, {}); }

    Kind kind() const { return kind_; }
    bool is_invalid_input() const { return kind_ == Kind::InvalidInput; }
    bool is_infeasible() const { return kind_ == Kind::Infeasible; }
    bool is_interrupted() const { return kind_ == Kind::Interrupted; }
    // The message of an `InvalidInput`; empty for the other kinds.
    const std::string& message() const { return message_; }

    // Text form shown to callers: `Infeasible`, or `InvalidInput("msg")` with
    // quotes, backslashes and control characters escaped.
    std::string to_string() const;

    friend bool operator==(const McfError&, const McfError&) = default;

private:
    McfError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind_;
    std::string message_;
};

template <class T>
using McfResult = std::expected<T, McfError>;

inline std::unexpected<McfError> invalid_input(std::string message) {
    return std::unexpected(McfError::invalid_input(std::move(message)));
}

}  // namespace zelk
