#include "engine/thorough/thorough_products.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <optional>
#include <utility>

#include "engine/thorough/best_kept.hpp"
#include "engine/thorough/thorough_formula.hpp"
#include "engine/thorough/thorough_front.hpp"
#include "engine/thorough/thorough_pairs.hpp"
#include "engine/thorough/thorough_tuning.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {

namespace {

double dot(std::span<const double> x, std::span<const double> y) {
    double sum = 0.0;
    for (std::size_t j = 0; j < x.size(); ++j) sum += x[j] * y[j];
    return sum;
}

void centre(std::vector<double>& values) {
    double mean = 0.0;
    for (double v : values) mean += v;
    mean /= static_cast<double>(values.size());
    for (double& v : values) v -= mean;
}

// log|v| of real, nonzero, finite values; false otherwise.
bool logs_of(const Complex* values, std::size_t count, std::vector<double>& out, bool& positive) {
    out.resize(count);
    positive = true;
    for (std::size_t j = 0; j < count; ++j) {
        const double re = values[j].re;
        if (!(std::fabs(values[j].im) <= thorough_tuning.real_value_room * std::fabs(re)) ||
            re == 0.0 || !std::isfinite(re))
            return false;
        positive = positive && re > 0.0;
        out[j] = std::log(std::fabs(re));
    }
    return true;
}

// Least squares of y on the centred columns, in extended precision (normal equations with
// partial pivoting: a dozen columns at most, and only the rounded exponents are used).
bool solve_least_squares(std::span<const std::vector<double>* const> columns,
                         std::span<const double> y, std::vector<double>& out) {
    const std::size_t k = columns.size();
    std::vector<std::vector<long double>> a(k, std::vector<long double>(k + 1, 0.0L));
    for (std::size_t p = 0; p < k; ++p) {
        for (std::size_t q = 0; q < k; ++q) {
            long double s = 0.0L;
            for (std::size_t j = 0; j < y.size(); ++j)
                s += static_cast<long double>((*columns[p])[j]) * (*columns[q])[j];
            a[p][q] = s;
        }
        long double s = 0.0L;
        for (std::size_t j = 0; j < y.size(); ++j)
            s += static_cast<long double>((*columns[p])[j]) * y[j];
        a[p][k] = s;
    }
    for (std::size_t c = 0; c < k; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < k; ++r) {
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        }
        if (!(std::fabs(a[pivot][c]) > 1e-300L)) return false;
        std::swap(a[c], a[pivot]);
        for (std::size_t r = 0; r < k; ++r) {
            if (r == c) continue;
            const long double f = a[r][c] / a[c][c];
            for (std::size_t q = c; q <= k; ++q) a[r][q] -= f * a[c][q];
        }
    }
    out.resize(k);
    for (std::size_t c = 0; c < k; ++c) out[c] = static_cast<double>(a[c][k] / a[c][c]);
    return std::all_of(out.begin(), out.end(), [](double v) { return std::isfinite(v); });
}

// The exponent in halves, or nothing when it is not near a half or too large.
bool to_halves(double exponent, int most, int& halves) {
    const double twice = 2.0 * exponent;
    const double rounded = std::round(twice);
    if (std::fabs(twice - rounded) > 2.0 * thorough_tuning.exponent_room ||
        std::fabs(rounded) > most)
        return false;
    halves = static_cast<int>(rounded);
    return true;
}

// Exponent vectors over `count` variables with entries −2 … 2 (±1 past squared_variables), by
// number of variables used (one to most_exponent_variables), as many whole numbers of variables
// as give at most most_exponent_monomials.
std::vector<std::vector<int>> small_monomials(std::size_t count) {
    std::vector<std::vector<int>> out;
    for (std::size_t used = 1; used <= std::min(count, thorough_tuning.most_exponent_variables);
         ++used) {
        const std::vector<int> choices = used <= thorough_tuning.squared_variables
                                             ? std::vector<int>{-2, -1, 1, 2}
                                             : std::vector<int>{-1, 1};
        const std::size_t last = choices.size() - 1;
        std::vector<std::vector<int>> these;
        // Every set of `used` positions (ascending), every choice of powers on them.
        std::vector<std::size_t> at(used);
        for (std::size_t k = 0; k < used; ++k) at[k] = k;
        for (;;) {
            std::vector<std::size_t> pick(used, 0);
            for (;;) {
                std::vector<int> powers(count, 0);
                for (std::size_t k = 0; k < used; ++k) powers[at[k]] = choices[pick[k]];
                these.push_back(std::move(powers));
                std::size_t k = used;
                while (k > 0 && pick[k - 1] == last) pick[--k] = 0;
                if (k == 0) break;
                ++pick[k - 1];
            }
            std::size_t k = used;
            while (k > 0 && at[k - 1] == count - used + k - 1) --k;
            if (k == 0) break;
            ++at[k - 1];
            for (std::size_t i = k; i < used; ++i) at[i] = at[i - 1] + 1;
        }
        if (out.size() + these.size() > thorough_tuning.most_exponent_monomials) break;
        out.insert(out.end(), these.begin(), these.end());
    }
    return out;
}

