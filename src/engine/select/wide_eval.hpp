#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/expression.hpp"

namespace kov {

// A complex number in the platform's extended precision (80-bit on x86-64).
struct WideComplex {
    long double re = 0.0L;
    long double im = 0.0L;
};

// Which side of a branch cut an operand lying on it (up to rounding) is taken from: as computed,
// or nudged just above (+1) or below (-1) the cut. A formula whose real value depends on the side
// has no value there that other careful arithmetic would reproduce.
enum class CutSide : std::int8_t { below = -1, as_computed = 0, above = 1 };

// The formula of built-in operators evaluated with the same formulas as the engine's
// (ops/complex_math.hpp) but in extended precision, with the named constants to that precision.
// No value where an operator declines or a value is not finite, or for an operator that is not
// built in.
[[nodiscard]] std::optional<WideComplex> eval_wide(std::span<const Token> tokens,
                                                   std::span<const Complex> vars, CutSide side);

}  // namespace kov
