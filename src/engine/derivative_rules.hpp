#pragma once

#include <array>
#include <cstddef>

#include "core/complex.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/complex_math.hpp"

namespace kov {

// Complex derivatives of the built-in operators with respect to their operands, for forward-mode
// differentiation through a formula's tokens. Every built-in is holomorphic away from its branch
// cuts and poles, so one complex derivative per operand carries the chain rule through complex
// intermediate values. Where a derivative is undefined (a pole, a branch point) the result is not
// finite and the caller treats it as carrying no gradient information.
struct Partials {
    Complex first{};   // d value / d operand 0
    Complex second{};  // d value / d operand 1 (binary operators only)
};

// a, b: the operands (b unused for unary operators); value: the operator's result at them.
using DerivativeRule = Partials (*)(Complex a, Complex b, Complex value);

namespace derivative_detail {

inline Complex mul(Complex p, Complex q) {
    return {p.re * q.re - p.im * q.im, p.re * q.im + p.im * q.re};
}

inline Complex reciprocal(Complex z) {
    const double d = z.re * z.re + z.im * z.im;
    return {z.re / d, -z.im / d};
}

inline Complex scaled(Complex z, double s) {
    return {z.re * s, z.im * s};
}

// 1 / sqrt(1 - z²), shared by ArcSin and ArcCos.
inline Complex inverse_root_one_minus_square(Complex z) {
    const Complex square = mul(z, z);
    return reciprocal(cmath::sqrt(Complex{1.0 - square.re, -square.im}));
}

constexpr std::array<DerivativeRule, builtin_id::count> make_rules() {
    std::array<DerivativeRule, builtin_id::count> rules{};
    const DerivativeRule constant = [](Complex, Complex, Complex) { return Partials{}; };
    rules[builtin_id::zero] = constant;
    rules[builtin_id::one] = constant;
    rules[builtin_id::imaginary_unit] = constant;
    rules[builtin_id::pi] = constant;
    rules[builtin_id::e] = constant;
    // exp(a) − ln(b)
    rules[builtin_id::kov] = [](Complex a, Complex b, Complex) {
        return Partials{cmath::exp(a), scaled(reciprocal(b), -1.0)};
    };
    rules[builtin_id::neg] = [](Complex, Complex, Complex) { return Partials{{-1.0, 0.0}, {}}; };
    // d(1/a) = −(1/a)²
    rules[builtin_id::inv] = [](Complex, Complex, Complex v) {
        return Partials{scaled(mul(v, v), -1.0), {}};
    };
    rules[builtin_id::plus] = [](Complex, Complex, Complex) {
        return Partials{{1.0, 0.0}, {1.0, 0.0}};
    };
    rules[builtin_id::times] = [](Complex a, Complex b, Complex) { return Partials{b, a}; };
    rules[builtin_id::subtract] = [](Complex, Complex, Complex) {
        return Partials{{1.0, 0.0}, {-1.0, 0.0}};
    };
    // d(a/b) = 1/b da − (a/b)/b db
    rules[builtin_id::divide] = [](Complex, Complex b, Complex v) {
        const Complex r = reciprocal(b);
        return Partials{r, scaled(mul(v, r), -1.0)};
    };
    rules[builtin_id::exp] = [](Complex, Complex, Complex v) { return Partials{v, {}}; };
    rules[builtin_id::log] = [](Complex a, Complex, Complex) {
        return Partials{reciprocal(a), {}};
    };
    rules[builtin_id::sqrt] = [](Complex, Complex, Complex v) {
        return Partials{reciprocal(scaled(v, 2.0)), {}};
    };
    rules[builtin_id::sin] = [](Complex a, Complex, Complex) {
        return Partials{cmath::cos(a), {}};
    };
    rules[builtin_id::cos] = [](Complex a, Complex, Complex) {
        return Partials{scaled(cmath::sin(a), -1.0), {}};
    };
    // d tan = 1 + tan²
    rules[builtin_id::tan] = [](Complex, Complex, Complex v) {
        const Complex square = mul(v, v);
        return Partials{{1.0 + square.re, square.im}, {}};
    };
    rules[builtin_id::arcsin] = [](Complex a, Complex, Complex) {
        return Partials{inverse_root_one_minus_square(a), {}};
    };
    rules[builtin_id::arccos] = [](Complex a, Complex, Complex) {
        return Partials{scaled(inverse_root_one_minus_square(a), -1.0), {}};
    };
    // d arctan = 1 / (1 + a²)
    rules[builtin_id::arctan] = [](Complex a, Complex, Complex) {
        const Complex square = mul(a, a);
        return Partials{reciprocal(Complex{1.0 + square.re, square.im}), {}};
    };
    return rules;
}

constexpr bool every_rule_present(const std::array<DerivativeRule, builtin_id::count>& rules) {
    for (const DerivativeRule rule : rules) {
        if (rule == nullptr) return false;
    }
    return true;
}

}  // namespace derivative_detail

// One rule per built-in operator, indexed by its registry id.
inline constexpr std::array<DerivativeRule, builtin_id::count> derivative_rules =
    derivative_detail::make_rules();
static_assert(derivative_detail::every_rule_present(derivative_rules),
              "every built-in operator needs a derivative rule");

}  // namespace kov