// The products a sum of two is built from: each variable, its square, each product of two.
std::vector<std::vector<int>> small_products(std::size_t count) {
    std::vector<std::vector<int>> out;
    for (std::size_t v = 0; v < count; ++v) {
        for (int power : {1, 2}) {
            out.emplace_back(count, 0);
            out.back()[v] = power;
        }
    }
    for (std::size_t v = 0; v < count; ++v) {
        for (std::size_t w = v + 1; w < count; ++w) {
            out.emplace_back(count, 0);
            out.back()[v] = 1;
            out.back()[w] = 1;
        }
    }
    return out;
}

// The sums of squares tried as factors, each a list of (a, b): variable a when b = a, else the
// difference of variables a and b. Two or three variables; a difference and a variable, or two
// differences, with no variable in common.
std::vector<std::vector<std::pair<std::size_t, std::size_t>>> small_square_sums(std::size_t count) {
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> out;
    for (std::size_t a = 0; a < count; ++a) {
        for (std::size_t b = a + 1; b < count; ++b) {
            out.push_back({{a, a}, {b, b}});
            for (std::size_t c = b + 1; c < count; ++c) out.push_back({{a, a}, {b, b}, {c, c}});
        }
    }
    std::vector<std::pair<std::size_t, std::size_t>> differences;
    for (std::size_t a = 0; a < count; ++a) {
        for (std::size_t b = a + 1; b < count; ++b) differences.emplace_back(b, a);
    }
    for (std::size_t p = 0; p < differences.size(); ++p) {
        for (std::size_t c = 0; c < count; ++c) {
            const auto [a, b] = differences[p];
            if (c != a && c != b) out.push_back({differences[p], {c, c}});
        }
        for (std::size_t q = p + 1; q < differences.size(); ++q) {
            const auto [a, b] = differences[p];
            const auto [c, d] = differences[q];
            if (a == c || a == d || b == c || b == d) continue;
            out.push_back({differences[p], differences[q]});
        }
    }
    return out;
}

Expression product_of(const OperatorRegistry& registry,
                      const std::vector<const Expression*>& items) {
    Expression out = *items.front();
    for (std::size_t i = 1; i < items.size(); ++i)
        out = Expression::binary(registry, builtin_id::times, out, *items[i]);
    return out;
}

}  // namespace

ProductSearch::ProductSearch(const ComplexRows& sample_rows, std::span<const double> sample_targets,
                             std::size_t variables, double noise)
    : rows_(sample_targets.size()), sample_rows_(sample_rows) {
    if (rows_ < thorough_tuning.product_fewest_rows) return;
    target_logs_.resize(rows_);
    double log_noise_squares = 0.0;
    for (std::size_t j = 0; j < rows_; ++j) {
        const double y = sample_targets[j];
        if (y == 0.0 || !std::isfinite(y)) return;
        target_logs_[j] = std::log(std::fabs(y));
        log_noise_squares += std::pow(noise / y, 2);  // log|y| moves by the noise relative to y
    }
    if (noise > 0.0 && std::isfinite(log_noise_squares)) {
        log_noise_ = std::sqrt(log_noise_squares / static_cast<double>(rows_));
        noise_left_ = std::pow(thorough_tuning.given_noise_margin, 2) * log_noise_squares;
    }
    centre(target_logs_);
    std::vector<Complex> column(rows_);
    for (std::size_t v = 0; v < variables; ++v) {
        for (std::size_t j = 0; j < rows_; ++j) {
            column[j] = v < sample_rows[j].size() ? sample_rows[j][v] : Complex{};
        }
        std::vector<double> logs;
        bool positive = true;
        if (!logs_of(column.data(), rows_, logs, positive)) continue;
        centre(logs);
        std::vector<double> axis = logs;
        orthogonalise(axis);
        const double norm = std::sqrt(dot(axis, axis));
        if (!(norm * norm > thorough_tuning.log_collinear_limit * dot(logs, logs))) continue;
        for (double& a : axis) a /= norm;
        basis_.push_back(std::move(axis));
        variables_.push_back(v);
        variable_logs_.push_back(std::move(logs));
        variable_positive_.push_back(positive);
    }
    residual_ = target_logs_;
    orthogonalise(residual_);
    residual_norm_ = dot(residual_, residual_);
    usable_ = !variables_.empty() && std::isfinite(residual_norm_);
}

void ProductSearch::orthogonalise(std::vector<double>& values) const {
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& q : basis_) {
            const double along = dot(q, values);
            for (std::size_t j = 0; j < values.size(); ++j) values[j] -= along * q[j];
        }
    }
}

bool ProductSearch::block_column(const Complex* values, bool exponent, std::vector<double>& out,
                                 bool& positive) const {
    if (exponent) {
        // exp(u) is positive and its logarithm is u itself.
        positive = true;
        out.resize(rows_);
        for (std::size_t j = 0; j < rows_; ++j) {
            if (!(std::fabs(values[j].im) <=
                  thorough_tuning.real_value_room * std::fabs(values[j].re)) ||
                !std::isfinite(values[j].re) ||
                std::fabs(values[j].re) > thorough_tuning.most_exponent) {
                return false;
            }
            out[j] = values[j].re;
        }
    } else if (!logs_of(values, rows_, out, positive)) {
        return false;
    }
    centre(out);
    return true;
}

