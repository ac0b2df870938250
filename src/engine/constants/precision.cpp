#include "engine/constants/precision.hpp"

#include <algorithm>
#include <cmath>

namespace kov {

Precision precision_of(double value, std::optional<int> digits) {
    const double magnitude = std::fabs(value);
    Precision precision;
    precision.tolerance = evaluation_rounding * magnitude;
    // Zero is only matched exactly, which leaves nothing to chance.
    if (!digits || magnitude == 0.0) return precision;
    const double leading = std::floor(std::log10(magnitude));
    const double half_unit = 0.5 * std::pow(10.0, leading - (*digits - 1));
    if (!(half_unit > precision.tolerance)) return precision;
    precision.tolerance = half_unit;
    const double budget = std::floor(magnitude / (2.0 * half_unit));
    // Only a very coarse precision makes this small; beyond 2^63 it never limits a search.
    precision.formula_budget =
        budget < 0x1p63 ? static_cast<std::uint64_t>(std::max(1.0, budget)) : UINT64_MAX;
    return precision;
}

}  // namespace kov
