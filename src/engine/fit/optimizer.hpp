#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "engine/search/config.hpp"
#include "ops/registry.hpp"

namespace kov {

// Sample rows as complex values (value, +0.0), one row per sample point.
using ComplexRows = std::vector<std::vector<Complex>>;

struct ScoredExpression {
    Expression expression;
    double error = 0.0;
};

// Root-mean-square error of the real parts against the targets. +inf as soon as a row cannot be
// evaluated or has a part of magnitude >= 1e15 (or a non-finite part).
[[nodiscard]] double compute_raw_error(const Expression& expression, const ComplexRows& rows,
                                       std::span<const double> targets,
                                       const OperatorList& operators);

// The same measure for a parameter form with the given real parameter values, without the
// divergence bound: +inf when a row cannot be evaluated, NaN or inf propagate.
[[nodiscard]] double compute_error_with_params(const Expression& parameter_form,
                                               std::span<const double> params,
                                               const ComplexRows& rows,
                                               std::span<const double> targets,
                                               const OperatorList& operators);

// Damped gradient fitting of the candidate's named constants, written literally (token-by-token
// evaluation). Returns the fitted form when it is strictly better than raw_error, else the
// candidate itself with raw_error.
[[nodiscard]] ScoredExpression fit_constants(const Expression& candidate, double raw_error,
                                             const ComplexRows& rows,
                                             std::span<const double> targets,
                                             const OperatorList& operators);

// Candidate scoring: raw error, fitting where it applies, rejection of non-finite errors.
[[nodiscard]] std::optional<ScoredExpression> score_candidate(const Expression& candidate,
                                                              const ComplexRows& rows,
                                                              std::span<const double> targets,
                                                              const OperatorRegistry& registry,
                                                              const SearchConfig& config);

}  // namespace kov