double ProductSearch::left_after(std::span<const double> orthogonal) const {
    const double toward = dot(residual_, orthogonal);
    return std::fmax(residual_norm_ - toward * toward / dot(orthogonal, orthogonal), 0.0);
}

bool ProductSearch::rounded_product(const OperatorRegistry& registry,
                                    std::span<const Block* const> blocks, Expression& out) const {
    std::vector<const std::vector<double>*> columns;
    for (const auto& logs : variable_logs_) columns.push_back(&logs);
    for (const Block* block : blocks) columns.push_back(&block->logs);
    std::vector<double> exponents;
    if (!solve_least_squares(columns, target_logs_, exponents)) return false;
    std::vector<Factor> factors;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const bool is_variable = i < variables_.size();
        const Block* block = is_variable ? nullptr : blocks[i - variables_.size()];
        int halves = 0;
        if (!to_halves(exponents[i],
                       is_variable ? thorough_tuning.most_variable_halves
                                   : thorough_tuning.most_block_halves,
                       halves)) {
            if (is_variable || !block->exponent) return false;
            // exp(c·u) with a rate that is no simple fraction: a fitted number, polished later.
            Expression number;
            number.tokens.push_back(Token::real(exponents[i]));
            number.formula = number_text(exponents[i]);
            number.complexity = 1;
            factors.push_back({Expression::unary(registry, builtin_id::exp,
                                                 Expression::binary(registry, builtin_id::times,
                                                                    number, block->expression)),
                               2});
            continue;
        }
        if (halves == 0) {
            if (!is_variable) return false;  // the block was picked for what it explains
            continue;
        }
        const bool positive = is_variable ? variable_positive_[i] : block->positive;
        if (halves % 2 != 0 && !positive) return false;  // a square root of a negative value
        if (is_variable) {
            factors.push_back(
                {Expression::variable_leaf(static_cast<std::uint8_t>(variables_[i])), halves});
        } else if (block->exponent) {
            // exp(−u) rather than 1/exp(u), which overflows long before its inverse underflows.
            const Expression rate =
                halves < 0 ? Expression::unary(registry, builtin_id::neg, block->expression)
                           : block->expression;
            factors.push_back(
                {Expression::unary(registry, builtin_id::exp, rate), std::abs(halves)});
        } else {
            factors.push_back({block->expression, halves});
        }
    }
    if (factors.empty()) return false;
    out = product_form(registry, factors);
    return true;
}

Expression ProductSearch::product_form(const OperatorRegistry& registry,
                                       std::span<const Factor> factors) {
    std::vector<const Expression*> above;
    std::vector<const Expression*> below;
    std::vector<const Expression*> root_above;
    std::vector<const Expression*> root_below;
    for (const Factor& f : factors) {
        const int size = std::abs(f.halves);
        auto& whole = f.halves > 0 ? above : below;
        for (int k = 0; k < size / 2; ++k) whole.push_back(&f.base);
        if (size % 2 != 0) (f.halves > 0 ? root_above : root_below).push_back(&f.base);
    }
    std::vector<Expression> roots;  // owns the square roots the products point to
    roots.reserve(1);
    if (!root_above.empty()) {
        Expression inside = product_of(registry, root_above);
        if (!root_below.empty()) {
            inside = Expression::binary(registry, builtin_id::divide, inside,
                                        product_of(registry, root_below));
        }
        roots.push_back(Expression::unary(registry, builtin_id::sqrt, inside));
        above.push_back(&roots.back());
    } else if (!root_below.empty()) {
        roots.push_back(
            Expression::unary(registry, builtin_id::sqrt, product_of(registry, root_below)));
        below.push_back(&roots.back());
    }
    if (above.empty()) {
        return Expression::unary(registry, builtin_id::inv, product_of(registry, below));
    }
    Expression out = product_of(registry, above);
    if (!below.empty()) {
        out = Expression::binary(registry, builtin_id::divide, out, product_of(registry, below));
    }
    return out;
}

