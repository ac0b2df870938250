#include "engine/select/model_selection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <numeric>

#include "engine/fit/dense_solve.hpp"
#include "engine/select/simple_values.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {

void count_numbers(const Expression& formula, FormulaCost& cost) {
    cost.fitted_constants = 0;
    cost.simple_constants = 0.0;
    for (const Token& token : formula.tokens) {
        if (token.kind != TokenKind::Real) continue;
        const std::optional<double> named =
            token.value.im == 0.0 ? simple_value_cost(token.value.re) : std::nullopt;
        if (named) {
            cost.simple_constants += *named;
        } else {
            ++cost.fitted_constants;
        }
    }
}

FormulaCost formula_cost(const Expression& formula, double sse, std::size_t rows,
                         std::size_t variables) {
    FormulaCost cost;
    cost.sse = sse;
    cost.rows = rows;
    cost.complexity = formula.tokens.size();
    count_numbers(formula, cost);
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
    return likelihood + parameters + cost.simple_constants + structure;
}

namespace {

constexpr std::size_t max_centres = 1000;
constexpr std::size_t min_centres = 8;
// Rows the estimate looks at: evenly strided beyond this, so that its cost (each centre against
// every row) stays bounded; a thousand rows resolve what the estimate needs.
constexpr std::size_t max_pool = 1000;
// A best estimate below this fraction of the previous degree's shows no noise floor.
constexpr double floor_ratio = 0.4;
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
    if (data.points.size() > max_pool) {
        const std::size_t stride = (data.points.size() + max_pool - 1) / max_pool;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < data.points.size(); i += stride, ++kept) {
            if (kept != i) data.points[kept] = std::move(data.points[i]);
            data.targets[kept] = data.targets[i];
        }
        data.points.resize(kept);
        data.targets.resize(kept);
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

// The nearest rows of each centre (up to 1000 evenly spread rows), nearest first, ties by index;
// the centre itself is never its own neighbour.
struct Neighbourhoods {
    std::vector<std::size_t> centres;
    std::vector<std::vector<std::size_t>> nearest;  // per centre
};

// Rows within `count` places of the centre in the order of one input hold its `count` nearest;
// rows beyond them qualify only by a tie in distance. Gives the same neighbours as comparing the
// centre with every row, in time that grows as n log n rather than n².
std::vector<std::pair<double, std::size_t>> nearest_along_one_input(
    const Standardised& data, const std::vector<std::size_t>& order,
    const std::vector<std::size_t>& place, std::size_t centre, std::size_t count) {
    const std::size_t n = order.size();
    const double x = data.points[centre][0];
    const auto distance = [&](std::size_t j) {
        const double d = data.points[j][0] - x;
        return std::make_pair(d * d, j);
    };
    std::vector<std::pair<double, std::size_t>> distances;
    std::size_t low = place[centre] >= count ? place[centre] - count : 0;
    std::size_t high = std::min(n - 1, place[centre] + count);
    for (std::size_t p = low; p <= high; ++p) {
        if (order[p] != centre) distances.push_back(distance(order[p]));
    }
    std::nth_element(distances.begin(), distances.begin() + (count - 1), distances.end());
    const double reach = distances[count - 1].first;
    while (low > 0 && distance(order[low - 1]).first <= reach)
        distances.push_back(distance(order[--low]));
    while (high + 1 < n && distance(order[high + 1]).first <= reach) {
        distances.push_back(distance(order[++high]));
    }
    return distances;
}

Neighbourhoods find_neighbourhoods(const Standardised& data, std::size_t count) {
    Neighbourhoods out;
    const std::size_t n = data.points.size();
    const std::size_t dims = data.points[0].size();
    count = std::min(count, n - 1);
    const std::size_t stride = std::max<std::size_t>(1, (n + max_centres - 1) / max_centres);
    std::vector<std::size_t> order;
    std::vector<std::size_t> place;
    if (dims == 1) {
        order.resize(n);
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return std::make_pair(data.points[a][0], a) < std::make_pair(data.points[b][0], b);
        });
        place.resize(n);
        for (std::size_t p = 0; p < n; ++p) place[order[p]] = p;
    }
    std::vector<std::pair<double, std::size_t>> distances(n);
    for (std::size_t centre = 0; centre < n; centre += stride) {
        if (dims == 1) {
            distances = nearest_along_one_input(data, order, place, centre, count);
        } else {
            const auto& x = data.points[centre];
            for (std::size_t j = 0; j < n; ++j) {
                double d2 = 0.0;
                for (std::size_t v = 0; v < dims; ++v) {
                    const double d = data.points[j][v] - x[v];
                    d2 += d * d;
                }
                distances[j] = {j == centre ? std::numeric_limits<double>::infinity() : d2, j};
            }
        }
        std::nth_element(distances.begin(), distances.begin() + count, distances.end());
        std::sort(distances.begin(), distances.begin() + count);
        std::vector<std::size_t> nearest(count);
        for (std::size_t r = 0; r < count; ++r) nearest[r] = distances[r].second;
        out.centres.push_back(centre);
        out.nearest.push_back(std::move(nearest));
    }
    return out;
}

