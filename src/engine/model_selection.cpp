#include "engine/model_selection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "engine/dense_solve.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {

FormulaCost formula_cost(const Expression& formula, double sse, std::size_t rows,
                         std::size_t variables) {
    FormulaCost cost;
    cost.sse = sse;
    cost.rows = rows;
    cost.complexity = formula.tokens.size();
    cost.fitted_constants = static_cast<std::size_t>(
        std::count_if(formula.tokens.begin(), formula.tokens.end(),
                      [](const Token& token) { return token.kind == TokenKind::Real; }));
    cost.alphabet_size = builtin_id::count + std::max<std::size_t>(variables, 1);
    return cost;
}

double description_length(const FormulaCost& cost, const NoiseModel& noise) {
    if (!(cost.sse >= 0.0) || !std::isfinite(cost.sse)) {
        return std::numeric_limits<double>::infinity();
    }
    const double alphabet = static_cast<double>(std::max<std::uint64_t>(cost.alphabet_size, 2));
    const double structure = static_cast<double>(cost.complexity) * std::log(alphabet);
    if (cost.rows == 0) return structure;
    const double n = static_cast<double>(cost.rows);
    const double scale = std::isfinite(noise.target_rms) ? std::fabs(noise.target_rms) : 0.0;
    const double floor = 1e-12 * scale + 1e-150;
    double variance = cost.sse / n;
    if (noise.sigma && std::isfinite(*noise.sigma) && *noise.sigma > 0.0) {
        variance = *noise.sigma * *noise.sigma;
    }
    variance = std::max(variance, floor * floor);
    const double likelihood =
        0.5 * n * std::log(2.0 * std::numbers::pi * variance) + cost.sse / (2.0 * variance);
    const double parameters = 0.5 * static_cast<double>(cost.fitted_constants) * std::log(n);
    return likelihood + parameters + structure;
}

