#pragma once

#include "core/expression.hpp"
#include "engine/fit/optimizer.hpp"
#include "ops/registry.hpp"

namespace kov {

// The formula without parts that do nothing: terms multiplied by zero and zero terms, factors and
// divisors of one (a factor of minus one becomes Neg), double negations, and variable-free
// imaginary terms whose only effect is on the imaginary part the real-part rule drops. The result
// is kept only where its real values on `points` are those of the formula (to rounding, relative
// to `scale`); otherwise the formula comes back as it was. Its text is written anew.
[[nodiscard]] Expression cleaned_formula(const Expression& formula,
                                         const OperatorRegistry& registry,
                                         const ComplexRows& points, double scale);

}  // namespace kov
