#pragma once

#include <array>
#include <cstddef>

#include "engine/fit/real_axis_eval.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/complex.hpp"
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

namespace derivative_detail {

inline Complex mul(Complex p, Complex q) {
    return {p.re * q.re - p.im * q.im, p.re * q.im + p.im * q.re};
}

inline Complex reciprocal(Complex z) {
    const double d = z.re * z.re + z.im * z.im;
    return {z.re / d, -z.im / d};
}

// The operator's own value, taking the real-axis shortcut (derivatives are on the fitter's hot
// path).
inline Complex value_of(std::size_t id, Complex z) {
    return *eval_builtin_on_real_axis(id, z, {});
}

inline Complex scaled(Complex z, double s) {
    return {z.re * s, z.im * s};
}

// 1 / sqrt(1 - z²), shared by ArcSin and ArcCos.
inline Complex inverse_root_one_minus_square(Complex z) {
    const Complex square = mul(z, z);
    return reciprocal(cmath::sqrt(Complex{1.0 - square.re, -square.im}));
}

// a, b: the operands (b unused for unary operators); v: the operator's result at them.
inline Partials constant(Complex, Complex, Complex) {
    return {};
}
// exp(a) − ln(b)
inline Partials kov(Complex a, Complex b, Complex) {
    return {value_of(builtin_id::exp, a), scaled(reciprocal(b), -1.0)};
}
inline Partials neg(Complex, Complex, Complex) {
    return {{-1.0, 0.0}, {}};
}
// d(1/a) = −(1/a)²
inline Partials inv(Complex, Complex, Complex v) {
    return {scaled(mul(v, v), -1.0), {}};
}
inline Partials plus(Complex, Complex, Complex) {
    return {{1.0, 0.0}, {1.0, 0.0}};
}
inline Partials times(Complex a, Complex b, Complex) {
    return {b, a};
}
inline Partials subtract(Complex, Complex, Complex) {
    return {{1.0, 0.0}, {-1.0, 0.0}};
}
// d(a/b) = 1/b da − (a/b)/b db
inline Partials divide(Complex, Complex b, Complex v) {
    const Complex r = reciprocal(b);
    return {r, scaled(mul(v, r), -1.0)};
}
inline Partials exp(Complex, Complex, Complex v) {
    return {v, {}};
}
inline Partials log(Complex a, Complex, Complex) {
    return {reciprocal(a), {}};
}
inline Partials sqrt(Complex, Complex, Complex v) {
    return {reciprocal(scaled(v, 2.0)), {}};
}
inline Partials sin(Complex a, Complex, Complex) {
    return {value_of(builtin_id::cos, a), {}};
}
inline Partials cos(Complex a, Complex, Complex) {
    return {scaled(value_of(builtin_id::sin, a), -1.0), {}};
}
// d tan = 1 + tan²
inline Partials tan(Complex, Complex, Complex v) {
    const Complex square = mul(v, v);
    return {{1.0 + square.re, square.im}, {}};
}
inline Partials arcsin(Complex a, Complex, Complex) {
    return {inverse_root_one_minus_square(a), {}};
}
inline Partials arccos(Complex a, Complex, Complex) {
    return {scaled(inverse_root_one_minus_square(a), -1.0), {}};
}
// d arctan = 1 / (1 + a²)
inline Partials arctan(Complex a, Complex, Complex) {
    const Complex square = mul(a, a);
    return {reciprocal(Complex{1.0 + square.re, square.im}), {}};
}

using PointRule = Partials (*)(Complex a, Complex b, Complex value);

inline bool is_finite(Complex z) {
    return std::isfinite(z.re) && std::isfinite(z.im);
}

// The rule over a column of rows (b may be null for unary operators). Where a derivative is not
// finite (a pole, a branch point) it is set to zero: that row carries no gradient information.
template <PointRule Rule>
void over_rows(const Complex* a, const Complex* b, const Complex* value, Complex* d_first,
               Complex* d_second, std::size_t n) {
    for (std::size_t r = 0; r < n; ++r) {
        const Partials partials = Rule(a[r], b != nullptr ? b[r] : Complex{}, value[r]);
        d_first[r] = is_finite(partials.first) ? partials.first : Complex{};
        d_second[r] = is_finite(partials.second) ? partials.second : Complex{};
    }
}

}  // namespace derivative_detail

struct DerivativeRule {
    derivative_detail::PointRule at = nullptr;
    void (*over_rows)(const Complex* a, const Complex* b, const Complex* value, Complex* d_first,
                      Complex* d_second, std::size_t n) = nullptr;
};

namespace derivative_detail {

template <PointRule Rule>
constexpr DerivativeRule rule() {
    return {Rule, &over_rows<Rule>};
}

// The rules with a record of which ids were given one. (Whether a function pointer is null is not
// a constant expression under every compiler setting, so presence is tracked beside it.)
struct RuleTable {
    std::array<DerivativeRule, builtin_id::count> rules{};
    std::array<bool, builtin_id::count> present{};

    constexpr void set(std::size_t id, DerivativeRule rule) {
        rules[id] = rule;
        present[id] = true;
    }
};

constexpr RuleTable make_rules() {
    RuleTable table;
    table.set(builtin_id::zero, rule<constant>());
    table.set(builtin_id::one, rule<constant>());
    table.set(builtin_id::imaginary_unit, rule<constant>());
    table.set(builtin_id::pi, rule<constant>());
    table.set(builtin_id::e, rule<constant>());
    table.set(builtin_id::kov, rule<kov>());
    table.set(builtin_id::neg, rule<neg>());
    table.set(builtin_id::inv, rule<inv>());
    table.set(builtin_id::plus, rule<plus>());
    table.set(builtin_id::times, rule<times>());
    table.set(builtin_id::subtract, rule<subtract>());
    table.set(builtin_id::divide, rule<divide>());
    table.set(builtin_id::exp, rule<exp>());
    table.set(builtin_id::log, rule<log>());
    table.set(builtin_id::sqrt, rule<sqrt>());
    table.set(builtin_id::sin, rule<sin>());
    table.set(builtin_id::cos, rule<cos>());
    table.set(builtin_id::tan, rule<tan>());
    table.set(builtin_id::arcsin, rule<arcsin>());
    table.set(builtin_id::arccos, rule<arccos>());
    table.set(builtin_id::arctan, rule<arctan>());
    return table;
}

constexpr bool every_rule_present(const RuleTable& table) {
    for (const bool present : table.present) {
        if (!present) return false;
    }
    return true;
}

}  // namespace derivative_detail

// One rule per built-in operator, indexed by its registry id: `at` for one point, `over_rows`
// for a column of rows.
inline constexpr std::array<DerivativeRule, builtin_id::count> derivative_rules =
    derivative_detail::make_rules().rules;
static_assert(derivative_detail::every_rule_present(derivative_detail::make_rules()),
              "every built-in operator needs a derivative rule");

}  // namespace kov
