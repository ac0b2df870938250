#include "engine/model_selection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace kov {
namespace {

constexpr double operator_count = 21.0;
// Relative and absolute floors of σ: exact fits differ only by rounding, which is no evidence.
constexpr double relative_floor = 1e-15;
constexpr double absolute_floor = 1e-300;
// Nearest neighbours are searched among at most this many rows (by a fixed stride).
constexpr std::size_t neighbour_rows = 2000;

double noise_floor(double target_rms) {
    return relative_floor * target_rms + absolute_floor;
}

// One variable: the middle of three neighbours in sorted x against the line through the outer two.
double estimate_along_line(const std::vector<std::vector<double>>& rows,
                           std::span<const double> targets) {
    std::vector<std::size_t> order(targets.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return rows[a][0] < rows[b][0]; });
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t i = 1; i + 1 < order.size(); ++i) {
        const double x0 = rows[order[i - 1]][0];
        const double x1 = rows[order[i]][0];
        const double x2 = rows[order[i + 1]][0];
        if (!(x2 > x0)) continue;
        const double w = (x1 - x0) / (x2 - x0);
        const double predicted = (1.0 - w) * targets[order[i - 1]] + w * targets[order[i + 1]];
        const double residual = targets[order[i]] - predicted;
        sum += residual * residual / (1.0 + w * w + (1.0 - w) * (1.0 - w));
        ++count;
    }
    return count == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(count));
}

// Several variables: differences to the nearest neighbour in standardised inputs.
double estimate_by_neighbours(const std::vector<std::vector<double>>& rows,
                              std::span<const double> targets) {
    const std::size_t n = rows.size();
    const std::size_t d = rows.front().size();
    std::vector<double> scale(d, 1.0);
    for (std::size_t j = 0; j < d; ++j) {
        double mean = 0.0;
        for (const auto& row : rows) mean += row[j];
        mean /= static_cast<double>(n);
        double ss = 0.0;
        for (const auto& row : rows) ss += (row[j] - mean) * (row[j] - mean);
        const double sd = std::sqrt(ss / static_cast<double>(n));
        scale[j] = sd > 0.0 ? 1.0 / sd : 0.0;
    }
    const std::size_t stride = std::max<std::size_t>(1, n / neighbour_rows);
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; i += stride) {
        double best = std::numeric_limits<double>::infinity();
        std::size_t nearest = i;
        for (std::size_t k = 0; k < n; k += stride) {
            if (k == i) continue;
            double distance = 0.0;
            for (std::size_t j = 0; j < d; ++j) {
                const double delta = (rows[i][j] - rows[k][j]) * scale[j];
                distance += delta * delta;
            }
            if (distance < best) {
                best = distance;
                nearest = k;
            }
        }
        if (nearest == i) continue;
        const double difference = targets[i] - targets[nearest];
        sum += difference * difference / 2.0;
        ++count;
    }
    return count == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(count));
}

}  // namespace

double description_length(const FormulaCost& cost, const NoiseModel& noise) {
    const double n = static_cast<double>(cost.rows);
    const double floor = noise_floor(noise.target_rms);
    const double sigma =
        noise.sigma ? std::max(*noise.sigma, floor) : std::max(std::sqrt(cost.sse / n), floor);
    const double variance = sigma * sigma;
    return n / 2.0 * std::log(variance) + cost.sse / (2.0 * variance) +
           static_cast<double>(cost.fitted_constants) / 2.0 * std::log(n) +
           static_cast<double>(cost.complexity) * std::log(operator_count);
}

double estimate_noise(const std::vector<std::vector<double>>& rows,
                      std::span<const double> targets) {
    if (rows.size() < 3 || rows.size() != targets.size() || rows.front().empty()) return 0.0;
    for (const auto& row : rows) {
        if (row.size() != rows.front().size()) return 0.0;  // not points of one space
    }
    if (rows.front().size() == 1) return estimate_along_line(rows, targets);
    return estimate_by_neighbours(rows, targets);
}

}  // namespace kov
