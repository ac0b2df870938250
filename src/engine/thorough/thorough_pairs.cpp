#include "engine/thorough/thorough_pairs.hpp"

#include <algorithm>
#include <cmath>

#include "engine/fit/affine_fit.hpp"
#include "engine/levels/pool.hpp"
#include "engine/thorough/best_kept.hpp"
#include "engine/thorough/thorough_formula.hpp"
#include "engine/thorough/thorough_front.hpp"
#include "engine/thorough/thorough_tuning.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {

namespace {

struct PairOrder {
    double tied_share;
    bool operator()(const PairPick& x, const PairPick& y) const {
        const double x_left = std::fmax(x.unexplained, tied_share);
        const double y_left = std::fmax(y.unexplained, tied_share);
        if (x_left != y_left) return x_left < y_left;
        if (x.simple_numbers != y.simple_numbers) return x.simple_numbers > y.simple_numbers;
        if (x.complexity != y.complexity) return x.complexity < y.complexity;
        if (x.second != y.second) return x.second < y.second;
        return x.first < y.first;
    }
};

// Whether a number estimated with standard error `error` is within the noise of a whole or half
// number (zero only when `zero_counts`); not when the error is too wide for that to say anything.
bool near_half_integer(double value, double error, bool zero_counts) {
    const double reach = thorough_tuning.simple_number_errors * error;
    const double half = std::round(2.0 * value) / 2.0;
    if (!(reach < 0.25) || (half == 0.0 && !zero_counts)) return false;
    return std::fabs(value - half) <= reach;
}

// How many of a, b and c in a·f + b·g + c lie within the noise of simple numbers, from the pair's
// fit in unit coordinates: a unit vector's coefficient α becomes a = α · |y| / |f|.
std::uint32_t simple_numbers(const PairBlock& f, const PairBlock& g, double r, double det,
                             const PairNoise& noise) {
    const double alpha = (f.correlation - r * g.correlation) / det;
    const double beta = (g.correlation - r * f.correlation) / det;
    const double a = alpha * noise.target_norm / f.norm;
    const double b = beta * noise.target_norm / g.norm;
    const double c = noise.target_mean - a * f.mean - b * g.mean;
    const double a_error = noise.sigma / (f.norm * std::sqrt(det));
    const double b_error = noise.sigma / (g.norm * std::sqrt(det));
    const double rows = static_cast<double>(f.unit.size());
    const double c_error = std::sqrt(noise.sigma * noise.sigma / rows +
                                     std::pow(f.mean * a_error, 2) + std::pow(g.mean * b_error, 2));
    // A block whose coefficient is nothing does not make the pair simpler; no offset does.
    return near_half_integer(a, a_error, false) + near_half_integer(b, b_error, false) +
           near_half_integer(c, c_error, true);
}

// c·f as a term of a sum: f alone for 1, Times(c, f) otherwise.
Expression term(const Expression& f, double scale) {
    return scale == 1.0 ? f : apply_builtin(builtin_id::times, number(scale), f);
}

double rms_of(std::span<const double> f, double a, std::span<const double> g, double b, double c,
              std::span<const double> targets) {
    double sum = 0.0;
    for (std::size_t j = 0; j < targets.size(); ++j) {
        const double residual = a * f[j] + b * g[j] + c - targets[j];
        sum += residual * residual;
    }
    return std::sqrt(sum / static_cast<double>(targets.size()));
}

}  // namespace

int compare_fits(double first_unexplained, std::uint32_t first_complexity,
                 double second_unexplained, std::uint32_t second_complexity) {
    const double first_left = std::fmax(first_unexplained, thorough_tuning.exact_share);
    const double second_left = std::fmax(second_unexplained, thorough_tuning.exact_share);
    if (first_left != second_left) return first_left < second_left ? -1 : 1;
    if (first_complexity != second_complexity) return first_complexity < second_complexity ? -1 : 1;
    return 0;
}

namespace {

// The values centred and scaled to unit length, with their mean and the centred values' length;
// empty when they have no spread or are not finite.
std::vector<double> centred_unit(std::span<const double> values, double& mean, double& norm) {
    if (values.empty()) return {};
    mean = 0.0;
    for (double v : values) mean += v;
    mean /= static_cast<double>(values.size());
    std::vector<double> out(values.size());
    double centred_squares = 0.0;
    double raw_squares = 0.0;
    for (std::size_t j = 0; j < values.size(); ++j) {
        out[j] = values[j] - mean;
        centred_squares += out[j] * out[j];
        raw_squares += values[j] * values[j];
    }
    if (!has_spread(centred_squares, raw_squares) || !std::isfinite(centred_squares)) return {};
    norm = std::sqrt(centred_squares);
    for (double& v : out) v /= norm;
    return out;
}

}  // namespace

std::vector<double> unit_vector(std::span<const double> values) {
    double mean = 0.0;
    double norm = 0.0;
    return centred_unit(values, mean, norm);
}

bool make_pair_block(std::span<const double> values, std::span<const double> unit_target,
                     PairBlock& out) {
    out.unit = centred_unit(values, out.mean, out.norm);
    if (out.unit.empty() || out.unit.size() != unit_target.size()) return false;
    out.correlation = 0.0;
    for (std::size_t j = 0; j < unit_target.size(); ++j) {
        out.correlation += out.unit[j] * unit_target[j];
    }
    return std::isfinite(out.correlation);
}

