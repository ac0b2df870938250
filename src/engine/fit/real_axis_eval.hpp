#pragma once

#include <cmath>
#include <cstddef>
#include <optional>

#include "ops/builtin_ids.hpp"
#include "ops/builtin_table.hpp"
#include "ops/complex.hpp"

namespace kov {

// eval_builtin for the fitter's inner loop, bit for bit the same. Most values a fit sees lie on
// the real axis (imaginary part ±0); there cosh(±0) = 1, sinh(±0) = ±0, cos(±0) = 1 and
// sin(±0) = ±0 exactly, and |z| = |re|, so the complex formulas reduce to one or two real calls
// instead of four plus a hypot. Anything off the axis goes to eval_builtin.
[[nodiscard, gnu::always_inline]] inline std::optional<Complex> eval_builtin_on_real_axis(
    std::size_t id, Complex a, Complex b) noexcept {
    if (a.im != 0.0 || b.im != 0.0) return eval_builtin(id, a, b);
    const double x = a.re;
    const double y = a.im;  // ±0
    const auto exp_of = [](double re, double im) -> Complex {
        if (!std::isfinite(re)) return cmath::exp(Complex{re, im});
        const double e = std::exp(re);
        return Complex{e, e * im};
    };
    const auto ln_of = [](double re, double im) -> std::optional<Complex> {
        const double r = std::fabs(re);
        if (r == 0.0 || std::isnan(re)) return cmath::ln(Complex{re, im});
        return Complex{std::log(r), re > 0.0 ? im : std::atan2(im, re)};
    };
    switch (id) {
        case builtin_id::exp:
            return exp_of(x, y);
        case builtin_id::log:
            return ln_of(x, y);
        case builtin_id::kov: {
            const Complex e = exp_of(x, y);
            const std::optional<Complex> l = ln_of(b.re, b.im);
            if (!l) return std::nullopt;
            return Complex{e.re - l->re, e.im - l->im};
        }
        case builtin_id::sin:
            return Complex{std::sin(x), std::cos(x) * y};
        case builtin_id::cos:
            return Complex{std::cos(x), (-std::sin(x)) * y};
        case builtin_id::tan: {
            const Complex s{std::sin(x), std::cos(x) * y};
            const Complex c{std::cos(x), (-std::sin(x)) * y};
            if (c.re == 0.0) return std::nullopt;  // |c| = |c.re| on the axis
            return cmath::quotient(s, c);
        }
        case builtin_id::divide:
            if (b.re == 0.0) return std::nullopt;
            return cmath::quotient(a, b);
        case builtin_id::inv: {
            if (x == 0.0) return std::nullopt;
            const double d = x * x + y * y;
            return Complex{(0.0 * y + x) / d, (0.0 * x - y) / d};
        }
        default:
            return eval_builtin(id, a, b);
    }
}

}  // namespace kov
