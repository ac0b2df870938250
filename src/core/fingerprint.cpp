#include "core/fingerprint.hpp"

#include <cmath>
#include <limits>
#include <vector>

namespace kov {

namespace {

constexpr double key_scale = 1e10;
constexpr double imaginary_step = 0.1;

}  // namespace

Complex probe_value(unsigned probe, unsigned index) {
    const double re = probe_constants[(probe + index) % probe_constants.size()];
    const double im = probe % 2 == 1 ? static_cast<double>(index + 1) * imaginary_step : 0.0;
    return Complex{re, im};
}

std::int64_t fingerprint_key(double part) {
    const double rounded = std::round(part * key_scale);  // halfway cases away from zero
    // Converting an out-of-range double to an integer is undefined, so clamp first. 2^63 is exact
    // in binary64; -2^63 itself is representable as int64.
    constexpr double two_pow_63 = 9223372036854775808.0;
    if (rounded >= two_pow_63) return std::numeric_limits<std::int64_t>::max();
    if (rounded < -two_pow_63) return std::numeric_limits<std::int64_t>::min();
    if (std::isnan(rounded)) return 0;  // never reached from fingerprint(): NaN parts are absent
    return static_cast<std::int64_t>(rounded);
}

std::optional<Fingerprint> fingerprint_from_values(
    const std::array<std::optional<Complex>, 5>& values) {
    Fingerprint result;
    for (std::size_t probe = 0; probe < values.size(); ++probe) {
        const std::optional<Complex>& value = values[probe];
        if (!value || !is_acceptable_value(*value)) return std::nullopt;
        result[probe] = {fingerprint_key(value->re), fingerprint_key(value->im)};
    }
    return result;
}

std::optional<Fingerprint> fingerprint(const Expression& expression,
                                       const OperatorList& operators) {
    std::vector<Complex> vars(expression.var_count);
    std::vector<Complex> stack;
    stack.reserve(expression.complexity);
    std::array<std::optional<Complex>, 5> values;
    for (unsigned probe = 0; probe < values.size(); ++probe) {
        for (unsigned i = 0; i < vars.size(); ++i) vars[i] = probe_value(probe, i);
        stack.clear();
        values[probe] = eval_internal(expression.tokens, vars, {}, operators, stack);
        if (!values[probe]) return std::nullopt;  // no need to evaluate the remaining probes
    }
    return fingerprint_from_values(values);
}

}  // namespace kov