std::optional<std::vector<PairPick>> best_pairs(std::span<const PairBlock> pool,
                                                std::span<const PairBlock> partners,
                                                std::size_t shared_begin, std::size_t shared,
                                                std::size_t count, const PairNoise& noise,
                                                const std::function<bool()>& poll) {
    const double tied_share = std::fmax(noise.tied_share, thorough_tuning.exact_share);
    const PairOrder ranks_before{tied_share};
    const bool numbers_count = noise.sigma > 0.0 && noise.target_norm > 0.0;
    std::vector<std::vector<PairPick>> heaps(worker_count());
    const bool completed = parallel_for(
        partners.size(), thorough_tuning.pairing_chunk,
        [&](std::size_t begin, std::size_t end, std::size_t worker) {
            std::vector<PairPick>& heap = heaps[worker];
            for (std::size_t q = begin; q < end; ++q) {
                const PairBlock& g = partners[q];
                const std::size_t n = g.unit.size();
                for (std::size_t p = 0; p < pool.size(); ++p) {
                    if (q < shared && p >= shared_begin + q) break;
                    const PairBlock& f = pool[p];
                    double r = 0.0;
                    for (std::size_t j = 0; j < n; ++j) r += f.unit[j] * g.unit[j];
                    const double det = 1.0 - r * r;
                    if (!(det > thorough_tuning.collinear_limit)) continue;
                    const double u = f.correlation;
                    const double v = g.correlation;
                    const double explained = (u * u - 2.0 * r * u * v + v * v) / det;
                    const double unexplained = std::fmax(1.0 - explained, 0.0);
                    if (!std::isfinite(unexplained)) continue;
                    const std::uint32_t simple = numbers_count && unexplained <= tied_share
                                                     ? simple_numbers(f, g, r, det, noise)
                                                     : 0;
                    keep_best(
                        heap,
                        PairPick{unexplained, f.complexity + g.complexity, simple,
                                 static_cast<std::uint32_t>(p), static_cast<std::uint32_t>(q)},
                        count, ranks_before);
                }
            }
        },
        poll);
    if (!completed) return std::nullopt;
    std::vector<PairPick> out;
    for (const auto& heap : heaps) out.insert(out.end(), heap.begin(), heap.end());
    std::sort(out.begin(), out.end(), ranks_before);
    if (out.size() > count) out.resize(count);
    return out;
}

bool fit_pair(std::span<const double> f, std::span<const double> g, std::span<const double> targets,
              double& a, double& b, double& c) {
    using Wide = long double;
    const std::size_t n = targets.size();
    if (n < 3 || f.size() != n || g.size() != n) return false;
    Wide mean_f = 0, mean_g = 0, mean_y = 0;
    for (std::size_t j = 0; j < n; ++j) {
        mean_f += f[j];
        mean_g += g[j];
        mean_y += targets[j];
    }
    mean_f /= static_cast<Wide>(n);
    mean_g /= static_cast<Wide>(n);
    mean_y /= static_cast<Wide>(n);
    Wide ff = 0, gg = 0, fg = 0, fy = 0, gy = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const Wide df = f[j] - mean_f;
        const Wide dg = g[j] - mean_g;
        const Wide dy = targets[j] - mean_y;
        ff += df * df;
        gg += dg * dg;
        fg += df * dg;
        fy += df * dy;
        gy += dg * dy;
    }
    const Wide det = ff * gg - fg * fg;
    if (!(det > static_cast<Wide>(thorough_tuning.collinear_limit) * ff * gg)) return false;
    const Wide wa = (gg * fy - fg * gy) / det;
    const Wide wb = (ff * gy - fg * fy) / det;
    a = static_cast<double>(wa);
    b = static_cast<double>(wb);
    c = static_cast<double>(mean_y - wa * mean_f - wb * mean_g);
    return std::isfinite(a) && std::isfinite(b) && std::isfinite(c);
}

Expression pair_form(const Expression& f, double a, const Expression& g, double b, double c) {
    const Expression first = a == -1.0 ? apply_builtin(builtin_id::neg, f) : term(f, a);
    const bool subtract = b == -1.0;
    Expression out = apply_builtin(subtract ? builtin_id::subtract : builtin_id::plus, first,
                                   term(g, subtract ? 1.0 : b));
    if (c != 0.0) out = apply_builtin(builtin_id::plus, out, number(c));
    return out;
}

std::vector<ScoredExpression> pair_variants(const Expression& f, std::span<const double> f_values,
                                            const Expression& g, std::span<const double> g_values,
                                            std::span<const double> targets) {
    std::vector<ScoredExpression> out;
    const auto add = [&](const Expression& x, double a, std::span<const double> xv,
                         const Expression& y, double b, std::span<const double> yv, double c) {
        const double error = rms_of(xv, a, yv, b, c, targets);
        if (std::isfinite(error)) out.push_back({pair_form(x, a, y, b, c), error});
    };
    add(f, 1.0, f_values, g, 1.0, g_values, 0.0);
    add(f, 1.0, f_values, g, -1.0, g_values, 0.0);
    add(g, 1.0, g_values, f, -1.0, f_values, 0.0);
    double a = 0.0, b = 0.0, c = 0.0;
    if (fit_pair(f_values, g_values, targets, a, b, c)) add(f, a, f_values, g, b, g_values, c);
    return out;
}

}  // namespace kov
