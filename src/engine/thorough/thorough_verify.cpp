#include "engine/thorough/thorough_verify.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "engine/select/formula_cleanup.hpp"
#include "engine/select/wide_eval.hpp"
#include "engine/thorough/thorough_tuning.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {

namespace {

// Bases of the Halton sequence: one prime per variable; further variables take a Weyl sequence.
constexpr std::array<unsigned, 16> halton_bases{2,  3,  5,  7,  11, 13, 17, 19,
                                                23, 29, 31, 37, 41, 43, 47, 53};

double radical_inverse(std::size_t index, unsigned base) {
    double result = 0.0;
    double fraction = 1.0 / base;
    while (index > 0) {
        result += static_cast<double>(index % base) * fraction;
        index /= base;
        fraction /= base;
    }
    return result;
}

double spread(std::size_t index, std::size_t variable) {
    if (variable < halton_bases.size()) return radical_inverse(index, halton_bases[variable]);
    // The fractional parts of multiples of an irrational number, one per variable.
    const double step = std::sqrt(static_cast<double>(2 * variable + 3));
    const double value = static_cast<double>(index) * step;
    return value - std::floor(value);
}

bool has_branch_cut(std::size_t id) {
    switch (id) {
        case builtin_id::kov:
        case builtin_id::log:
        case builtin_id::sqrt:
        case builtin_id::arcsin:
        case builtin_id::arccos:
        case builtin_id::arctan:
            return true;
        default:
            return false;
    }
}

double rms(std::span<const double> values) {
    double sum = 0.0;
    for (double v : values) sum += v * v;
    const double result =
        std::sqrt(sum / static_cast<double>(std::max<std::size_t>(1, values.size())));
    return result > 0.0 && std::isfinite(result) ? result : 1.0;
}

}  // namespace

FormulaVerifier::FormulaVerifier(const ComplexRows& rows, std::span<const double> targets,
                                 const OperatorList& operators)
    : scale_(rms(targets)), operators_(operators) {
    if (rows.empty()) return;
    const std::size_t taken = std::min(rows.size(), thorough_tuning.verified_rows);
    for (std::size_t k = 0; k < taken; ++k) points_.push_back(rows[k * rows.size() / taken]);
    row_points_ = points_.size();
    const std::size_t variables = rows.front().size();
    if (variables == 0) return;
    std::vector<double> low(variables, std::numeric_limits<double>::infinity());
    std::vector<double> high(variables, -std::numeric_limits<double>::infinity());
    for (const auto& row : rows) {
        for (std::size_t v = 0; v < variables && v < row.size(); ++v) {
            low[v] = std::fmin(low[v], row[v].re);
            high[v] = std::fmax(high[v], row[v].re);
        }
    }
    // Index 0 of the sequence is the box's corner; the points start past it.
    for (std::size_t k = 1; k <= thorough_tuning.box_points; ++k) {
        std::vector<Complex> point(variables);
        for (std::size_t v = 0; v < variables; ++v) {
            point[v] = Complex{low[v] + (high[v] - low[v]) * spread(k, v), 0.0};
        }
        points_.push_back(std::move(point));
    }
}

bool FormulaVerifier::sound_at(const Expression& expression, const std::vector<Complex>& point,
                               bool has_cuts, std::vector<Complex>& stack) const {
    stack.clear();
    const std::optional<Complex> engine =
        eval_internal(expression.tokens, point, {}, operators_, stack);
    if (!engine || !is_acceptable_value(*engine)) return false;
    for (const CutSide side : {CutSide::above, CutSide::below}) {
        if (side == CutSide::below && !has_cuts) break;
        const std::optional<WideComplex> wide = eval_wide(expression.tokens, point, side);
        if (!wide) return false;
        const long double room = static_cast<long double>(thorough_tuning.wide_agreement) *
                                 (scale_ + std::fabs(wide->re));
        if (std::fabs(wide->re - static_cast<long double>(engine->re)) > room) return false;
        if (std::fabs(wide->im) > room) return false;
    }
    return true;
}

Soundness FormulaVerifier::check(const Expression& expression) const {
    std::vector<Complex> stack;
    stack.reserve(expression.tokens.size());
    // Without an operator that has a branch cut, both sides give the same values.
    const bool has_cuts =
        std::any_of(expression.tokens.begin(), expression.tokens.end(),
                    [](const Token& t) { return t.kind == TokenKind::Op && has_branch_cut(t.id); });
    for (std::size_t k = 0; k < points_.size(); ++k) {
        if (sound_at(expression, points_[k], has_cuts, stack)) continue;
        return k < row_points_ ? Soundness::unsound : Soundness::unsound_on_box;
    }
    return Soundness::sound;
}

FrontGate::FrontGate(const ComplexRows& rows, std::span<const double> targets,
                     std::shared_ptr<const OperatorRegistry> registry)
    : registry_(std::move(registry)), verifier_(rows, targets, registry_->operators()) {}

AdmittedFormula FrontGate::admit(const Expression& expression) const {
    AdmittedFormula out;
    out.expression = cleaned_formula(expression, *registry_, verifier_.points(), verifier_.scale());
    out.soundness = verifier_.check(out.expression);
    return out;
}

}  // namespace kov
