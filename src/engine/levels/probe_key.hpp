#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace kov::bfs {

// The same number as fingerprint_key (round(part * 1e10) half away from zero, clamped to int64),
// computed inline with an integer conversion: the search calls it ten times per candidate.
[[nodiscard]] inline std::int64_t probe_key(double part) {
    const double scaled = part * 1e10;
    constexpr double two_pow_52 = 4503599627370496.0;
    if (scaled > -two_pow_52 && scaled < two_pow_52) {
        // Truncation is exact here and so is the fraction it leaves.
        auto key = static_cast<std::int64_t>(scaled);
        const double fraction = scaled - static_cast<double>(key);
        if (fraction >= 0.5) ++key;
        if (fraction <= -0.5) --key;
        return key;
    }
    // Already an integer (or NaN, which the callers never pass).
    constexpr double two_pow_63 = 9223372036854775808.0;
    if (scaled >= two_pow_63) return std::numeric_limits<std::int64_t>::max();
    if (scaled < -two_pow_63) return std::numeric_limits<std::int64_t>::min();
    if (std::isnan(scaled)) return 0;
    return static_cast<std::int64_t>(scaled);
}

}  // namespace kov::bfs
