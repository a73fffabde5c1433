// format_sci: the one text form of every floating value the solver prints.
//
// Lower-case scientific notation with three digits after the point and an
// exponent without a plus sign or leading zeros: 1.000e-30, 2.500e3,
// 0.000e0; infinities print as inf and -inf, any NaN as nan.
// Cost: one small string per call; meant for diagnostics, not hot loops.
#pragma once

#include <string>

namespace zelk {

std::string format_sci(double value);

}  // namespace zelk
