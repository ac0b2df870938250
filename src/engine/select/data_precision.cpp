#include "engine/select/data_precision.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/select/simple_values.hpp"

namespace kov {

namespace {

// Values written with at most this many significant digits may come from a table; measured or
// computed doubles need fifteen or more, so a whole column this short is no accident.
constexpr int table_digits = 6;
// Rows whose digits are counted at most (evenly strided beyond): enough to tell a table.
constexpr std::size_t rows_inspected = 2000;
// How far (in units of its last digit) a tabled value may be from the truth: a value good to half
// a unit when rounded from the exact one, but tables round values that were measured or rounded
// before, so one unit is the usual reading of a last digit.
constexpr double interval_units = 1.0;
// A residual may exceed its rounding interval by this fraction: the interval's own computation
// (a difference across it) rounds.
constexpr double interval_slack = 1e-9;

int decimals(double value) {
    // The fewest decimals d with value·10^d whole, to double rounding; 17 for none.
    double scaled = value;
    for (int d = 0; d <= 16; ++d) {
        if (std::fabs(scaled - std::nearbyint(scaled)) <= 1e-9 * std::max(1.0, std::fabs(scaled))) {
            return d;
        }
        scaled = value * std::pow(10.0, d + 1);
    }
    return 17;
}

// Per value: the unit of its last written digit; a value of one significant digit (1.0, 20) may
// have lost trailing zeros, so it takes the unit of the column's most precise value at its
// magnitude instead.
std::vector<double> units(std::span<const double> values, int digits) {
    std::vector<double> out;
    out.reserve(values.size());
    for (double v : values) {
        if (v == 0.0) {
            out.push_back(0.0);  // a zero in a table is mostly a definition (the origin)
            continue;
        }
        if (significant_digits(v) >= 2) {
            out.push_back(std::pow(10.0, -decimals(v)));
            continue;
        }
        const double exponent = std::floor(std::log10(std::fabs(v)));
        out.push_back(std::pow(10.0, exponent - digits + 1));
    }
    return out;
}

// The most significant digits a value of the column needs; 0 when some value needs more than a
// table holds.
int column_digits(std::span<const double> values) {
    int most = 1;
    const std::size_t stride = std::max<std::size_t>(1, values.size() / rows_inspected);
    for (std::size_t j = 0; j < values.size(); j += stride) {
        if (!std::isfinite(values[j])) return 0;
        const int digits = significant_digits(values[j]);
        if (digits > table_digits) return 0;
        most = std::max(most, digits);
    }
    return most;
}

bool all_whole(std::span<const double> values) {
    return std::all_of(values.begin(), values.end(),
                       [](double v) { return v == std::nearbyint(v); });
}

}  // namespace

int significant_digits(double value) {
    if (value == 0.0 || !std::isfinite(value)) return 1;
    char buffer[40];
    for (int digits = 1; digits < 17; ++digits) {
        std::snprintf(buffer, sizeof buffer, "%.*e", digits - 1, value);
        if (std::strtod(buffer, nullptr) == value) return digits;
    }
    return 17;
}

DataPrecision::DataPrecision(const std::vector<std::vector<double>>& rows,
                             std::span<const double> targets) {
    if (rows.empty() || targets.size() != rows.size()) return;
    const int target_digits = column_digits(targets);
    if (target_digits == 0 || all_whole(targets)) return;
    rounded_ = true;
    target_units_ = units(targets, target_digits);
    const std::size_t width = rows.front().size();
    input_units_.resize(width);
    std::vector<double> column(rows.size());
    for (std::size_t v = 0; v < width; ++v) {
        for (std::size_t j = 0; j < rows.size(); ++j) {
            column[j] = v < rows[j].size() ? rows[j][v] : std::nan("");
        }
        const int digits = column_digits(column);
        if (digits == 0 || all_whole(column)) continue;
        input_units_[v] = units(column, digits);
    }
}

std::vector<DataPrecision::RowRounding> DataPrecision::row_rounding(
    const Expression& formula, const ComplexRows& rows, const OperatorList& operators) const {
    std::vector<RowRounding> out;
    if (!rounded_ || rows.size() != target_units_.size()) return out;
    std::vector<Complex> stack;
    const auto value_at = [&](const std::vector<Complex>& point) -> std::optional<double> {
        stack.clear();
        const std::optional<Complex> value =
            eval_internal(formula.tokens, point, {}, operators, stack);
        if (!value) return std::nullopt;
        return value->re;
    };
    out.reserve(rows.size());
    for (std::size_t j = 0; j < rows.size(); ++j) {
        RowRounding row{target_units_[j] * target_units_[j] / 12.0,
                        interval_units * target_units_[j]};
        std::vector<Complex> point = rows[j];
        for (std::size_t v = 0; v < input_units_.size() && v < point.size(); ++v) {
            if (input_units_[v].empty()) continue;
            const double half = 0.5 * input_units_[v][j];
            const double x = point[v].re;
            point[v].re = x + half;
            const std::optional<double> high = value_at(point);
            point[v].re = x - half;
            const std::optional<double> low = value_at(point);
            point[v].re = x;
            if (high && low && std::isfinite(*high - *low)) {
                const double change = *high - *low;
                row.variance += change * change / 12.0;
                row.half_width += interval_units * std::fabs(change);
            }
        }
        out.push_back(row);
    }
    return out;
}

double DataPrecision::rounding_sigma(const Expression& formula, const ComplexRows& rows,
                                     const OperatorList& operators) const {
    const std::vector<RowRounding> per_row = row_rounding(formula, rows, operators);
    if (per_row.empty()) return 0.0;
    double sum = 0.0;
    for (const RowRounding& row : per_row) sum += row.variance;
    return std::sqrt(sum / static_cast<double>(per_row.size()));
}

bool DataPrecision::within_rounding(const Expression& formula, const ComplexRows& rows,
                                    std::span<const double> targets,
                                    const OperatorList& operators) const {
    const std::vector<RowRounding> per_row = row_rounding(formula, rows, operators);
    if (per_row.empty() || per_row.size() != targets.size()) return false;
    std::vector<Complex> stack;
    for (std::size_t j = 0; j < rows.size(); ++j) {
        stack.clear();
        const std::optional<Complex> value =
            eval_internal(formula.tokens, rows[j], {}, operators, stack);
        if (!value) return false;
        const double room = per_row[j].half_width * (1.0 + interval_slack);
        if (!(std::fabs(value->re - targets[j]) <= room)) return false;
    }
    return true;
}

Expression DataPrecision::snap_within_rounding(const Expression& formula, const ComplexRows& rows,
                                               std::span<const double> targets,
                                               const OperatorList& operators) const {
    if (!rounded_) return formula;
    Expression out = formula;
    for (Token& token : out.tokens) {
        if (token.kind != TokenKind::Real || simple_value_cost(token.value.re)) continue;
        const Token fitted = token;
        for (double simple : simple_values_near(fitted.value.re)) {
            token = Token::real(simple);
            if (within_rounding(out, rows, targets, operators)) break;
            token = fitted;
        }
    }
    return out;
}

NoiseModel DataPrecision::with_rounding(const NoiseModel& noise, const Expression& formula,
                                        const ComplexRows& rows,
                                        const OperatorList& operators) const {
    const double rounding = rounding_sigma(formula, rows, operators);
    if (!(rounding > 0.0)) return noise;
    const double sigma = noise.sigma.value_or(0.0);
    return NoiseModel{noise.target_rms, std::sqrt(sigma * sigma + rounding * rounding)};
}

}  // namespace kov
