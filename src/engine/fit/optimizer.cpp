#include "engine/fit/optimizer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/fit/fitter_form.hpp"

// The error measures and the fitting loop exactly as the search defines them, evaluating token by
// token. The search itself fits with ConstantFitter (fitter_columns.cpp), which must reproduce
// fit_constants bit for bit; this file is the yardstick it is tested against.

namespace kov {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

std::vector<Complex> as_complex(std::span<const double> params) {
    std::vector<Complex> values;
    values.reserve(params.size());
    for (const double p : params) values.push_back(Complex{p, 0.0});
    return values;
}

// The real part of the form's value on one row, or 0.0 when the row has no value: inside a round a
// failed evaluation is a zero, not the end of the fit.
double prediction_or_zero(const Expression& form, std::span<const Complex> row,
                          std::span<const Complex> params, const OperatorList& operators,
                          std::vector<Complex>& stack) {
    stack.clear();
    const std::optional<Complex> value = eval_internal(form.tokens, row, params, operators, stack);
    return value ? value->re : 0.0;
}

}  // namespace

double compute_raw_error(const Expression& expression, const ComplexRows& rows,
                         std::span<const double> targets, const OperatorList& operators) {
    std::vector<Complex> stack;
    stack.reserve(expression.complexity);
    double sum = 0.0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        stack.clear();
        const std::optional<Complex> value =
            eval_internal(expression.tokens, rows[i], {}, operators, stack);
        // A single leaf returns its value untested, so the bound is checked here as well.
        if (!value || !is_acceptable_value(*value)) return infinity;
        if (i < targets.size()) sum += fitting::squared_difference(value->re, targets[i]);
    }
    return std::sqrt(sum / static_cast<double>(targets.size()));
}

double compute_error_with_params(const Expression& parameter_form, std::span<const double> params,
                                 const ComplexRows& rows, std::span<const double> targets,
                                 const OperatorList& operators) {
    const std::vector<Complex> values = as_complex(params);
    std::vector<Complex> stack;
    stack.reserve(parameter_form.complexity);
    double sum = 0.0;
    for (std::size_t j = 0; j < rows.size(); ++j) {
        stack.clear();
        const std::optional<Complex> value =
            eval_internal(parameter_form.tokens, rows[j], values, operators, stack);
        if (!value) return infinity;
        sum += fitting::squared_difference(value->re, targets[j]);
    }
    return std::sqrt(sum / static_cast<double>(rows.size()));
}

ScoredExpression fit_constants(const Expression& candidate, double raw_error,
                               const ComplexRows& rows, std::span<const double> targets,
                               const OperatorList& operators) {
    const std::size_t constant_count = fitting::count_constants(candidate);
    if (constant_count == 0 || constant_count > fitting::max_fitted_constants) {
        return {candidate, raw_error};
    }
    const fitting::ParameterForm parameter_form = fitting::make_parameter_form(candidate);
    const Expression& form = parameter_form.form;
    const std::size_t m = constant_count;

    std::vector<double> p = parameter_form.initial;
    double err = compute_error_with_params(form, p, rows, targets, operators);
    double damping = fitting::initial_damping;

    std::vector<Complex> stack;
    stack.reserve(form.complexity);
    std::vector<double> gradient(m);
    std::vector<double> trial(m);
    for (int round = 0; round < fitting::round_limit; ++round) {
        // Derivatives by forward differences, row by row; each gradient entry is summed over the
        // rows in order, which is the order the written sum prescribes.
        std::fill(gradient.begin(), gradient.end(), 0.0);
        const std::vector<Complex> base = as_complex(p);
        std::vector<Complex> probe = base;
        for (std::size_t j = 0; j < rows.size(); ++j) {
            const double f = prediction_or_zero(form, rows[j], base, operators, stack);
            const double residual = f - targets[j];
            for (std::size_t k = 0; k < m; ++k) {
                probe[k] = Complex{p[k] + fitting::difference_step, 0.0};
                const double g = prediction_or_zero(form, rows[j], probe, operators, stack);
                probe[k] = base[k];
                gradient[k] += fitting::difference_quotient(g, f) * residual;
            }
        }
        for (std::size_t k = 0; k < m; ++k) {
            trial[k] = fitting::damped_step(p[k], gradient[k], damping);
        }
        const double trial_err = compute_error_with_params(form, trial, rows, targets, operators);
        if (trial_err < err) {  // false for NaN
            p = trial;
            damping /= fitting::damping_change;
            const bool converged = err - trial_err < fitting::convergence_threshold;
            err = trial_err;
            if (converged) break;
        } else {
            damping *= fitting::damping_change;
        }
    }

    if (raw_error > err) {
        return {fitting::make_fitted_form(form, parameter_form.positions, p), err};
    }
    return {candidate, raw_error};
}

std::optional<ScoredExpression> score_candidate(const Expression& candidate,
                                                const ComplexRows& rows,
                                                std::span<const double> targets,
                                                const OperatorRegistry& registry,
                                                const SearchConfig& config) {
    const OperatorList& operators = registry.operators();
    const double raw_error = compute_raw_error(candidate, rows, targets, operators);
    if (config.fit_constants && std::isfinite(raw_error) &&
        raw_error < fitting::fitting_threshold && fitting::count_constants(candidate) > 0) {
        ScoredExpression fitted = fit_constants(candidate, raw_error, rows, targets, operators);
        if (!std::isfinite(fitted.error)) return std::nullopt;
        return fitted;
    }
    if (!std::isfinite(raw_error)) return std::nullopt;
    return ScoredExpression{candidate, raw_error};
}

}  // namespace kov
