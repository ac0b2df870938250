#pragma once

#include "core/expression.hpp"
#include "engine/fit/least_squares.hpp"
#include "ops/registry.hpp"

namespace kov {

// The formula a least-squares fit stands for: the form with each Param token replaced by a Real
// token holding its fitted value, wrapped as Times(a, f) when the scale a is not 1 and as
// Plus(…, b) when the offset b is not 0. The Real leaves' text is the number's shortest
// round-trip decimal form; the rest of the text is the form's.
[[nodiscard]] Expression fitted_expression(const Expression& form, const LeastSquaresFit& fit,
                                           const OperatorRegistry& registry);

}  // namespace kov
