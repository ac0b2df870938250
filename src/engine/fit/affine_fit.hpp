#pragma once

#include <cstddef>
#include <type_traits>

namespace kov {

// The best affine map a·f + b of values f onto targets y by least squares, and the one rule for
// when f is constant and explains nothing beyond the mean. The fitter solves it in double for
// every step; the front's affine forms in long double, so that an exact line comes back with its
// numbers to the last bit.

// f has spread when its centred sum of squares Σ(f − mean f)² exceeds 1e-26 of its raw one Σf²:
// a relative spread above 1e-13, a few hundred roundings of f. Double sums below 1e-300 have
// lost their digits to underflow and count as none; long double sums of doubles' squares do not
// underflow.
inline constexpr double double_underflow = 1e-300;

template <class Real>
[[nodiscard]] bool has_spread(Real centred_squares, Real raw_squares) {
    constexpr Real underflow = std::is_same_v<Real, double> ? Real(double_underflow) : Real(0);
    constexpr Real least_share = static_cast<Real>(1e-26L);
    return centred_squares > underflow && centred_squares > least_share * raw_squares;
}
static_assert(static_cast<double>(1e-26L) == 1e-26, "the rule is the same in both precisions");

template <class Real>
struct AffineFit {
    Real mean_f = 0;
    Real mean_y = 0;
    // The best a and b; a = 0 and b = mean y when f has no spread (`constant`).
    Real scale = 0;
    Real offset = 0;
    bool constant = true;
    // Σf² and Σf·y, for the best map a·f without an offset (a = Σf·y / Σf²).
    Real raw_squares = 0;
    Real raw_products = 0;
};

// Two passes, the second on centred values, so that a large common offset of f or y does not
// cancel the digits of the spread. `value(j)` and `target(j)` give row j's f and y as doubles.
template <class Real, class Value, class Target>
[[nodiscard]] AffineFit<Real> fit_affine(std::size_t n, const Value& value, const Target& target) {
    AffineFit<Real> fit;
    if (n == 0) return fit;
    for (std::size_t j = 0; j < n; ++j) {
        fit.mean_f += value(j);
        fit.mean_y += target(j);
    }
    fit.mean_f /= static_cast<Real>(n);
    fit.mean_y /= static_cast<Real>(n);
    Real s_ff = 0;
    Real s_fy = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const Real f = value(j) - fit.mean_f;
        s_ff += f * f;
        s_fy += f * (target(j) - fit.mean_y);
        fit.raw_squares += static_cast<Real>(value(j)) * value(j);
        fit.raw_products += static_cast<Real>(value(j)) * target(j);
    }
    fit.constant = !has_spread(s_ff, fit.raw_squares);
    fit.scale = fit.constant ? Real(0) : s_fy / s_ff;
    fit.offset = fit.mean_y - fit.scale * fit.mean_f;
    return fit;
}

}  // namespace kov
