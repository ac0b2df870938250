#pragma once

#include <span>

#include "core/expression.hpp"
#include "engine/fit/optimizer.hpp"
#include "engine/select/model_selection.hpp"
#include "engine/select/simple_values.hpp"

namespace kov {

// Replaces fitted numbers (Real tokens) by nearby simple values where the data allow it: small
// integers, ratios p/q with q <= 12, and named constants with simple closed forms of them (π, e,
// π/2, 2π, π², √2, √3, 1/√(2π), e², ln 2, …). Greedy: each round tries the simplest values near
// every remaining fitted number, refits the others (least squares, snapped values fixed), and
// keeps the one snap that gives the smallest description length, provided the description length
// does not grow; it stops when no snap qualifies. A snapped number stays a Real token holding the
// exact double of its value, so with noise-free data a snapped formula reproduces the targets to
// rounding or is not snapped. Beyond 256 rows the greedy rounds run on 256 evenly spread rows and
// all rows only confirm what those propose, so that the cost barely grows with the data. The
// formula text is left as it was: fitted numbers are shown from the tokens. Deterministic.
[[nodiscard]] Expression snap_constants(const Expression& fitted, const ComplexRows& rows,
                                        std::span<const double> targets, const NoiseModel& noise,
                                        const OperatorList& operators);

}  // namespace kov
