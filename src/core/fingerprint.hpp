#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/expression.hpp"

namespace kov {

// A formula's values at five fixed probe points, scaled by 1e10 and rounded (half away from zero,
// clamped to the int64 range): (real key, imaginary key) per probe, in probe order.
using Fingerprint = std::array<std::pair<std::int64_t, std::int64_t>, 5>;

inline constexpr std::array<double, 5> probe_constants = {
    0.5772156649015329, 1.2824271291006226, 1.618033988749895, 0.6931471805599453, 1.202056903159594,
};

// Value of variable `index` at probe `probe`: the real part is probe constant (probe + index) mod 5,
// the imaginary part 0.0 on even probes and (index + 1) * 0.1 on odd ones.
[[nodiscard]] Complex probe_value(unsigned probe, unsigned index);

// Key of one scaled part: round(part * 1e10) half away from zero, clamped to int64.
[[nodiscard]] std::int64_t fingerprint_key(double part);

// Absent when evaluation fails at a probe or a part there is not strictly below 1e15 in magnitude.
[[nodiscard]] std::optional<Fingerprint> fingerprint(const Expression& expression,
                                                     const OperatorList& operators);

// The same from the formula's values at the five probes (as the search caches them).
[[nodiscard]] std::optional<Fingerprint> fingerprint_from_values(
    const std::array<std::optional<Complex>, 5>& values);

}  // namespace kov
