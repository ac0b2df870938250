#include "engine/select/residual_structure.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>

namespace kov {

namespace {

// Fewer pairs than this cannot show structure at the test's significance.
constexpr std::size_t min_rows = 8;

// splitmix64: a fixed, portable sequence (std::shuffle's differs between standard libraries).
std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

ResidualStructure::ResidualStructure(const std::vector<std::vector<double>>& rows) {
    if (rows.empty()) return;
    const std::size_t dims = rows.front().size();
    std::vector<std::size_t> usable;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].size() != dims) continue;
        if (std::all_of(rows[i].begin(), rows[i].end(), [](double v) { return std::isfinite(v); }))
            usable.push_back(i);
    }
    if (usable.size() < min_rows || dims == 0) return;
    const std::size_t count = std::min(usable.size(), row_limit);
    for (std::size_t k = 0; k < count; ++k) tested_.push_back(usable[k * usable.size() / count]);

    // Inputs scaled to unit spread, so that no variable's units decide who is a neighbour.
    std::vector<double> points(count * dims);
    for (std::size_t v = 0; v < dims; ++v) {
        double mean = 0.0;
        for (std::size_t i : tested_) mean += rows[i][v];
        mean /= static_cast<double>(count);
        double squares = 0.0;
        for (std::size_t i : tested_) squares += (rows[i][v] - mean) * (rows[i][v] - mean);
        const double spread = std::sqrt(squares / static_cast<double>(count));
        const double scale = spread > 0.0 ? 1.0 / spread : 0.0;
        for (std::size_t k = 0; k < count; ++k) {
            points[k * dims + v] = (rows[tested_[k]][v] - mean) * scale;
        }
    }
    neighbour_.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        double nearest = std::numeric_limits<double>::infinity();
        std::size_t best = k == 0 ? 1 : 0;
        for (std::size_t j = 0; j < count; ++j) {
            if (j == k) continue;
            double d2 = 0.0;
            for (std::size_t v = 0; v < dims; ++v) {
                const double d = points[j * dims + v] - points[k * dims + v];
                d2 += d * d;
            }
            if (d2 < nearest) {  // ties go to the earlier row
                nearest = d2;
                best = j;
            }
        }
        neighbour_[k] = best;
    }
}

double ResidualStructure::p_value(std::span<const double> residuals) const {
    if (tested_.empty()) return 1.0;
    std::vector<double> values(tested_.size());
    for (std::size_t k = 0; k < tested_.size(); ++k) {
        if (tested_[k] >= residuals.size() || !std::isfinite(residuals[tested_[k]])) return 0.0;
        values[k] = residuals[tested_[k]];
    }
    // The denominator of S is the same for every permutation: the numerators decide.
    const auto neighbour_sum = [&](const std::vector<double>& r) {
        double sum = 0.0;
        for (std::size_t k = 0; k < r.size(); ++k) {
            const double d = r[k] - r[neighbour_[k]];
            sum += d * d;
        }
        return sum;
    };
    const double observed = neighbour_sum(values);
    if (!std::isfinite(observed)) return 0.0;
    std::uint64_t state = 0x6E6F697365ULL;
    std::size_t as_small = 0;
    std::vector<double> shuffled = values;
    for (std::size_t p = 0; p < permutations; ++p) {
        for (std::size_t i = shuffled.size() - 1; i > 0; --i) {
            const std::size_t j = static_cast<std::size_t>(next_random(state) % (i + 1));
            std::swap(shuffled[i], shuffled[j]);
        }
        if (neighbour_sum(shuffled) <= observed) ++as_small;
    }
    return static_cast<double>(as_small + 1) / static_cast<double>(permutations + 1);
}

}  // namespace kov