std::size_t neighbours_for(std::size_t dims, int degree) {
    return monomials(dims, degree).size() + 2 + dims;
}

// Robust σ from local polynomials of one degree; NaN when too few rows allow the fit.
double estimate_for_degree(const Standardised& data, const Neighbourhoods& hoods, int degree) {
    const std::size_t dims = data.points[0].size();
    const auto terms = monomials(dims, degree);
    const std::size_t p = terms.size();
    const std::size_t neighbours = neighbours_for(dims, degree);
    if (hoods.nearest.empty() || hoods.nearest[0].size() < neighbours) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    // A neighbourhood reaching across much of the data is not local: what the polynomial leaves
    // there is mostly signal it cannot follow, which would pass for noise. Its extent along each
    // axis is about (neighbours / rows)^(1/dims) of the data's: at most half of it in one
    // variable, where high degrees still follow the signal, and a third of the rows in more.
    const double held = static_cast<double>(neighbours) / static_cast<double>(data.points.size());
    if (held > std::max(std::pow(0.5, static_cast<double>(dims)), 1.0 / 3.0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }

    std::vector<double> design(neighbours * p);
    std::vector<double> gram(p * p);
    std::vector<double> factor(p * p);
    std::vector<double> rhs(p);
    std::vector<double> unit(p);
    std::vector<double> local(dims);
    std::vector<double> scaled;
    for (std::size_t c = 0; c < hoods.centres.size(); ++c) {
        const std::size_t centre = hoods.centres[c];
        const auto& x = data.points[centre];
        const std::vector<std::size_t>& nearest = hoods.nearest[c];
        const std::size_t farthest = nearest[neighbours - 1];
        double radius2 = 0.0;
        for (std::size_t v = 0; v < dims; ++v) {
            const double d = data.points[farthest][v] - x[v];
            radius2 += d * d;
        }
        const double radius = std::sqrt(radius2);
        if (!(radius > 0.0)) continue;

        std::fill(gram.begin(), gram.end(), 0.0);
        std::fill(rhs.begin(), rhs.end(), 0.0);
        for (std::size_t r = 0; r < neighbours; ++r) {
            const std::size_t j = nearest[r];
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

double noise_estimate_spread(std::size_t rows) {
    // The median of m values of a χ²(1) variable: standard error 1 / (2 f(q) √m) with f its density
    // at the median q = chi2_median; halved again for σ = √(σ²).
    const double density =
        std::exp(-chi2_median / 2.0) / std::sqrt(2.0 * std::numbers::pi * chi2_median);
    const std::size_t stride = std::max<std::size_t>(1, (rows + max_centres - 1) / max_centres);
    const double centres =
        static_cast<double>(std::max<std::size_t>((rows + stride - 1) / stride, 1));
    return 1.0 / (4.0 * density * chi2_median * std::sqrt(centres));
}

double estimate_noise(const std::vector<std::vector<double>>& rows,
                      std::span<const double> targets) {
    const Standardised data = standardise(rows, targets);
    if (data.points.empty() || data.points[0].empty()) return 0.0;
    const std::size_t dims = data.points[0].size();
    const int max_degree = dims == 1 ? 5 : (dims <= 5 ? 2 : 1);
    if (data.points.size() < 2) return 0.0;
    const Neighbourhoods hoods = find_neighbourhoods(data, neighbours_for(dims, max_degree));
    std::vector<double> estimates;
    for (int degree = 1; degree <= max_degree; ++degree) {
        estimates.push_back(estimate_for_degree(data, hoods, degree));
    }
    // One degree alone cannot tell noise from the curvature it leaves: a floor needs a second
    // degree that does not go below it.
    if (std::count_if(estimates.begin(), estimates.end(),
                      [](double e) { return std::isfinite(e); }) < 2) {
        return 0.0;
    }
    std::size_t best = 0;
    for (std::size_t d = 1; d < estimates.size(); ++d) {
        if (estimates[d] < estimates[best] || std::isnan(estimates[best])) best = d;
    }
    if (!std::isfinite(estimates[best])) return 0.0;
    // Noise is a floor that higher degrees cannot go below. When the best degree still removes
    // most of what the degree before it left, the residuals are signal the polynomials have not
    // resolved yet (smooth data, or too few rows): no noise floor shows.
    if (best > 0 && estimates[best] < floor_ratio * estimates[best - 1]) return 0.0;
    return estimates[best];
}

}  // namespace kov
