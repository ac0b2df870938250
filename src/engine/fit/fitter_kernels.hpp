#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/expression.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/builtin_table.hpp"
#include "ops/complex.hpp"
#include "ops/complex_math.hpp"

// Row kernels of the column-wise ConstantFitter: one operator applied to a range of rows. A row has
// no value when an operand has none, when the operator declines, or when its result is non-finite
// or too large, exactly as in the token-by-token evaluator.
namespace kov::fitting {

// One token's values: `stride` 1 for a value per row, 0 for one value shared by all rows.
struct ColumnView {
    const Complex* values;
    const std::uint8_t* ok;
    std::size_t stride;
};

using Kernel = void (*)(ColumnView a, ColumnView b, Complex* out, std::uint8_t* ok,
                        std::size_t begin, std::size_t end);

// Built-in `Id` over rows [begin, end), through the same dispatcher as Operator::eval.
template <std::size_t Id>
inline void apply_builtin(ColumnView a, ColumnView b, Complex* out, std::uint8_t* ok,
                          std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
        const std::size_t ia = j * a.stride;
        const std::size_t ib = j * b.stride;
        if (a.ok[ia] & b.ok[ib]) {
            const std::optional<Complex> result = eval_builtin<Id>(a.values[ia], b.values[ib]);
            if (result && is_acceptable_value(*result)) {
                out[j] = *result;
                ok[j] = 1;
                continue;
            }
        }
        out[j] = Complex{};
        ok[j] = 0;
    }
}

// KOV and Divide dominate fitting time. These variants split them into the steps of cmath::kov and
// cmath::divide, with the same building blocks and the same arithmetic, so that a part depending
// on one operand alone can be computed once instead of once per row.

// KOV(a, b) given exp(a): ln(b), then exp(a) - ln(b).
inline void kov_with_known_exp(ColumnView exp_a, ColumnView b, Complex* out, std::uint8_t* ok,
                               std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
        const std::size_t ie = j * exp_a.stride;
        const std::size_t ib = j * b.stride;
        if (exp_a.ok[ie] & b.ok[ib]) {
            const std::optional<Complex> l = cmath::ln(b.values[ib]);
            if (l) {
                const Complex e = exp_a.values[ie];
                const Complex result{e.re - l->re, e.im - l->im};
                if (is_acceptable_value(result)) {
                    out[j] = result;
                    ok[j] = 1;
                    continue;
                }
            }
        }
        out[j] = Complex{};
        ok[j] = 0;
    }
}

// KOV(a, b) given ln(b), present only where b's modulus is not zero.
inline void kov_with_known_log(ColumnView a, ColumnView ln_b, Complex* out, std::uint8_t* ok,
                               std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
        const std::size_t ia = j * a.stride;
        const std::size_t il = j * ln_b.stride;
        if (a.ok[ia] & ln_b.ok[il]) {
            const Complex e = cmath::exp(a.values[ia]);
            const Complex l = ln_b.values[il];
            const Complex result{e.re - l.re, e.im - l.im};
            if (is_acceptable_value(result)) {
                out[j] = result;
                ok[j] = 1;
                continue;
            }
        }
        out[j] = Complex{};
        ok[j] = 0;
    }
}

// Divide(a, b) without the operator's zero-modulus test. That test only declines for a divisor
// whose parts are both zero (hypot is never 0 otherwise), and then d = 0 while both numerators are
// sums of products with those zeros (zero or NaN), so the quotient is NaN and the evaluator's
// acceptance test rejects the row just as the decline would: the outcome is the same on every row,
// without a hypot per row.
inline void divide_rows(ColumnView a, ColumnView b, Complex* out, std::uint8_t* ok,
                        std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
        const std::size_t ia = j * a.stride;
        const std::size_t ib = j * b.stride;
        if (a.ok[ia] & b.ok[ib]) {
            const Complex result = cmath::quotient(a.values[ia], b.values[ib]);
            if (is_acceptable_value(result)) {
                out[j] = result;
                ok[j] = 1;
                continue;
            }
        }
        out[j] = Complex{};
        ok[j] = 0;
    }
}

// KOV(a, b) given both exp(a) and ln(b).
inline void kov_from_parts(ColumnView exp_a, ColumnView ln_b, Complex* out, std::uint8_t* ok,
                           std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
        const std::size_t ie = j * exp_a.stride;
        const std::size_t il = j * ln_b.stride;
        if (exp_a.ok[ie] & ln_b.ok[il]) {
            const Complex e = exp_a.values[ie];
            const Complex l = ln_b.values[il];
            const Complex result{e.re - l.re, e.im - l.im};
            if (is_acceptable_value(result)) {
                out[j] = result;
                ok[j] = 1;
                continue;
            }
        }
        out[j] = Complex{};
        ok[j] = 0;
    }
}

template <std::size_t... Ids>
constexpr std::array<Kernel, sizeof...(Ids)> make_kernels(std::index_sequence<Ids...>) {
    return {&apply_builtin<Ids>...};
}

inline constexpr std::array<Kernel, builtin_id::count> kernels =
    make_kernels(std::make_index_sequence<builtin_id::count>{});

// KOV over rows [begin, end). `a_is_exp` / `b_is_log` say that an operand already holds exp(a) /
// ln(b) (computed once per fit); an operand shared by all rows gets its part computed here once.
inline void run_kov(ColumnView a, bool a_is_exp, ColumnView b, bool b_is_log, Complex* out,
                    std::uint8_t* ok, std::size_t begin, std::size_t end) {
    Complex exp_once{};
    std::uint8_t exp_ok = 0;
    if (!a_is_exp && a.stride == 0) {
        exp_once = cmath::exp(a.values[0]);
        exp_ok = a.ok[0];
        a = {&exp_once, &exp_ok, 0};
        a_is_exp = true;
    }
    Complex log_once{};
    std::uint8_t log_ok = 0;
    if (!b_is_log && b.stride == 0) {
        const std::optional<Complex> l = cmath::ln(b.values[0]);
        log_ok = b.ok[0] && l.has_value();
        if (l) log_once = *l;
        b = {&log_once, &log_ok, 0};
        b_is_log = true;
    }
    if (a_is_exp && b_is_log) {
        kov_from_parts(a, b, out, ok, begin, end);
    } else if (a_is_exp) {
        kov_with_known_exp(a, b, out, ok, begin, end);
    } else if (b_is_log) {
        kov_with_known_log(a, b, out, ok, begin, end);
    } else {
        apply_builtin<builtin_id::kov>(a, b, out, ok, begin, end);
    }
}

// Ids beyond the table have no kernel; callers check them before asking.
constexpr std::uint8_t builtin_arity(std::size_t id) {
    return id < builtin_table.size() ? builtin_table[id].arity : 0;
}

// Stands in for a missing operand: always present, never read by the operator.
inline constexpr Complex absent_value{};
inline constexpr std::uint8_t absent_ok = 1;
inline constexpr ColumnView absent_operand{&absent_value, &absent_ok, 0};

}  // namespace kov::fitting
