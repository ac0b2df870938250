#pragma once

#include <cstddef>
#include <string>

#include "core/expression.hpp"

namespace kov {

// The formulas the thorough search writes itself (affine maps, sums, powers) are built through
// the expression type from the built-in operators, so that their tokens and text follow the
// same composition rules as the levels' expressions. Operators are named by their ids
// (ops/builtin_ids.hpp).

// A fitted number as formula text, to the last bit.
[[nodiscard]] std::string number_text(double value);

// A fitted number: a Real token, written to the last bit.
[[nodiscard]] Expression number(double value);

// A built-in constant (builtin_id::one, …) as the levels write it.
[[nodiscard]] Expression builtin_constant(std::size_t id);

// The built-in operator `op` applied to one or two operands.
[[nodiscard]] Expression apply_builtin(std::size_t op, const Expression& operand);
[[nodiscard]] Expression apply_builtin(std::size_t op, const Expression& first,
                                       const Expression& second);

}  // namespace kov
