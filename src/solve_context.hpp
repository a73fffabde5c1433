// SolveContext: what a caller lends to one solve, passed down every route.
//
// - a diagnostics sink receiving the system's standard-error lines (warnings,
//   gap lines, progress lines), one line per call, without the newline;
// - a cancellation check polled between units of work (augmentations,
//   iterations). Once it has answered true the context stays cancelled;
// - optionally, an effort budget: a deterministic allowance of interior-point
//   work shared by every run of one solve (see EffortBudget).
//
// Plain function pointers keep it allocation-free and independent of Python;
// the default context discards lines and never cancels.
#pragma once

#include <cstdint>
#include <string_view>

namespace zelk {

// A fixed amount of work, counted in units the caller chooses (the
// interior-point loop charges its edge count per iteration), never by the
// clock, so a budgeted solve is reproducible bit for bit. Once a charge does
// not fit the budget stays exhausted.
class EffortBudget {
public:
    explicit EffortBudget(std::uint64_t limit) : limit_(limit) {}

    bool charge(std::uint64_t units) {
        if (exhausted_ || units > limit_ - spent_) {
            exhausted_ = true;
            return false;
        }
        spent_ += units;
        return true;
    }
    bool exhausted() const { return exhausted_; }
    std::uint64_t spent() const { return spent_; }

private:
    std::uint64_t limit_;
    std::uint64_t spent_ = 0;
    bool exhausted_ = false;
};

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

    // This context with `budget` attached (borrowed: it must outlive the copy).
    SolveContext with_budget(EffortBudget& budget) const {
        SolveContext copy = *this;
        copy.budget_ = &budget;
        return copy;
    }

    // Charges work to the budget; always true without one.
    bool charge_effort(std::uint64_t units) const {
        return budget_ == nullptr || budget_->charge(units);
    }

    // True once a budget ran out; callers then start no further run.
    bool effort_exhausted() const { return budget_ != nullptr && budget_->exhausted(); }

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
    EffortBudget* budget_ = nullptr;
};

}  // namespace zelk