std::vector<Expression> ProductSearch::monomials(const OperatorRegistry& registry) {
    std::vector<Expression> out;
    Expression product;
    if (usable_ && rounded_product(registry, {}, product)) out.push_back(std::move(product));
    if (!usable_ ||
        residual_norm_ <= thorough_tuning.monomial_share * dot(target_logs_, target_logs_))
        return out;
    // exp(c·M) for the small monomials M of the variables (a Boltzmann factor, a decay), and the
    // factors exp(M) − 1 and 1 − exp(−M) (Planck's law, a charging capacitor). Sources are
    // 3·monomial + kind.
    std::vector<std::vector<int>> powers = small_monomials(variables_.size());
    std::vector<Candidate> candidates;
    std::vector<double> monomial(rows_);
    std::vector<double> column(rows_);
    for (std::size_t m = 0; m < powers.size(); ++m) {
        bool finite = true;
        for (std::size_t j = 0; j < rows_ && finite; ++j) {
            double value = 1.0;
            for (std::size_t v = 0; v < variables_.size(); ++v) {
                const int e = powers[m][v];
                if (e == 0) continue;
                value *= std::pow(sample_rows_[j][variables_[v]].re, e);
            }
            finite = std::isfinite(value) && std::fabs(value) <= thorough_tuning.most_exponent &&
                     value != 0.0;
            monomial[j] = value;
        }
        if (!finite) continue;
        for (std::size_t kind = 0; kind < 3; ++kind) {
            for (std::size_t j = 0; j < rows_; ++j) {
                const double u = monomial[j];
                column[j] = kind == 0   ? u
                            : kind == 1 ? std::log(std::fabs(std::expm1(u)))
                                        : std::log(std::fabs(std::expm1(-u)));
            }
            centre(column);
            const double length = dot(column, column);
            orthogonalise(column);
            if (!(dot(column, column) > thorough_tuning.log_collinear_limit * length)) continue;
            candidates.push_back({left_after(column), 3 * m + kind});
            exponent_columns_.push_back(column);
            exponent_sources_.push_back(3 * m + kind);
        }
    }
    exponent_powers_ = std::move(powers);
    // Sums and differences of two small products (x, x², x·y): c² + u·v, c² − v², x² + y².
    // Sources past the exponents' are 3·monomials + 2·(first·terms + second) + (1 for −).
    binomial_terms_ = small_products(variables_.size());
    const std::size_t terms = binomial_terms_.size();
    std::vector<std::vector<double>> term_values(terms, std::vector<double>(rows_));
    for (std::size_t t = 0; t < terms; ++t) {
        for (std::size_t j = 0; j < rows_; ++j) {
            double value = 1.0;
            for (std::size_t v = 0; v < variables_.size(); ++v) {
                if (binomial_terms_[t][v] != 0)
                    value *= std::pow(sample_rows_[j][variables_[v]].re, binomial_terms_[t][v]);
            }
            term_values[t][j] = value;
        }
    }
    std::vector<Complex> sums(rows_);
    for (std::size_t first = 0; first < terms; ++first) {
        for (std::size_t second = first + 1; second < terms; ++second) {
            for (const bool minus : {false, true}) {
                for (std::size_t j = 0; j < rows_; ++j) {
                    const double a = term_values[first][j];
                    const double b = term_values[second][j];
                    sums[j] = Complex{minus ? a - b : a + b, 0.0};
                }
                bool positive = true;
                if (!logs_of(sums.data(), rows_, column, positive)) continue;
                centre(column);
                const double length = dot(column, column);
                orthogonalise(column);
                if (!(dot(column, column) > thorough_tuning.log_collinear_limit * length)) continue;
                const std::size_t source =
                    3 * exponent_powers_.size() + 2 * (first * terms + second) + (minus ? 1 : 0);
                candidates.push_back({left_after(column), source});
                exponent_columns_.push_back(column);
                exponent_sources_.push_back(source);
            }
        }
    }
    // Sums of squares: of two or three variables, and of two differences of variables
    // ((x1 − x0)² + (y1 − y0)²). Sources past the binomials' are their index.
    square_sums_ = small_square_sums(variables_.size());
    for (std::size_t k = 0; k < square_sums_.size(); ++k) {
        for (std::size_t j = 0; j < rows_; ++j) {
            double sum = 0.0;
            for (const auto& [a, b] : square_sums_[k]) {
                const double x = sample_rows_[j][variables_[a]].re -
                                 (b == a ? 0.0 : sample_rows_[j][variables_[b]].re);
                sum += x * x;
            }
            sums[j] = Complex{sum, 0.0};
        }
        bool positive = true;
        if (!logs_of(sums.data(), rows_, column, positive)) continue;
        centre(column);
        const double length = dot(column, column);
        orthogonalise(column);
        if (!(dot(column, column) > thorough_tuning.log_collinear_limit * length)) continue;
        const std::size_t source = 3 * exponent_powers_.size() + 2 * terms * terms + k;
        candidates.push_back({left_after(column), source});
        exponent_columns_.push_back(column);
        exponent_sources_.push_back(source);
    }
    std::vector<Block> fresh;
    for (const Candidate& c :
         best_candidates(candidates, residual_norm_, thorough_tuning.single_block_products)) {
        Block block;
        if (!exponent_block(registry, c.source, block)) continue;
        block.left = c.left;
        fresh.push_back(std::move(block));
    }
    add_products(registry, std::move(fresh), out);
    return out;
}

