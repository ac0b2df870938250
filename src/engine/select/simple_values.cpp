#include "engine/select/simple_values.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <numeric>

namespace kov {

namespace {

// How far from a fitted number a simple value may lie to be tried at all (relative, with an
// absolute floor for numbers near zero); the criterion decides whether the data allow it.
constexpr double search_window = 0.1;
constexpr std::size_t values_per_number = 5;
constexpr int largest_denominator = 12;

struct Simple {
    double value;
    int rank;  // lower is simpler
};

// Named constants and simple closed forms of them, with their simplicity ranks.
std::vector<Simple> named_values() {
    using std::numbers::e;
    using std::numbers::pi;
    const double root_two_pi = std::sqrt(2.0 * pi);
    return {
        {pi, 1},
        {e, 1},
        {pi / 2.0, 2},
        {2.0 * pi, 2},
        {pi * pi, 3},
        {pi / 3.0, 3},
        {pi / 4.0, 3},
        {pi / 6.0, 3},
        {1.0 / pi, 3},
        {std::numbers::sqrt2, 2},
        {std::numbers::sqrt3, 2},
        {std::sqrt(5.0), 3},
        {1.0 / std::numbers::sqrt2, 3},
        {1.0 / std::numbers::sqrt3, 3},
        {std::sqrt(pi), 3},
        {root_two_pi, 3},
        {1.0 / root_two_pi, 3},
        {e * e, 3},
        {1.0 / e, 3},
        {std::sqrt(e), 3},
        {std::numbers::ln2, 2},
        {std::numbers::ln10, 3},
        {std::log(3.0), 3},
        {std::numbers::phi, 3},
    };
}

// Every simple value within the window of `value`, simplest first, then nearest, each once.
std::vector<double> simple_values_within_window(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 1e9) return {};
    std::vector<Simple> found;
    const double window = search_window * std::max(std::fabs(value), 1.0);
    const auto consider = [&](double candidate, int rank) {
        if (std::fabs(candidate - value) <= window) found.push_back({candidate, rank});
    };
    consider(std::round(value), 0);
    for (int q = 2; q <= largest_denominator; ++q) {
        const double p = std::round(value * q);
        if (std::gcd(static_cast<std::int64_t>(std::fabs(p)), q) != 1) continue;
        consider(p / q, q <= 4 ? 2 : 4);
    }
    for (const Simple& named : named_values()) {
        consider(named.value, named.rank);
        consider(-named.value, named.rank);
    }
    // An integer is also p/1: a value already listed only once.
    std::stable_sort(found.begin(), found.end(), [&](const Simple& a, const Simple& b) {
        if (a.rank != b.rank) return a.rank < b.rank;
        return std::fabs(a.value - value) < std::fabs(b.value - value);
    });
    std::vector<double> out;
    for (const Simple& s : found) {
        if (std::find(out.begin(), out.end(), s.value) == out.end()) out.push_back(s.value);
    }
    return out;
}

}  // namespace

std::vector<double> simple_values_near(double value) {
    std::vector<double> out = simple_values_within_window(value);
    if (out.size() > values_per_number) out.resize(values_per_number);
    return out;
}

std::optional<double> simple_value_cost(double value) {
    const std::vector<double> near = simple_values_within_window(value);
    const auto found = std::find(near.begin(), near.end(), value);
    if (found == near.end()) return std::nullopt;
    return std::log(static_cast<double>(found - near.begin() + 1));
}

}  // namespace kov
