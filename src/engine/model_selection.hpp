#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kov {

// What a formula costs to describe the data with: its fit and its size.
struct FormulaCost {
    double sse;                    // sum of squared residuals of the real parts
    std::size_t rows;              // n
    std::size_t fitted_constants;  // k: Real tokens (fitted numbers) of the formula
    std::uint64_t complexity;      // tokens
};

struct NoiseModel {
    double target_rms;
    std::optional<double> sigma;  // known noise (standard deviation)
};

// BIC-style description length in nats, lower is better:
//   n/2 · log(σ²) + SSE/(2σ²) + k/2 · log(n) + complexity · log(operator count)
// σ² is the known noise variance when given, else SSE/n; both are floored so that exact fits stay
// finite and comparable.
[[nodiscard]] double description_length(const FormulaCost& cost, const NoiseModel& noise);

// Noise standard deviation estimated from the data alone (no formula). Deterministic; close to 0
// for smooth noise-free data.
[[nodiscard]] double estimate_noise(const std::vector<std::vector<double>>& rows,
                                    std::span<const double> targets);

}  // namespace kov