bool ProductSearch::exponent_block(const OperatorRegistry& registry, std::size_t source,
                                   Block& block) const {
    const std::size_t terms = binomial_terms_.size();
    if (source >= 3 * exponent_powers_.size() + 2 * terms * terms) {
        const auto& items = square_sums_[source - 3 * exponent_powers_.size() - 2 * terms * terms];
        const auto variable = [&](std::size_t a) {
            return Expression::variable_leaf(static_cast<std::uint8_t>(variables_[a]));
        };
        std::optional<Expression> sum;
        for (const auto& [a, b] : items) {
            const Expression x = b == a ? variable(a)
                                        : Expression::binary(registry, builtin_id::subtract,
                                                             variable(a), variable(b));
            const Expression square = Expression::binary(registry, builtin_id::times, x, x);
            sum = sum ? Expression::binary(registry, builtin_id::plus, *sum, square) : square;
        }
        block.expression = *sum;
        block.exponent = false;
        return block_values(registry, block);
    }
    if (source >= 3 * exponent_powers_.size()) {
        const std::size_t index = source - 3 * exponent_powers_.size();
        const std::size_t pair = index / 2;
        const auto term = [&](std::size_t t) {
            std::vector<Factor> factors;
            for (std::size_t v = 0; v < variables_.size(); ++v) {
                const int e = binomial_terms_[t][v];
                if (e != 0) {
                    factors.push_back(
                        {Expression::variable_leaf(static_cast<std::uint8_t>(variables_[v])),
                         2 * e});
                }
            }
            return product_form(registry, factors);
        };
        block.expression =
            Expression::binary(registry, index % 2 == 1 ? builtin_id::subtract : builtin_id::plus,
                               term(pair / terms), term(pair % terms));
        block.exponent = false;
        return block_values(registry, block);
    }
    const std::size_t m = source / 3;
    const std::size_t kind = source % 3;
    std::vector<Factor> factors;
    for (std::size_t v = 0; v < variables_.size(); ++v) {
        const int e = exponent_powers_[m][v];
        if (e != 0) {
            factors.push_back(
                {Expression::variable_leaf(static_cast<std::uint8_t>(variables_[v])), 2 * e});
        }
    }
    const Expression u = product_form(registry, factors);
    const Expression one = Expression::constant_leaf(registry, builtin_id::one);
    if (kind == 0) {
        block.expression = u;
    } else if (kind == 1) {
        block.expression = Expression::binary(registry, builtin_id::subtract,
                                              Expression::unary(registry, builtin_id::exp, u), one);
    } else {
        block.expression =
            Expression::binary(registry, builtin_id::subtract, one,
                               Expression::unary(registry, builtin_id::exp,
                                                 Expression::unary(registry, builtin_id::neg, u)));
    }
    block.exponent = kind == 0;
    return block_values(registry, block);
}

double ProductSearch::combined_left(std::span<const std::vector<double>* const> columns) const {
    std::vector<std::vector<double>> axes;
    double left = residual_norm_;
    for (const std::vector<double>* column : columns) {
        std::vector<double> axis = *column;
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto& q : axes) {
                const double along = dot(q, axis);
                for (std::size_t j = 0; j < axis.size(); ++j) axis[j] -= along * q[j];
            }
        }
        const double norm = dot(axis, axis);
        if (!(norm > thorough_tuning.log_collinear_limit * dot(*column, *column)))
            return residual_norm_;
        for (double& a : axis) a /= std::sqrt(norm);
        const double toward = dot(residual_, axis);
        left -= toward * toward;
        axes.push_back(std::move(axis));
    }
    return std::fmax(left, 0.0);
}

double ProductSearch::pair_left(std::span<const double> a, std::span<const double> b) const {
    const double aa = dot(a, a);
    const double ab = dot(a, b);
    std::vector<double> c(b.begin(), b.end());
    for (std::size_t j = 0; j < c.size(); ++j) c[j] -= ab / aa * a[j];
    const double cc = dot(c, c);
    if (!(cc > thorough_tuning.log_collinear_limit * dot(b, b))) return residual_norm_;
    const double ra = dot(residual_, a);
    const double rc = dot(residual_, c);
    return std::fmax(residual_norm_ - ra * ra / aa - rc * rc / cc, 0.0);
}

