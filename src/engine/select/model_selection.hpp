#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/expression.hpp"

namespace kov {

// What the criterion needs to know about one fitted formula.
struct FormulaCost {
    double sse = 0.0;                  // sum of squared residuals of the real parts
    std::size_t rows = 0;              // n
    std::size_t fitted_constants = 0;  // k: Real tokens holding fitted numbers
    std::uint64_t complexity = 0;      // tokens
    // Symbols a token is chosen from: the 21 built-in operators and one variable by default.
    std::uint64_t alphabet_size = 22;
    // Nats naming the Real tokens that hold simple values (snapped, not fitted: not in k).
    double simple_constants = 0.0;
};

// target_rms: root mean square of the targets, the scale of the data. sigma: the standard
// deviation of the noise when the caller knows it (a sigma that is not a positive number counts
// as unknown).
struct NoiseModel {
    double target_rms = 0.0;
    std::optional<double> sigma;
};

// Sets cost.fitted_constants and cost.simple_constants from the formula's Real tokens: a token
// holding exactly a simple value is named, any other is fitted.
void count_numbers(const Expression& formula, FormulaCost& cost);

// The cost record of a formula: its numbers counted by count_numbers, and each token chosen
// among the 21 built-in operators and the `variables` input variables.
[[nodiscard]] FormulaCost formula_cost(const Expression& formula, double sse, std::size_t rows,
                                       std::size_t variables);

// Description length of the data given a formula, in nats (smaller is better): a BIC-style code
// of Gaussian residuals, the fitted constants and the formula's tokens,
//   DL = n/2 · log(2πσ²) + SSE/(2σ²) + k/2 · log(n) + simple_constants
//        + complexity · log(alphabet_size).
// σ² is the known noise variance when given, otherwise the maximum-likelihood SSE/n; either way
// at least floor², floor = 1e-12 · target_rms + 1e-150. The floor makes every fit that is exact
// to evaluation rounding (a few ulps, amplified by a few operations) equally good, so that among
// exact formulas the shorter one wins, and it keeps exact fits finite. The parameter cost is
// BIC's k/2 · log n rather than ESR's precision term because it needs no Fisher information and
// stays monotone in k; the structure cost charges each token the log of the choices it had.
// An infinite or NaN SSE gives +inf.
[[nodiscard]] double description_length(const FormulaCost& cost, const NoiseModel& noise);

// Standard deviation of the noise, estimated from the data alone (no formula) on at most 1000
// evenly strided rows: at each of them, a local polynomial fitted to its nearest neighbours (inputs
// standardised) predicts the row's target; the residuals, divided by their variance factor
// 1 + leverage, give a robust (median-based) estimate of σ for each polynomial degree (1 to 5
// with one variable, 1 and 2 with up to five, 1 with more). Smooth signal only adds to a
// residual, so the smallest estimate is the least biased one; noise shows as a floor that higher
// degrees cannot go below. When the best degree still falls well below the degree before it, no
// floor shows (smooth noise-free data, or signal the rows do not resolve) and the result is 0:
// the search must not stop early on a level it mistook for noise. Deterministic; 0 when there
// are too few rows to tell.
[[nodiscard]] double estimate_noise(const std::vector<std::vector<double>>& rows,
                                    std::span<const double> targets);

// Relative standard error of estimate_noise's σ on data of `rows` rows: the median of one squared
// local residual per centre (at most 1000 centres) has a relative spread of about 1.17/√centres
// in σ when the noise is Gaussian.
[[nodiscard]] double noise_estimate_spread(std::size_t rows);

}  // namespace kov
