// ZELK_ASSERT(condition): checks an internal invariant where it is cheap to
// state. Active in builds that define ZELK_ENABLE_ASSERTS (the sanitizer
// build the tests run in), where a broken invariant stops the program at its
// source with the condition, file and line; compiled out otherwise, so it
// never replaces the returned-error checks of inputs.
#pragma once

#if defined(ZELK_ENABLE_ASSERTS)
#include <cstdio>
#include <cstdlib>

namespace zelk::detail {
[[noreturn]] inline void assertion_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, condition);
    std::abort();
}
}  // namespace zelk::detail

#define ZELK_ASSERT(condition)          \
    ((condition) ? static_cast<void>(0) \
                 : ::zelk::detail::assertion_failed(#condition, __FILE__, __LINE__))
#else
#define ZELK_ASSERT(condition) static_cast<void>(0)
#endif