std::vector<Expression> ProductSearch::with_blocks(const OperatorRegistry& registry,
                                                   const bfs::Level& level) {
    std::vector<Expression> out;
    if (!usable_ ||
        residual_norm_ <= thorough_tuning.monomial_share * dot(target_logs_, target_logs_))
        return out;
    // The level's best blocks by what log|y| leaves once they join the variables' powers.
    std::vector<Candidate> candidates;
    scan_level(level, [&](std::size_t source, const std::vector<double>& orthogonal) {
        candidates.push_back({left_after(orthogonal), source, simple_exponent(orthogonal)});
    });
    std::vector<Block> fresh;
    for (const Candidate& c :
         best_candidates(candidates, residual_norm_, thorough_tuning.single_block_products)) {
        Block block;
        block.exponent = c.source % 2 == 1;
        (void)block_column(level.row_values(c.source / 2), block.exponent, block.logs,
                           block.positive);
        block.expression = level.expressions[c.source / 2];
        block.left = c.left;
        fresh.push_back(std::move(block));
    }
    // On noisy targets many blocks fit the logarithms within the noise, in an order the noise
    // decides: each of those whose exponent is a half within the noise is tried alone as well.
    if (log_noise_ > 0.0) {
        std::vector<Candidate> tied;
        for (const Candidate& c : candidates) {
            if (c.left <= noise_left_ && c.simple_exponent) tied.push_back(c);
        }
        std::sort(tied.begin(), tied.end(), [](const Candidate& x, const Candidate& y) {
            return x.left != y.left ? x.left < y.left : x.source < y.source;
        });
        if (tied.size() > thorough_tuning.noisy_single_block_products) {
            tied.resize(thorough_tuning.noisy_single_block_products);
        }
        for (const Candidate& c : tied) {
            Block block;
            block.exponent = c.source % 2 == 1;
            (void)block_column(level.row_values(c.source / 2), block.exponent, block.logs,
                               block.positive);
            block.expression = level.expressions[c.source / 2];
            const Block* one[] = {&block};
            Expression product;
            if (rounded_product(registry, one, product)) out.push_back(std::move(product));
        }
    }
    if (!fresh.empty()) select_forward(registry, level, {fresh.front()}, out);
    // Each new block with the exp(c·M) of every small monomial: a factor such as cos(ω·t) hides
    // a decay exp(−γ·t) that explains little beside it, so that it is not among the kept ones.
    for (const Block& block : fresh) {
        std::vector<double> orthogonal = block.logs;
        orthogonalise(orthogonal);
        double best = block.left;
        std::size_t partner = exponent_columns_.size();
        for (std::size_t e = 0; e < exponent_columns_.size(); ++e) {
            const double left = pair_left(orthogonal, exponent_columns_[e]);
            if (left < best) {
                best = left;
                partner = e;
            }
        }
        Block other;
        if (partner == exponent_columns_.size() ||
            !exponent_block(registry, exponent_sources_[partner], other)) {
            continue;
        }
        const Block* two[] = {&block, &other};
        Expression product;
        if (rounded_product(registry, two, product)) out.push_back(std::move(product));
    }
    add_products(registry, std::move(fresh), out);
    return out;
}

void ProductSearch::scan_level(
    const bfs::Level& level,
    const std::function<void(std::size_t, const std::vector<double>&)>& visit) const {
    std::vector<double> column;
    for (std::size_t i = 0; i < level.size(); ++i) {
        const bfs::Node& node = level.nodes[i];
        if (node.constant || !node.rows_ok) continue;
        for (const bool exponent : {false, true}) {
            bool positive = true;
            if (!block_column(level.row_values(i), exponent, column, positive)) continue;
            const double length = dot(column, column);
            orthogonalise(column);
            if (!(dot(column, column) > thorough_tuning.log_collinear_limit * length)) continue;
            visit(2 * i + (exponent ? 1 : 0), column);
        }
    }
}

void ProductSearch::select_forward(const OperatorRegistry& registry, const bfs::Level& level,
                                   const std::vector<Block>& chosen, std::vector<Expression>& out) {
    if (chosen.empty() || chosen.size() >= thorough_tuning.most_selected_blocks) return;
    // The chosen blocks' columns made orthonormal, and what they leave of the residual.
    std::vector<std::vector<double>> axes;
    std::vector<double> residual = residual_;
    for (const Block& block : chosen) {
        std::vector<double> axis = block.logs;
        orthogonalise(axis);
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto& q : axes) {
                const double along = dot(q, axis);
                for (std::size_t j = 0; j < axis.size(); ++j) axis[j] -= along * q[j];
            }
        }
        const double norm = std::sqrt(dot(axis, axis));
        if (!(norm > 0.0)) return;
        for (double& a : axis) a /= norm;
        const double along = dot(axis, residual);
        for (std::size_t j = 0; j < residual.size(); ++j) residual[j] -= along * axis[j];
        axes.push_back(std::move(axis));
    }
    const double left = dot(residual, residual);
    if (!(left > thorough_tuning.monomial_share * residual_norm_)) return;  // exact already
    std::vector<Candidate> candidates;
    scan_level(level, [&](std::size_t source, const std::vector<double>& orthogonal) {
        std::vector<double> c = orthogonal;
        for (const auto& q : axes) {
            const double along = dot(q, c);
            for (std::size_t j = 0; j < c.size(); ++j) c[j] -= along * q[j];
        }
        const double norm = dot(c, c);
        if (!(norm > thorough_tuning.log_collinear_limit * dot(orthogonal, orthogonal))) return;
        const double toward = dot(residual, c);
        candidates.push_back({std::fmax(left - toward * toward / norm, 0.0), source});
    });
    for (const Candidate& c :
         best_candidates(candidates, left, thorough_tuning.selected_per_step)) {
        std::vector<Block> grown = chosen;
        Block& block = grown.emplace_back();
        block.exponent = c.source % 2 == 1;
        (void)block_column(level.row_values(c.source / 2), block.exponent, block.logs,
                           block.positive);
        block.expression = level.expressions[c.source / 2];
        block.left = c.left;
        std::vector<const Block*> blocks;
        for (const Block& b : grown) blocks.push_back(&b);
        Expression product;
        if (rounded_product(registry, blocks, product)) out.push_back(std::move(product));
        select_forward(registry, level, grown, out);
    }
}

