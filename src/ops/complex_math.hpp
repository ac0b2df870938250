#pragma once

// The exact complex semantics of the built-in operators. Every formula here fixes its order of
// operations, including the multiplications by 0.0, 1.0 and -0.0: they decide signed zeros and
// NaN propagation, and signed zeros decide the branch a following Log, Sqrt or atan2 takes.
//
// The operator table (ops/builtin_table.hpp) names one of these functions per operator. The search
// applies them directly in its hot loops while expressions go through the virtual Operator::eval;
// both reach these same inline functions, so they agree bit for bit as long as no translation unit
// is built with value-changing floating-point options. The build passes
// -ffp-contract=off (no FMA contraction); fast-math would reassociate and drop signed zeros.
// GCC fuses sin and cos of one argument into sincos at -O2; glibc's sincos shares its code with
// sin and cos and returns the same bits, so optimised and unoptimised builds agree.
#if defined(__FAST_MATH__)
#error "kov_sr's operators need IEEE semantics; do not build with -ffast-math"
#endif

#include <cmath>
#include <limits>
#include <optional>

#include "ops/complex.hpp"

namespace kov::cmath {

inline constexpr double half_pi = 1.5707963267948966;

inline constexpr Complex zero_value{0.0, 0.0};
inline constexpr Complex one_value{1.0, 0.0};
inline constexpr Complex imaginary_unit_value{0.0, 1.0};
// The same, under a name that fits the columns of the operator table.
inline constexpr const Complex& i_value = imaginary_unit_value;
inline constexpr Complex pi_value{3.141592653589793, 0.0};
inline constexpr Complex e_value{2.718281828459045, 0.0};

// ---- Building blocks -----------------------------------------------------------------------

inline double modulus(Complex z) noexcept {
    return std::hypot(z.re, z.im);
}

// A NaN modulus is not zero, so NaN operands never make an operator decline.
inline bool has_zero_modulus(Complex z) noexcept {
    return modulus(z) == 0.0;
}

inline std::optional<Complex> ln(Complex z) noexcept {
    const double r = modulus(z);
    if (r == 0.0) return std::nullopt;
    return Complex{std::log(r), std::atan2(z.im, z.re)};
}

// Special cases follow the C99 conventions for cexp.
inline Complex exp(Complex z) noexcept {
    const double x = z.re;
    const double y = z.im;
    if (std::isinf(x) && x < 0.0) {
        if (!std::isfinite(y)) return Complex{0.0, 0.0};
    } else if (std::isinf(x)) {
        if (std::isinf(y)) {
            return Complex{std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN()};
        }
        if (!std::isfinite(y) || y == 0.0) return z;  // y is NaN or a zero
    } else if (std::isnan(x)) {
        if (y == 0.0) return z;
    }
    const double e = std::exp(x);
    return Complex{e * std::cos(y), e * std::sin(y)};
}

// Principal branch; on the real axis the sign of the zero imaginary part picks the side of the cut.
inline Complex sqrt(Complex z) noexcept {
    const double x = z.re;
    const double y = z.im;
    if (y == 0.0) {
        if (!std::signbit(x)) return Complex{std::sqrt(x), y};
        const double t = std::sqrt(-x);
        return std::signbit(y) ? Complex{0.0, -t} : Complex{0.0, t};
    }
    if (x == 0.0) {
        const double t = std::sqrt(std::fabs(y) * 0.5);
        return std::signbit(y) ? Complex{t, -t} : Complex{t, t};
    }
    const double r = std::hypot(x, y);
    const double h = std::atan2(y, x) * 0.5;
    return Complex{std::cos(h) * std::sqrt(r), std::sin(h) * std::sqrt(r)};
}

inline Complex product(Complex p, Complex q) noexcept {
    return Complex{p.re * q.re - p.im * q.im, p.re * q.im + p.im * q.re};
}

inline Complex quotient(Complex p, Complex q) noexcept {
    const double d = q.re * q.re + q.im * q.im;
    return Complex{(p.re * q.re + p.im * q.im) / d, (p.im * q.re - p.re * q.im) / d};
}

// ---- Operators -------------------------------------------------------------------------------

// exp(a) - ln(b); exp is computed first.
inline std::optional<Complex> kov(Complex a, Complex b) noexcept {
    const Complex e = exp(a);
    const std::optional<Complex> l = ln(b);
    if (!l) return std::nullopt;
    return Complex{e.re - l->re, e.im - l->im};
}

// Unary minus flips the sign bit only: -0 becomes +0 and NaN keeps its payload.
inline Complex neg(Complex z) noexcept {
    return Complex{-z.re, -z.im};
}

inline std::optional<Complex> inv(Complex z) noexcept {
    if (has_zero_modulus(z)) return std::nullopt;
    const double d = z.re * z.re + z.im * z.im;
    return Complex{(0.0 * z.im + z.re) / d, (0.0 * z.re - z.im) / d};
}

inline Complex plus(Complex a, Complex b) noexcept {
    return Complex{a.re + b.re, a.im + b.im};
}

inline Complex times(Complex a, Complex b) noexcept {
    return product(a, b);
}

inline Complex subtract(Complex a, Complex b) noexcept {
    return Complex{a.re - b.re, a.im - b.im};
}

inline std::optional<Complex> divide(Complex a, Complex b) noexcept {
    if (has_zero_modulus(b)) return std::nullopt;
    return quotient(a, b);
}

inline Complex sin(Complex z) noexcept {
    return Complex{std::sin(z.re) * std::cosh(z.im), std::cos(z.re) * std::sinh(z.im)};
}

inline Complex cos(Complex z) noexcept {
    return Complex{std::cos(z.re) * std::cosh(z.im), (-std::sin(z.re)) * std::sinh(z.im)};
}

inline std::optional<Complex> tan(Complex z) noexcept {
    const Complex c = cos(z);
    if (has_zero_modulus(c)) return std::nullopt;
    return quotient(sin(z), c);
}

// u = iz + sqrt(1 - z^2), shared by ArcSin and ArcCos; no value when |u| is zero.
struct LogOfU {
    double theta;  // atan2(u.im, u.re)
    double log_modulus;
};

inline std::optional<LogOfU> arc_log_u(Complex z) noexcept {
    const double x = z.re;
    const double y = z.im;
    const Complex iz{x * 0.0 - y, y * 0.0 + x};
    const Complex w{(y * y - x * x) + 1.0, 0.0 - (x * y + x * y)};
    const Complex s = sqrt(w);
    const Complex u{iz.re + s.re, iz.im + s.im};
    const double r = modulus(u);
    if (r == 0.0) return std::nullopt;
    return LogOfU{std::atan2(u.im, u.re), std::log(r)};
}

// -i * ln(u)
inline std::optional<Complex> arcsin(Complex z) noexcept {
    const std::optional<LogOfU> l = arc_log_u(z);
    if (!l) return std::nullopt;
    const double t = l->theta;
    const double m = l->log_modulus;
    return Complex{t * 1.0 + m * -0.0, t * -0.0 + m * -1.0};
}

// pi/2 + i * ln(u)
inline std::optional<Complex> arccos(Complex z) noexcept {
    const std::optional<LogOfU> l = arc_log_u(z);
    if (!l) return std::nullopt;
    const double t = l->theta;
    const double m = l->log_modulus;
    return Complex{half_pi + (0.0 * m - t), 0.0 + (0.0 * t + m)};
}

// (i/2) * (ln(1 - iz) - ln(1 + iz))
inline std::optional<Complex> arctan(Complex z) noexcept {
    const double x = z.re;
    const double y = z.im;
    const Complex iz{x * 0.0 - y, y * 0.0 + x};
    const Complex p{1.0 - iz.re, 0.0 - iz.im};
    if (has_zero_modulus(p)) return std::nullopt;
    const Complex q{iz.re + 1.0, iz.im + 0.0};
    if (has_zero_modulus(q)) return std::nullopt;
    const double l = std::log(modulus(p)) - std::log(modulus(q));
    const double t = std::atan2(p.im, p.re) - std::atan2(q.im, q.re);
    return Complex{0.0 * l - 0.5 * t, 0.5 * l + 0.0 * t};
}

}  // namespace kov::cmath
