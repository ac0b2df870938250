#include "engine/thorough/thorough_front.hpp"

#include <cmath>
#include <limits>

#include "engine/fit/affine_fit.hpp"
#include "engine/select/pareto.hpp"
#include "engine/thorough/thorough_formula.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {

void ThoroughFront::keep_better(Entries& entries, const Expression& expression, double error) {
    auto it = entries.find(expression.complexity);
    if (it == entries.end()) {
        entries.emplace(expression.complexity, std::make_pair(error, expression));
    } else if (it->second.first > error) {
        it->second = std::make_pair(error, expression);
    }
}

void ThoroughFront::offer(const Expression& expression, double error) {
    if (!std::isfinite(error)) return;
    if (!gate_) {
        keep_better(entries_, expression, error);
        return;
    }
    // Only a formula that would take a place is verified: verifying costs far more than offering.
    const auto it = entries_.find(expression.complexity);
    if (it != entries_.end() && !(it->second.first > error)) return;
    const AdmittedFormula admitted = gate_->admit(expression);
    if (admitted.soundness == Soundness::sound) {
        keep_better(entries_, admitted.expression, error);
    } else if (admitted.soundness == Soundness::unsound_on_box) {
        keep_better(set_aside_, admitted.expression, error);
    }
}

void ThoroughFront::replace(std::uint64_t complexity, Expression expression, double error) {
    if (gate_) {
        // A polished form that is not sound leaves the entry as it was.
        if (!std::isfinite(error)) return;
        AdmittedFormula admitted = gate_->admit(expression);
        if (admitted.soundness != Soundness::sound) return;
        expression = std::move(admitted.expression);
    }
    entries_.erase(complexity);
    if (!std::isfinite(error)) return;
    const std::uint64_t key = expression.complexity;
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second.first > error) {
        entries_[key] = std::make_pair(error, std::move(expression));
    }
}

double ThoroughFront::best_error() const {
    double best = std::numeric_limits<double>::infinity();
    for (const auto& [complexity, entry] : entries_) best = std::fmin(best, entry.first);
    return best;
}

SearchOutcome ThoroughFront::finalize(std::shared_ptr<const OperatorRegistry> registry,
                                      const SearchConfig& config, double exact_floor) const {
    auto front = std::make_shared<ParetoFront>();
    // Formulas sound on the rows only stand in where no sound formula was offered.
    Entries listed = entries_;
    for (const auto& [complexity, entry] : set_aside_) listed.emplace(complexity, entry);
    for (const auto& [complexity, entry] : listed) {
        update_pareto(*front, entry.second, entry.first);
        if (entry.first <= exact_floor) break;
    }
    return finalize_result(std::move(front), std::move(registry), config);
}

bool real_values(const Expression& expression, const ComplexRows& rows,
                 const OperatorList& operators, std::vector<double>& out,
                 std::vector<Complex>& stack) {
    out.resize(rows.size());
    for (std::size_t j = 0; j < rows.size(); ++j) {
        stack.clear();
        const std::optional<Complex> value =
            eval_internal(expression.tokens, rows[j], {}, operators, stack);
        if (!value || !is_acceptable_value(*value)) return false;
        out[j] = value->re;
    }
    return true;
}

double rms_error(std::span<const double> values, std::span<const double> targets) {
    double sum = 0.0;
    for (std::size_t j = 0; j < values.size(); ++j) {
        const double residual = values[j] - targets[j];
        sum += residual * residual;
    }
    return std::sqrt(sum / static_cast<double>(targets.size()));
}

Expression affine_form(const Expression& f, double scale, double offset) {
    Expression out = scale == 1.0    ? f
                     : scale == -1.0 ? apply_builtin(builtin_id::neg, f)
                                     : apply_builtin(builtin_id::times, number(scale), f);
    if (offset != 0.0) out = apply_builtin(builtin_id::plus, out, number(offset));
    return out;
}