namespace {

constexpr std::size_t max_centres = 1000;
constexpr std::size_t min_centres = 8;
// Median of a χ² variable with one degree of freedom: turns a median squared residual into σ².
constexpr double chi2_median = 0.45493642311957283;

// Exponent tuples of all monomials of total degree <= degree in `dims` variables, constant first.
std::vector<std::vector<int>> monomials(std::size_t dims, int degree) {
    std::vector<std::vector<int>> out{std::vector<int>(dims, 0)};
    std::vector<std::vector<int>> frontier = out;
    for (int d = 1; d <= degree; ++d) {
        std::vector<std::vector<int>> next;
        for (const auto& m : frontier) {
            // Raise only the last raised variable or later ones, so each monomial appears once.
            std::size_t first = 0;
            for (std::size_t v = 0; v < dims; ++v) {
                if (m[v] > 0) first = v;
            }
            for (std::size_t v = first; v < dims; ++v) {
                auto raised = m;
                ++raised[v];
                next.push_back(raised);
            }
        }
        out.insert(out.end(), next.begin(), next.end());
        frontier = std::move(next);
    }
    return out;
}

struct Standardised {
    std::vector<std::vector<double>> points;  // usable rows, columns scaled to unit spread
    std::vector<double> targets;
};

Standardised standardise(const std::vector<std::vector<double>>& rows,
                         std::span<const double> targets) {
    Standardised data;
    const std::size_t count = std::min(rows.size(), targets.size());
    if (count == 0) return data;
    const std::size_t dims = rows[0].size();
    for (std::size_t i = 0; i < count; ++i) {
        if (rows[i].size() != dims || !std::isfinite(targets[i])) continue;
        if (!std::all_of(rows[i].begin(), rows[i].end(), [](double v) { return std::isfinite(v); }))
            continue;
        data.points.push_back(rows[i]);
        data.targets.push_back(targets[i]);
    }
    // Columns without spread carry no information about neighbourhoods: drop them.
    std::vector<std::vector<double>> columns;
    for (std::size_t v = 0; v < dims; ++v) {
        double mean = 0.0;
        for (const auto& p : data.points) mean += p[v];
        mean /= static_cast<double>(std::max<std::size_t>(data.points.size(), 1));
        double ss = 0.0;
        for (const auto& p : data.points) ss += (p[v] - mean) * (p[v] - mean);
        const double spread = std::sqrt(ss / static_cast<double>(data.points.size()));
        if (!(spread > 0.0)) continue;
        std::vector<double> column;
        for (const auto& p : data.points) column.push_back((p[v] - mean) / spread);
        columns.push_back(std::move(column));
    }
    for (std::size_t i = 0; i < data.points.size(); ++i) {
        data.points[i].resize(columns.size());
        for (std::size_t v = 0; v < columns.size(); ++v) data.points[i][v] = columns[v][i];
    }
    return data;
}

// Robust σ from local polynomials of one degree; NaN when too few rows allow the fit.
double estimate_for_degree(const Standardised& data, int degree) {
    const std::size_t n = data.points.size();
    const std::size_t dims = data.points[0].size();
    const auto terms = monomials(dims, degree);
    const std::size_t p = terms.size();
    const std::size_t neighbours = p + 2 + dims;
    if (n < neighbours + 1) return std::numeric_limits<double>::quiet_NaN();

    const std::size_t stride = std::max<std::size_t>(1, (n + max_centres - 1) / max_centres);
    std::vector<std::pair<double, std::size_t>> distances(n);
    std::vector<double> design(neighbours * p);
    std::vector<double> gram(p * p);
    std::vector<double> factor(p * p);
    std::vector<double> rhs(p);
    std::vector<double> unit(p);
    std::vector<double> local(dims);
    std::vector<double> scaled;
    for (std::size_t centre = 0; centre < n; centre += stride) {
        const auto& x = data.points[centre];
        for (std::size_t j = 0; j < n; ++j) {
            double d2 = 0.0;
            for (std::size_t v = 0; v < dims; ++v) {
                const double d = data.points[j][v] - x[v];
                d2 += d * d;
            }
            // The centre itself sorts last so it is never its own neighbour.
            distances[j] = {j == centre ? std::numeric_limits<double>::infinity() : d2, j};
        }
        std::nth_element(distances.begin(), distances.begin() + neighbours - 1, distances.end());
        std::sort(distances.begin(), distances.begin() + neighbours);
        const double radius = std::sqrt(distances[neighbours - 1].first);
        if (!(radius > 0.0)) continue;

        std::fill(gram.begin(), gram.end(), 0.0);
        std::fill(rhs.begin(), rhs.end(), 0.0);
        for (std::size_t r = 0; r < neighbours; ++r) {
            const std::size_t j = distances[r].second;
            for (std::size_t v = 0; v < dims; ++v) local[v] = (data.points[j][v] - x[v]) / radius;
            double* row = &design[r * p];
            for (std::size_t t = 0; t < p; ++t) {
                double value = 1.0;
                for (std::size_t v = 0; v < dims; ++v) {
                    for (int e = 0; e < terms[t][v]; ++e) value *= local[v];
                }
                row[t] = value;
            }
            for (std::size_t a = 0; a < p; ++a) {
                rhs[a] += row[a] * data.targets[j];
                for (std::size_t b = 0; b < p; ++b) gram[a * p + b] += row[a] * row[b];
            }
        }
        factor = gram;
        if (!cholesky_solve(factor, rhs, p)) continue;
        factor = gram;
        std::fill(unit.begin(), unit.end(), 0.0);
        unit[0] = 1.0;
        if (!cholesky_solve(factor, unit, p)) continue;
        // In local coordinates the prediction at the centre is the constant term, and its
        // variance is σ² times the (0, 0) entry of the inverse Gram matrix.
        const double residual = data.targets[centre] - rhs[0];
        const double variance_factor = 1.0 + unit[0];
        if (!std::isfinite(residual) || !(variance_factor >= 1.0)) continue;
        scaled.push_back(residual * residual / variance_factor);
    }
    if (scaled.size() < min_centres) return std::numeric_limits<double>::quiet_NaN();
    auto middle = scaled.begin() + static_cast<std::ptrdiff_t>(scaled.size() / 2);
    std::nth_element(scaled.begin(), middle, scaled.end());
    return std::sqrt(*middle / chi2_median);
}

}  // namespace

double estimate_noise(const std::vector<std::vector<double>>& rows,
                      std::span<const double> targets) {
    const Standardised data = standardise(rows, targets);
    if (data.points.empty() || data.points[0].empty()) return 0.0;
    const std::size_t dims = data.points[0].size();
    const int max_degree = dims == 1 ? 5 : (dims <= 5 ? 2 : 1);
    double best = std::numeric_limits<double>::infinity();
    for (int degree = 1; degree <= max_degree; ++degree) {
        const double estimate = estimate_for_degree(data, degree);
        if (estimate < best) best = estimate;  // NaN never wins
    }
    return std::isfinite(best) ? best : 0.0;
}

}  // namespace kov
