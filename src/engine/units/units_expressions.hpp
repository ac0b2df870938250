#pragma once

#include <vector>

#include "core/expression.hpp"
#include "engine/units/units_reduction.hpp"
#include "ops/registry.hpp"

namespace kov {

// A monomial as a fraction of two products of powers; either side may be absent (no tokens).
struct MonomialForm {
    Expression numerator;
    Expression denominator;
};

// The products of powers without a power operator: whole powers as repeated Times, halves as the
// Sqrt of a whole power, other fractions as Exp(Times(p/q, Log(x))). Negative exponents go to the
// denominator, so a group computes the same values as the engine's reduction did.
[[nodiscard]] MonomialForm monomial_form(const OperatorRegistry& registry,
                                         const Monomial& monomial);

// The monomial as one expression: numerator, Inv(denominator) or their quotient; the integer 1
// when empty.
[[nodiscard]] Expression monomial_expression(const OperatorRegistry& registry,
                                             const Monomial& monomial);

// The formula over the original variables: each variable k of `reduced` replaced by
// replacements[k], the whole multiplied by the scale's numerator and divided by its denominator.
// Formula texts are composed afresh, so they match the tokens.
[[nodiscard]] Expression restore_formula(const OperatorRegistry& registry,
                                         const Expression& reduced,
                                         const std::vector<Expression>& replacements,
                                         const MonomialForm& scale);

}  // namespace kov