bool ProductSearch::simple_exponent(std::span<const double> orthogonal) const {
    if (!(log_noise_ > 0.0)) return false;
    const double length = dot(orthogonal, orthogonal);
    if (!(length > 0.0)) return false;
    const double exponent = dot(residual_, orthogonal) / length;
    const double reach = thorough_tuning.simple_number_errors * log_noise_ / std::sqrt(length);
    const double half = std::round(2.0 * exponent) / 2.0;
    return half != 0.0 && reach < 0.25 && std::fabs(exponent - half) <= reach;
}

std::vector<ProductSearch::Candidate> ProductSearch::best_candidates(
    std::vector<Candidate>& candidates, double before_any, std::size_t count) const {
    const auto before = [](const Candidate& x, const Candidate& y) {
        return x.left != y.left ? x.left < y.left : x.source < y.source;
    };
    std::vector<Candidate> sorted;
    for (const Candidate& c : candidates) {
        if (c.left < (1.0 - thorough_tuning.least_partner_share) * before_any) sorted.push_back(c);
    }
    std::sort(sorted.begin(), sorted.end(), before);
    // Blocks that leave the same share have the same logarithm (x0 − x1 and x1 − x0): one is
    // enough.
    std::vector<Candidate> out;
    for (const Candidate& c : sorted) {
        if (out.size() == count) break;
        if (!out.empty() &&
            std::fabs(c.left - out.back().left) <= thorough_tuning.same_log_fit * out.back().left) {
            continue;
        }
        out.push_back(c);
    }
    return out;
}

bool ProductSearch::block_values(const OperatorRegistry& registry, Block& block) const {
    std::vector<Complex> values(rows_);
    for (std::size_t j = 0; j < rows_; ++j) {
        const std::optional<Complex> value =
            eval(block.expression, sample_rows_[j], registry.operators());
        if (!value) return false;
        values[j] = *value;
    }
    return block_column(values.data(), block.exponent, block.logs, block.positive);
}

void ProductSearch::add_products(const OperatorRegistry& registry, std::vector<Block> fresh,
                                 std::vector<Expression>& out) {
    std::vector<std::vector<double>> fresh_orthogonal;
    for (const Block& block : fresh) {
        std::vector<double> orthogonal = block.logs;
        orthogonalise(orthogonal);
        fresh_orthogonal.push_back(std::move(orthogonal));
        if (!(block.left <= (1.0 - thorough_tuning.least_single_gain) * residual_norm_)) continue;
        const Block* one[] = {&block};
        Expression product;
        if (rounded_product(registry, one, product)) out.push_back(std::move(product));
    }
    // Each new block with each kept one (and the new ones before it): the best pairs by what the
    // two leave together.
    using PairPick = std::pair<double, std::pair<std::size_t, std::size_t>>;
    std::vector<PairPick> pairs;
    const std::size_t partners = kept_.size() + fresh.size();
    for (std::size_t f = 0; f < fresh.size(); ++f) {
        for (std::size_t p = 0; p < partners; ++p) {
            if (p >= kept_.size() && p - kept_.size() >= f) break;
            const std::vector<double>& other =
                p < kept_.size() ? kept_orthogonal_[p] : fresh_orthogonal[p - kept_.size()];
            const double left = pair_left(fresh_orthogonal[f], other);
            if (!(left < std::fmin(fresh[f].left, p < kept_.size() ? kept_[p].left
                                                                   : fresh[p - kept_.size()].left)))
                continue;
            keep_best(pairs, PairPick{left, {f, p}}, thorough_tuning.two_block_products,
                      std::less<PairPick>());
        }
    }
    std::sort(pairs.begin(), pairs.end());
    const auto block_at = [&](std::size_t p) -> const Block& {
        return p < kept_.size() ? kept_[p] : fresh[p - kept_.size()];
    };
    const auto orthogonal_at = [&](std::size_t p) -> const std::vector<double>& {
        return p < kept_.size() ? kept_orthogonal_[p] : fresh_orthogonal[p - kept_.size()];
    };
    for (const auto& [left, picks] : pairs) {
        const auto [f, p] = picks;
        const Block* two[] = {&fresh[f], &block_at(p)};
        Expression product;
        if (rounded_product(registry, two, product)) out.push_back(std::move(product));
    }
    // The best pairs with a third block, kept or new: c·(x − u·t)/√((c − u)(c + u)).
    using TriplePick = std::pair<double, std::array<std::size_t, 3>>;
    std::vector<TriplePick> triples;
    for (const auto& [left, picks] : pairs) {
        const auto [f, p] = picks;
        for (std::size_t t = 0; t < partners; ++t) {
            if (t == p || t == kept_.size() + f) continue;
            const std::vector<double>* three[] = {&fresh_orthogonal[f], &orthogonal_at(p),
                                                  &orthogonal_at(t)};
            const double left3 = combined_left(three);
            if (!(left3 < left)) continue;
            std::array<std::size_t, 3> key{kept_.size() + f, p, t};
            std::sort(key.begin(), key.end());
            if (std::any_of(triples.begin(), triples.end(),
                            [&](const TriplePick& x) { return x.second == key; })) {
                continue;
            }
            keep_best(triples, TriplePick{left3, key}, thorough_tuning.three_block_products,
                      std::less<TriplePick>());
        }
    }
    std::sort(triples.begin(), triples.end());
    for (const auto& [left, key] : triples) {
        const Block* three[] = {&block_at(key[0]), &block_at(key[1]), &block_at(key[2])};
        Expression product;
        if (rounded_product(registry, three, product)) out.push_back(std::move(product));
    }
    // The new blocks join the kept ones; the best `kept_product_blocks` stay.
    for (std::size_t f = 0; f < fresh.size(); ++f) {
        kept_.push_back(std::move(fresh[f]));
        kept_orthogonal_.push_back(std::move(fresh_orthogonal[f]));
    }
    std::vector<std::size_t> order(kept_.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return kept_[x].left < kept_[y].left; });
    order.resize(std::min(order.size(), thorough_tuning.kept_product_blocks));
    std::vector<Block> blocks;
    std::vector<std::vector<double>> orthogonal;
    for (std::size_t k : order) {
        blocks.push_back(std::move(kept_[k]));
        orthogonal.push_back(std::move(kept_orthogonal_[k]));
    }
    kept_ = std::move(blocks);
    kept_orthogonal_ = std::move(orthogonal);
}

