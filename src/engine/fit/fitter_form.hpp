#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/expression.hpp"

// What the literal fitting loop and the column-wise ConstantFitter share: the fixed numbers of the
// fit, the parameter form, the fitted form and the few arithmetic steps whose exact order both must
// follow, so that the two cannot drift apart by a rounding.
namespace kov::fitting {

inline constexpr double fitting_threshold = 2.0;
inline constexpr double difference_step = 1e-6;
inline constexpr double initial_damping = 0.01;
inline constexpr double damping_change = 10.0;
inline constexpr int round_limit = 20;
inline constexpr double convergence_threshold = 1e-9;
// Param indices are 8 bits wide: with more constants, parameter slots would be shared, so such an
// expression is not fitted and keeps its raw error.
inline constexpr std::size_t max_fitted_constants = 256;

struct ParameterForm {
    Expression form;                     // every Const token turned into Param 0, 1, 2, ...
    std::vector<std::size_t> positions;  // token positions of those Param tokens, in order
    std::vector<double> initial;         // starting values: the real parts of the constants
};

[[nodiscard]] std::size_t count_constants(const Expression& expression);

[[nodiscard]] ParameterForm make_parameter_form(const Expression& candidate);

// A copy of `form` whose tokens at `positions` become Real tokens holding `values`; the formula
// text, complexity and var_count are copied unchanged.
[[nodiscard]] Expression make_fitted_form(const Expression& form,
                                          std::span<const std::size_t> positions,
                                          std::span<const double> values);

[[nodiscard]] inline double squared_difference(double prediction, double target) {
    const double d = prediction - target;
    return d * d;
}

// Forward-difference derivative of one row's prediction.
[[nodiscard]] inline double difference_quotient(double probed, double base) {
    return (probed - base) / difference_step;
}

[[nodiscard]] inline double damped_step(double value, double gradient, double damping) {
    return value - gradient / (damping + difference_step);
}

}  // namespace kov::fitting
