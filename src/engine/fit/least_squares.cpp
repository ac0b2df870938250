#include "engine/fit/least_squares.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "engine/fit/dense_solve.hpp"
#include "engine/fit/derivative_rules.hpp"
#include "engine/fit/real_axis_eval.hpp"
#include "engine/fit/affine_fit.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/builtin_table.hpp"
#include "ops/operator.hpp"

namespace kov {

namespace {

constexpr double initial_damping = 1e-3;
constexpr double min_damping = 1e-12;
constexpr double max_damping = 1e20;
constexpr double damping_down = 3.0;
constexpr double damping_up = 8.0;
// A fit stops when a step, or the best step the local model promises, gains less than this
// fraction of the SSE.
constexpr double relative_progress = 1e-12;
// Starting points after the first are abandoned when, after this many iterations, they are still
// more than twice as bad as the best fit so far: they cost a little, not a full fit each.
constexpr int screening_iterations = 5;

Complex mul(Complex p, Complex q) {
    return {p.re * q.re - p.im * q.im, p.re * q.im + p.im * q.re};
}

// Radical inverse of `index` in `base` (the Halton sequence): well-spread points in [0, 1).
double radical_inverse(std::uint64_t index, std::uint64_t base) {
    double result = 0.0;
    double digit_weight = 1.0 / static_cast<double>(base);
    while (index > 0) {
        result += static_cast<double>(index % base) * digit_weight;
        index /= base;
        digit_weight /= static_cast<double>(base);
    }
    return result;
}

// Start 0 is the given point and start 1 flips its signs (decay against growth, a phase of π).
// Later starts scale each parameter by 10^(2u − 1), u from a Halton sequence (one prime base per
// parameter), so that magnitudes from a tenth to ten times the given one are covered evenly and
// no two starts repeat; odd starts also flip the signs. A zero parameter scales 1 instead.
std::vector<double> starting_point(std::span<const double> initial, int start) {
    constexpr std::uint64_t primes[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
    std::vector<double> point(initial.begin(), initial.end());
    if (start == 0) return point;
    for (std::size_t k = 0; k < point.size(); ++k) {
        const double base = point[k] != 0.0 ? point[k] : 1.0;
        if (start == 1) {
            point[k] = -base;
            continue;
        }
        const double u = radical_inverse(static_cast<std::uint64_t>(start), primes[k % 12]);
        const double magnitude = std::pow(10.0, 2.0 * u - 1.0);
        point[k] = (start % 2 == 1 ? -base : base) * magnitude;
    }
    return point;
}

}  // namespace

LeastSquaresFitter::LeastSquaresFitter(const ComplexRows& rows, std::span<const double> targets,
                                       const OperatorList& operators)
    : rows_(rows), targets_(targets.begin(), targets.end()), operators_(operators) {}

namespace {

// One operator over a whole column of rows; false when any row has no acceptable value. The
// loop is instantiated per operator so that the operator's code is inlined into it.
template <std::size_t Id>
bool apply_rows(const Complex* a, const Complex* b, Complex* out, std::size_t n) {
    for (std::size_t r = 0; r < n; ++r) {
        const std::optional<Complex> value =
            eval_builtin_on_real_axis(Id, a[r], b != nullptr ? b[r] : Complex{});
        if (!value || !is_acceptable_value(*value)) return false;
        out[r] = *value;
    }
    return true;
}

template <std::size_t... Ids>
bool apply_column(std::size_t id, const Complex* a, const Complex* b, Complex* out, std::size_t n,
                  std::index_sequence<Ids...>) {
    bool ok = false;
    static_cast<void>(((id == Ids && (ok = apply_rows<Ids>(a, b, out, n), true)) || ...));
    return ok;
}

}  // namespace

bool LeastSquaresFitter::evaluate(const Expression& form, std::span<const double> params) {
    const std::size_t p = param_count_;
    const std::size_t n = active_.size();
    // Room for the highest the stack gets, not for every token: deep forms on many rows would
    // otherwise hold a gradient column per token.
    std::size_t depth = 0;
    std::size_t height = 0;
    for (const Token& token : form.tokens) {
        const std::size_t pops = token.kind == TokenKind::Op ? token.arity : 0;
        if (height < pops) return false;
        height = height - pops + 1;
        depth = std::max(depth, height);
    }
    values_.resize(n);
    jacobian_.resize(n * p);
    value_stack_.resize((depth + 1) * n);
    gradient_stack_.resize(depth * p * n);
    depends_stack_.resize(depth);
    partials_.resize(2 * n);
    Complex* const scratch = &value_stack_[depth * n];  // results before they replace operand 0
    std::size_t top = 0;
    for (const Token& token : form.tokens) {
        if (token.kind != TokenKind::Op) {
            Complex* column = &value_stack_[top * n];
            std::uint8_t depends = 0;
            switch (token.kind) {
                case TokenKind::Const:
                    std::fill(column, column + n, token.value);
                    break;
                case TokenKind::Real:
                case TokenKind::Integer:
                    std::fill(column, column + n, Complex{token.value.re, 0.0});
                    break;
                case TokenKind::Var:
                    for (std::size_t r = 0; r < n; ++r) {
                        const std::vector<Complex>& row = rows_[active_[r]];
                        if (token.index >= row.size()) return false;
                        column[r] = row[token.index];
                    }
                    break;
                default: {  // Param
                    std::fill(column, column + n, Complex{params[token.index], 0.0});
                    depends = 1;
                    Complex* g = &gradient_stack_[top * p * n];
                    std::fill(g, g + p * n, Complex{});
                    std::fill(g + token.index * n, g + (token.index + 1) * n, Complex{1.0, 0.0});
                    break;
                }
            }
            depends_stack_[top] = depends;
            ++top;
            continue;
        }
        const std::size_t arity = token.arity;
        if (top < arity) return false;
        if (arity == 0) {
            std::fill(&value_stack_[top * n], &value_stack_[top * n] + n,
                      *eval_builtin(token.id, {}, {}));
            depends_stack_[top] = 0;
            ++top;
            continue;
        }
        const std::size_t first = top - arity;
        Complex* a = &value_stack_[first * n];
        const Complex* b = arity == 2 ? &value_stack_[(top - 1) * n] : nullptr;
        if (!apply_column(token.id, a, b, scratch, n,
                          std::make_index_sequence<builtin_id::count>{})) {
            return false;
        }
        const bool depends_a = depends_stack_[first] != 0;
        const bool depends_b = arity == 2 && depends_stack_[top - 1] != 0;
        if (depends_a || depends_b) {
            Complex* d_a = partials_.data();
            Complex* d_b = partials_.data() + n;
            derivative_rules[token.id].over_rows(a, b, scratch, d_a, d_b, n);
            Complex* g_a = &gradient_stack_[first * p * n];
            const Complex* g_b = &gradient_stack_[(top - 1) * p * n];
            for (std::size_t k = 0; k < p; ++k) {
                Complex* ga = g_a + k * n;
                const Complex* gb = g_b + k * n;
                if (depends_a && depends_b) {
                    for (std::size_t r = 0; r < n; ++r) {
                        const Complex s = mul(d_a[r], ga[r]);
                        const Complex t = mul(d_b[r], gb[r]);
                        ga[r] = {s.re + t.re, s.im + t.im};
                    }
                } else if (depends_a) {
                    for (std::size_t r = 0; r < n; ++r) ga[r] = mul(d_a[r], ga[r]);
                } else {
                    for (std::size_t r = 0; r < n; ++r) ga[r] = mul(d_b[r], gb[r]);
                }
            }
        }
        std::copy(scratch, scratch + n, a);
        depends_stack_[first] = depends_a || depends_b ? 1 : 0;
        top = first + 1;
    }
    if (top != 1) return false;
    for (std::size_t r = 0; r < n; ++r) {
        if (!is_acceptable_value(value_stack_[r])) return false;
        values_[r] = value_stack_[r].re;
        for (std::size_t k = 0; k < p; ++k) {
            const double d = depends_stack_[0] ? gradient_stack_[k * n + r].re : 0.0;
            jacobian_[r * p + k] = std::isfinite(d) ? d : 0.0;
        }
    }
    return true;
}

void LeastSquaresFitter::solve_affine(bool affine, Point& point) {
    const std::size_t n = active_.size();
    point.scale = 1.0;
    point.offset = 0.0;
    if (affine && n > 0) {
        // A constant f explains nothing beyond the mean: a = 0.
        const AffineFit<double> fit = fit_affine<double>(
            n, [&](std::size_t r) { return values_[r]; },
            [&](std::size_t r) { return targets_[active_[r]]; });
        point.scale = fit.scale;
        point.offset = fit.offset;
    }
    double sse = 0.0;
    for (std::size_t r = 0; r < n; ++r) {
        const double residual = point.scale * values_[r] + point.offset - targets_[active_[r]];
        sse += residual * residual;
    }
    point.sse = std::isfinite(sse) ? sse : std::numeric_limits<double>::infinity();
}

void LeastSquaresFitter::build_normal_equations(const Point& point, bool affine) {
    const std::size_t n = active_.size();
    const std::size_t p = param_count_;
    // With the affine pair eliminated, the residual's derivative is a·∂f projected off the
    // columns f and 1 (variable projection); a constant f leaves a undetermined, so steps
    // are taken as if a were 1.
    const double a = affine && point.scale == 0.0 ? 1.0 : point.scale;
    column_.resize(n * p);
    for (std::size_t i = 0; i < n * p; ++i) column_[i] = a * jacobian_[i];
    if (affine && n > 0) {
        double mean_f = 0.0;
        for (std::size_t r = 0; r < n; ++r) mean_f += values_[r];
        mean_f /= static_cast<double>(n);
        double s_ff = 0.0;
        for (std::size_t r = 0; r < n; ++r) s_ff += (values_[r] - mean_f) * (values_[r] - mean_f);
        const bool project_f = point.scale != 0.0 && s_ff > 0.0;
        for (std::size_t k = 0; k < p; ++k) {
            double mean_c = 0.0;
            for (std::size_t r = 0; r < n; ++r) mean_c += column_[r * p + k];
            mean_c /= static_cast<double>(n);
            double s_cf = 0.0;
            for (std::size_t r = 0; r < n; ++r) {
                column_[r * p + k] -= mean_c;
                s_cf += column_[r * p + k] * (values_[r] - mean_f);
            }
            if (!project_f) continue;
            const double beta = s_cf / s_ff;
            for (std::size_t r = 0; r < n; ++r) column_[r * p + k] -= beta * (values_[r] - mean_f);
        }
    }
    normal_.assign(p * p, 0.0);
    gradient_.assign(p, 0.0);
    for (std::size_t r = 0; r < n; ++r) {
        const double residual = point.scale * values_[r] + point.offset - targets_[active_[r]];
        const double* c = &column_[r * p];
        for (std::size_t i = 0; i < p; ++i) {
            gradient_[i] += c[i] * residual;
            for (std::size_t j = 0; j <= i; ++j) normal_[i * p + j] += c[i] * c[j];
        }
    }
    for (std::size_t i = 0; i < p; ++i) {
        for (std::size_t j = 0; j < i; ++j) normal_[j * p + i] = normal_[i * p + j];
    }
}

LeastSquaresFitter::Point LeastSquaresFitter::run_start(const Expression& form,
                                                        std::vector<double> start,
                                                        const LeastSquaresOptions& options,
                                                        double best_sse, bool is_first) {
    const std::size_t p = param_count_;
    Point current;
    current.params = std::move(start);
    if (!evaluate(form, current.params)) return current;
    solve_affine(options.affine, current);
    if (p == 0) return current;
    build_normal_equations(current, options.affine);

    Point trial;
    double damping = initial_damping;
    for (int iteration = 0; iteration < options.max_iterations; ++iteration) {
        if (current.sse <= exact_sse_) break;
        if (!is_first && iteration == screening_iterations && current.sse > 2.0 * best_sse) break;
        double largest_diagonal = 0.0;
        for (std::size_t k = 0; k < p; ++k) {
            largest_diagonal = std::max(largest_diagonal, normal_[k * p + k]);
        }
        if (!(largest_diagonal > 0.0) || !std::isfinite(largest_diagonal)) break;
        // Marquardt scaling damps each parameter by its own curvature; the floor keeps a
        // parameter the data does not see (a rank-deficient column) from making the system
        // singular.
        const double diagonal_floor = 1e-12 * largest_diagonal;
        system_ = normal_;
        step_.resize(p);
        for (std::size_t k = 0; k < p; ++k) {
            system_[k * p + k] += damping * std::max(normal_[k * p + k], diagonal_floor);
            step_[k] = -gradient_[k];
        }
        if (!cholesky_solve(system_, step_, p)) {
            damping *= damping_up;
            if (damping > max_damping) break;
            continue;
        }
        // Reduction the linear model promises: −2gᵀδ − δᵀAδ.
        double promised = 0.0;
        for (std::size_t i = 0; i < p; ++i) {
            double a_step = 0.0;
            for (std::size_t j = 0; j < p; ++j) a_step += normal_[i * p + j] * step_[j];
            promised -= 2.0 * gradient_[i] * step_[i] + step_[i] * a_step;
        }
        if (!(promised > relative_progress * current.sse)) break;

        trial.params = current.params;
        for (std::size_t k = 0; k < p; ++k) trial.params[k] += step_[k];
        if (evaluate(form, trial.params)) {
            solve_affine(options.affine, trial);
        } else {
            trial.sse = std::numeric_limits<double>::infinity();
        }
        if (trial.sse < current.sse) {
            const double gain = current.sse - trial.sse;
            const double before = current.sse;
            std::swap(current, trial);
            build_normal_equations(current, options.affine);
            damping = std::max(damping / damping_down, min_damping);
            if (gain <= relative_progress * before) break;
        } else {
            damping *= damping_up;
            if (damping > max_damping) break;
        }
    }
    return current;
}

LeastSquaresFit LeastSquaresFitter::fit(const Expression& form, std::span<const double> initial,
                                        const LeastSquaresOptions& options,
                                        std::span<const std::uint32_t> row_indices) {
    LeastSquaresFit result;
    if (!row_indices.empty()) {
        active_.assign(row_indices.begin(), row_indices.end());
    } else {
        active_.resize(std::min(rows_.size(), targets_.size()));
        std::iota(active_.begin(), active_.end(), 0U);
    }
    // The parameters and their fallback values come from the Param tokens; an operator token
    // this fitter cannot differentiate makes the form unfittable.
    param_count_ = 0;
    for (const Token& token : form.tokens) {
        if (token.kind == TokenKind::Param) {
            param_count_ = std::max<std::size_t>(param_count_, token.index + 1U);
        } else if (token.kind == TokenKind::Op) {
            if (token.id >= builtin_id::count || token.id >= operators_.size() ||
                operators_[token.id]->arity() != token.arity) {
                return result;
            }
        }
    }
    std::vector<double> first(param_count_, 0.0);
    std::vector<bool> given(param_count_, false);
    for (std::size_t k = 0; k < std::min(initial.size(), param_count_); ++k) {
        first[k] = initial[k];
        given[k] = true;
    }
    for (const Token& token : form.tokens) {
        if (token.kind == TokenKind::Param && !given[token.index]) {
            first[token.index] = token.value.re;
            given[token.index] = true;
        }
    }
    for (const std::uint32_t r : active_) {
        if (r >= rows_.size() || r >= targets_.size()) return result;
    }
    double target_squares = 0.0;
    for (const std::uint32_t r : active_) target_squares += targets_[r] * targets_[r];
    // Relative RMS error 1e-14: a few ulps of rounding in the evaluation, nothing left to fit.
    exact_sse_ = 1e-28 * target_squares + 1e-300;

    Point best;
    const int starts = param_count_ == 0 ? 1 : std::max(options.starts, 1);
    for (int start = 0; start < starts; ++start) {
        Point point = run_start(form, starting_point(first, start), options, best.sse, start == 0);
        if (point.sse < best.sse) best = std::move(point);
        if (best.sse <= exact_sse_) break;
    }
    if (!std::isfinite(best.sse)) {
        result.params = std::move(first);
        return result;
    }
    result.params = std::move(best.params);
    result.scale = best.scale;
    result.offset = best.offset;
    result.sse = best.sse;
    return result;
}

}  // namespace kov