namespace {

// True when tokens [first, last) form one complete operand.
bool is_one_operand(const std::vector<Token>& tokens, std::size_t first, std::size_t last) {
    std::size_t depth = 0;
    for (std::size_t i = first; i < last; ++i) {
        const Token& token = tokens[i];
        const std::size_t takes = token.kind == TokenKind::Op ? token.arity : 0;
        if (depth < takes) return false;
        depth = depth - takes + 1;
        if (depth == 0) return false;
    }
    return depth == 1;
}

bool is_real(const Token& token, double value) {
    return token.kind == TokenKind::Real && token.value.re == value;
}

}  // namespace

Expression without_trivial_map(Expression expression) {
    std::vector<Token>& tokens = expression.tokens;
    const auto is_op = [](const Token& token, std::size_t id) {
        return token.kind == TokenKind::Op && token.id == id && token.arity == 2;
    };
    bool changed = false;
    // Plus(g, 0): the offset is the last operand.
    if (tokens.size() >= 3 && is_op(tokens.back(), builtin_id::plus) &&
        is_real(tokens[tokens.size() - 2], 0.0) && is_one_operand(tokens, 0, tokens.size() - 2)) {
        tokens.resize(tokens.size() - 2);
        changed = true;
    }
    // Times(a, f) with a = 1 or -1, alone or under the offset's Plus: the scale is the first
    // token and the Times ends the map's first operand.
    const bool has_offset = tokens.size() >= 3 && is_op(tokens.back(), builtin_id::plus) &&
                            tokens[tokens.size() - 2].kind == TokenKind::Real &&
                            is_one_operand(tokens, 0, tokens.size() - 2);
    const std::size_t scaled_end = has_offset ? tokens.size() - 2 : tokens.size();
    if (scaled_end >= 3 && is_op(tokens[scaled_end - 1], builtin_id::times) &&
        (is_real(tokens.front(), 1.0) || is_real(tokens.front(), -1.0)) &&
        is_one_operand(tokens, 1, scaled_end - 1)) {
        const bool negate = tokens.front().value.re < 0.0;
        if (negate) {
            tokens[scaled_end - 1] = Token::op(1, builtin_id::neg);
        } else {
            tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(scaled_end - 1));
        }
        tokens.erase(tokens.begin());
        changed = true;
    }
    if (changed) expression.complexity = tokens.size();
    return expression;
}

std::vector<ScoredExpression> affine_variants(const Expression& f, std::span<const double> values,
                                              std::span<const double> targets) {
    const std::size_t n = values.size();
    std::vector<ScoredExpression> out;
    std::vector<double> mapped(n);
    const auto add = [&](double scale, double offset) {
        if (!std::isfinite(scale) || !std::isfinite(offset)) return;
        for (std::size_t j = 0; j < n; ++j) mapped[j] = scale * values[j] + offset;
        const double error = rms_error(mapped, targets);
        if (std::isfinite(error)) out.push_back({affine_form(f, scale, offset), error});
    };
    add(1.0, 0.0);
    // Without variables a number would stand for the whole formula: no map to fit.
    if (f.var_count == 0) return out;
    // In extended precision: an exact line comes back with its numbers to the last bit or so,
    // not a few dozen units off.
    const AffineFit<long double> fit = fit_affine<long double>(
        n, [&](std::size_t j) { return values[j]; }, [&](std::size_t j) { return targets[j]; });
    if (fit.raw_squares > 0) add(static_cast<double>(fit.raw_products / fit.raw_squares), 0.0);
    add(1.0, static_cast<double>(fit.mean_y - fit.mean_f));
    double scale = 0.0, offset = 0.0;
    if (!fit.constant) {
        scale = static_cast<double>(fit.scale);
        offset = static_cast<double>(fit.offset);
    }
    if (scale != 0.0) add(scale, offset);
    return out;
}

}  // namespace kov