std::vector<ScoredExpression> ProductSearch::monomial_pairs(const OperatorRegistry& registry,
                                                            std::span<const double> sample_targets,
                                                            const ComplexRows& rows,
                                                            std::span<const double> targets) const {
    std::vector<ScoredExpression> out;
    if (variables_.empty() || exponent_powers_.empty()) return out;
    const std::vector<double> unit_target = unit_vector(sample_targets);
    if (unit_target.empty()) return out;
    // Each small monomial's values on the cached rows, centred and of unit length.
    std::vector<std::vector<double>> units;
    std::vector<std::size_t> sources;
    std::vector<double> values(rows_);
    for (std::size_t m = 0; m < exponent_powers_.size(); ++m) {
        bool finite = true;
        for (std::size_t j = 0; j < rows_ && finite; ++j) {
            double value = 1.0;
            for (std::size_t v = 0; v < variables_.size(); ++v) {
                const int e = exponent_powers_[m][v];
                if (e != 0) value *= std::pow(sample_rows_[j][variables_[v]].re, e);
            }
            finite = std::isfinite(value);
            values[j] = value;
        }
        std::vector<double> unit = finite ? unit_vector(values) : std::vector<double>{};
        if (unit.empty()) continue;
        units.push_back(std::move(unit));
        sources.push_back(m);
    }
    // The monomials that explain most alone, each with every other: a·M1 + b·M2 + c.
    std::vector<std::pair<double, std::size_t>> alone;
    for (std::size_t u = 0; u < units.size(); ++u) {
        const double r = dot(units[u], unit_target);
        alone.push_back({1.0 - r * r, u});
    }
    std::sort(alone.begin(), alone.end());
    alone.resize(std::min(alone.size(), thorough_tuning.leading_monomials));
    using Pick = std::pair<double, std::pair<std::size_t, std::size_t>>;
    std::vector<Pick> best;
    for (const auto& [left_alone, first] : alone) {
        const std::vector<double>& a = units[first];
        const double ra = dot(a, unit_target);
        for (std::size_t second = 0; second < units.size(); ++second) {
            if (second == first) continue;
            const double ab = dot(a, units[second]);
            const double outside = 1.0 - ab * ab;
            if (!(outside > thorough_tuning.log_collinear_limit)) continue;
            const double rb = dot(units[second], unit_target) - ab * ra;
            const double left = std::fmax(left_alone - rb * rb / outside, 0.0);
            const std::pair<std::size_t, std::size_t> key{std::min(first, second),
                                                          std::max(first, second)};
            if (std::any_of(best.begin(), best.end(),
                            [&](const Pick& p) { return p.second == key; })) {
                continue;
            }
            keep_best(best, Pick{left, key}, thorough_tuning.monomial_pairs_offered,
                      std::less<Pick>());
        }
    }
    std::sort(best.begin(), best.end());
    const auto monomial = [&](std::size_t u) {
        std::vector<Factor> factors;
        for (std::size_t v = 0; v < variables_.size(); ++v) {
            const int e = exponent_powers_[sources[u]][v];
            if (e != 0) {
                factors.push_back(
                    {Expression::variable_leaf(static_cast<std::uint8_t>(variables_[v])), 2 * e});
            }
        }
        return product_form(registry, factors);
    };
    std::vector<double> f_values;
    std::vector<double> g_values;
    std::vector<Complex> stack;
    for (const auto& [left, key] : best) {
        const Expression f = monomial(key.first);
        const Expression g = monomial(key.second);
        if (!real_values(f, rows, registry.operators(), f_values, stack) ||
            !real_values(g, rows, registry.operators(), g_values, stack)) {
            continue;
        }
        for (ScoredExpression& form : pair_variants(f, f_values, g, g_values, targets))
            out.push_back(std::move(form));
    }
    return out;
}

}  // namespace kov
