#pragma once

#include <cstdint>
#include <optional>

namespace kov {

// How precisely a number is known, and so what a constant search may claim about it.
struct Precision {
    // An answer matches the number when its error is at most this.
    double tolerance = 0.0;
    // Distinct formulas the search may try before a match within `tolerance` becomes likely by
    // chance alone; none when the precision leaves no room for chance matches.
    std::optional<std::uint64_t> formula_budget;
};

// Evaluating a formula in binary64 arithmetic blurs its value by about this much, relatively:
// nothing is known more precisely than this.
inline constexpr double evaluation_rounding = 1e-12;

// The precision of `value` given to `digits` significant digits (1 to 17), or, without digits,
// with all the digits of the double. Given digits mean the number is known to half a unit of its
// last digit; the tolerance is never below the evaluation rounding. The budget is the number of
// values that can be told apart at that relative precision between the number and e times it,
// 1 / (2 relative tolerance): trying more formulas than that, one is likely to land within the
// tolerance by chance.
[[nodiscard]] Precision precision_of(double value, std::optional<int> digits);

}  // namespace kov
