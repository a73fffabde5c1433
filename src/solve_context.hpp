// SolveContext: what a caller lends to one solve, passed down every route.
//
// - a diagnostics sink receiving the system's standard-error lines (warnings,
//   gap lines, progress lines), one line per call, without the newline;
// - a cancellation check polled between units of work (augmentations,
//   iterations). Once it has answered true the context stays cancelled.
//
// Plain function pointers keep it allocation-free and independent of Python;
// the default context discards lines and never cancels.
#pragma once

#include <string_view>

namespace zelk {

class SolveContext {
public:
    using SinkFn = void (*)(void* data, std::string_view line);
    using CancelFn = bool (*)(void* data);

    SolveContext() = default;
    SolveContext(SinkFn sink, void* sink_data, CancelFn cancel, void* cancel_data)
        : sink_(sink), sink_data_(sink_data), cancel_(cancel), cancel_data_(cancel_data) {}

    void diagnostic(std::string_view line) const {
        if (sink_ != nullptr) sink_(sink_data_, line);
    }

    bool cancelled() const {
        if (!cancelled_ && cancel_ != nullptr && cancel_(cancel_data_)) cancelled_ = true;
        return cancelled_;
    }

    // A context that discards lines and never cancels.
    static const SolveContext& none() {
        static const SolveContext ctx;
        return ctx;
    }

private:
    SinkFn sink_ = nullptr;
    void* sink_data_ = nullptr;
    CancelFn cancel_ = nullptr;
    void* cancel_data_ = nullptr;
    mutable bool cancelled_ = false;
};

}  // namespace zelk
