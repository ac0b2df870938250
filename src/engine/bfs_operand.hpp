#pragma once

#include <optional>

#include "core/complex.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/complex_math.hpp"

namespace kov::bfs {

// What a binary operator computes from one operand alone. KOV is exp(a) - ln(b) and Divide tests
// |b| before dividing: caching these per parent turns the two costliest operators into a few
// arithmetic operations per child, with the very same numbers.
struct OperandParts {
    Complex exp{};
    Complex ln{};
    bool has_ln = false;
    bool zero_modulus = false;
};

[[nodiscard]] inline OperandParts operand_parts(Complex z) {
    OperandParts parts;
    parts.exp = cmath::exp(z);
    const std::optional<Complex> ln = cmath::ln(z);
    parts.has_ln = ln.has_value();
    parts.ln = ln.value_or(Complex{});
    parts.zero_modulus = cmath::has_zero_modulus(z);
    return parts;
}

// eval_builtin(Op, a, b) for one operator, written out so that it inlines into the search's
// loops (the generic switch is too large for the compiler to inline everywhere).
template <std::size_t Op>
[[nodiscard]] inline std::optional<Complex> apply_op(Complex a, Complex b) {
    if constexpr (Op == builtin_id::kov)
        return cmath::kov(a, b);
    else if constexpr (Op == builtin_id::neg)
        return cmath::neg(a);
    else if constexpr (Op == builtin_id::inv)
        return cmath::inv(a);
    else if constexpr (Op == builtin_id::plus)
        return cmath::plus(a, b);
    else if constexpr (Op == builtin_id::times)
        return cmath::times(a, b);
    else if constexpr (Op == builtin_id::subtract)
        return cmath::subtract(a, b);
    else if constexpr (Op == builtin_id::divide)
        return cmath::divide(a, b);
    else if constexpr (Op == builtin_id::exp)
        return cmath::exp(a);
    else if constexpr (Op == builtin_id::log)
        return cmath::ln(a);
    else if constexpr (Op == builtin_id::sqrt)
        return cmath::sqrt(a);
    else if constexpr (Op == builtin_id::sin)
        return cmath::sin(a);
    else if constexpr (Op == builtin_id::cos)
        return cmath::cos(a);
    else if constexpr (Op == builtin_id::tan)
        return cmath::tan(a);
    else if constexpr (Op == builtin_id::arcsin)
        return cmath::arcsin(a);
    else if constexpr (Op == builtin_id::arccos)
        return cmath::arccos(a);
    else if constexpr (Op == builtin_id::arctan)
        return cmath::arctan(a);
    else
        return eval_builtin(Op, a, b);  // the constants
}

// eval_builtin(op, a, b) for a binary operator, from the operands and their cached parts.
[[nodiscard]] inline std::optional<Complex> apply_binary(std::size_t op, Complex a, Complex b,
                                                         const OperandParts& a_parts,
                                                         const OperandParts& b_parts) {
    switch (op) {
        case builtin_id::kov:
            if (!b_parts.has_ln) return std::nullopt;
            return Complex{a_parts.exp.re - b_parts.ln.re, a_parts.exp.im - b_parts.ln.im};
        case builtin_id::divide:
            if (b_parts.zero_modulus) return std::nullopt;
            return cmath::quotient(a, b);
        case builtin_id::plus:
            return cmath::plus(a, b);
        case builtin_id::times:
            return cmath::times(a, b);
        case builtin_id::subtract:
            return cmath::subtract(a, b);
        default:
            return eval_builtin(op, a, b);
    }
}

}  // namespace kov::bfs
