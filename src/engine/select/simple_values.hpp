#pragma once

#include <optional>
#include <vector>

namespace kov {

// The one place that decides which numbers are simple: small integers, ratios p/q with q <= 12,
// and named constants with simple closed forms of them (π, e, π/2, 2π, π², √2, √3, 1/√(2π), e²,
// ln 2, …). Snapping replaces fitted numbers by these values, and the criterion charges a number
// holding one of them as a named choice rather than as a fitted parameter.

// The simple values tried for a fitted number, simplest first (at most a handful).
[[nodiscard]] std::vector<double> simple_values_near(double value);

// What naming the number costs when it is exactly (to the bit) one of the simple values, as
// snapping leaves it, in nats; none for any other number. Snapping tries the simple values near a
// number simplest first, so naming the chosen one is naming how many were tried up to it: log of
// its place in that order (an integer, always tried first, costs nothing beyond its token).
[[nodiscard]] std::optional<double> simple_value_cost(double value);

}  // namespace kov
