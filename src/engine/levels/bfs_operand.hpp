#pragma once

#include <array>
#include <cstddef>
#include <optional>

#include "ops/builtin_ids.hpp"
#include "ops/builtin_table.hpp"
#include "ops/complex.hpp"
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

// eval_builtin(Op, a, b) for one operator, as a direct call that inlines into the search's loops
// (the dispatch on a run-time id cannot inline).
template <std::size_t Op>
[[nodiscard]] inline std::optional<Complex> apply_op(Complex a, Complex b) {
    return eval_builtin<Op>(a, b);
}

// The binary operators that apply_binary writes out. A new binary operator must join them (with
// its own case, or through eval_builtin in the default branch) before the search is built.
inline constexpr std::array<std::size_t, 5> binary_cases = {
    builtin_id::kov, builtin_id::divide, builtin_id::plus, builtin_id::times, builtin_id::subtract};

constexpr bool every_binary_operator_has_a_case() {
    for (const BuiltinRow& row : builtin_table) {
        if (row.arity != 2) continue;
        bool found = false;
        for (const std::size_t id : binary_cases) found = found || id == row.id;
        if (!found) return false;
    }
    return true;
}
static_assert(every_binary_operator_has_a_case(),
              "apply_binary: add the new binary operator to binary_cases and its switch");

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
