#include "engine/select/constant_snapping.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "engine/fit/least_squares.hpp"
#include "engine/select/simple_values.hpp"

namespace kov {

namespace {

struct SnapState {
    std::vector<double> values;         // per Real token, in token order
    std::vector<std::uint8_t> snapped;  // per Real token
    double sse = std::numeric_limits<double>::infinity();
    double length = std::numeric_limits<double>::infinity();
};

class Snapper {
public:
    Snapper(const Expression& fitted, const ComplexRows& rows, std::span<const double> targets,
            const NoiseModel& noise, const OperatorList& operators)
        : fitted_(fitted), noise_(noise), fitter_(rows, targets, operators) {
        for (std::size_t i = 0; i < fitted.tokens.size(); ++i) {
            if (fitted.tokens[i].kind == TokenKind::Real) positions_.push_back(i);
        }
        rows_ = std::min(rows.size(), targets.size());
    }

    [[nodiscard]] std::size_t count() const { return positions_.size(); }

    // Refits the numbers not snapped, starting from their current values, and scores the result.
    void refit(SnapState& state) {
        Expression form = fitted_;
        std::vector<double> initial;
        std::vector<std::size_t> free;
        for (std::size_t j = 0; j < positions_.size(); ++j) {
            Token& token = form.tokens[positions_[j]];
            if (state.snapped[j]) {
                token = Token::real(state.values[j]);
                continue;
            }
            token = Token::param(static_cast<std::uint8_t>(free.size()), {state.values[j], 0.0});
            initial.push_back(state.values[j]);
            free.push_back(j);
        }
        LeastSquaresOptions options;
        options.affine = false;
        options.starts = 1;
        const LeastSquaresFit fit = fitter_.fit(form, initial, options);
        state.sse = fit.sse;
        if (std::isfinite(fit.sse)) {
            for (std::size_t f = 0; f < free.size(); ++f) state.values[free[f]] = fit.params[f];
        }
        FormulaCost cost{state.sse, rows_, free.size(), fitted_.complexity};
        for (std::size_t j = 0; j < positions_.size(); ++j) {
            if (state.snapped[j])
                cost.simple_constants += simple_value_cost(state.values[j]).value_or(0.0);
        }
        state.length = description_length(cost, noise_);
    }

    [[nodiscard]] Expression expression_of(const SnapState& state) const {
        Expression out = fitted_;
        for (std::size_t j = 0; j < positions_.size(); ++j) {
            out.tokens[positions_[j]] = Token::real(state.values[j]);
        }
        return out;
    }

private:
    const Expression& fitted_;
    NoiseModel noise_;
    LeastSquaresFitter fitter_;
    std::vector<std::size_t> positions_;
    std::size_t rows_ = 0;
};

// Data beyond this many rows get their snaps proposed on this many evenly spread rows; all rows
// then only confirm the proposal (two refits instead of one per value tried).
constexpr std::size_t proposal_rows = 256;

// The Real tokens' values, those already simple marked as named.
SnapState initial_state(const Expression& fitted) {
    SnapState state;
    for (const Token& token : fitted.tokens) {
        if (token.kind != TokenKind::Real) continue;
        state.values.push_back(token.value.re);
        state.snapped.push_back(simple_value_cost(token.value.re) ? 1 : 0);
    }
    return state;
}

// A snap is kept when the criterion does not grow, or when the named number fits at least as
// well as the fitted one did (2.5x + 1.3 with 1.2999999999999998 fitted): a name that loses
// nothing is always the better description, whatever the criterion charges for it.
bool acceptable(const SnapState& trial, const SnapState& current) {
    return trial.length <= current.length || trial.sse <= current.sse;
}

// Greedy rounds from `current` (already refitted) until no snap qualifies.
SnapState snap_greedily(Snapper& snapper, SnapState current) {
    while (true) {
        std::optional<SnapState> best;
        for (std::size_t j = 0; j < current.values.size(); ++j) {
            if (current.snapped[j]) continue;
            for (const double simple : simple_values_near(current.values[j])) {
                SnapState trial = current;
                trial.values[j] = simple;
                trial.snapped[j] = 1;
                snapper.refit(trial);
                if (!acceptable(trial, current)) continue;
                if (!best || trial.length < best->length) best = std::move(trial);
            }
        }
        if (!best) return current;
        current = std::move(*best);
    }
}

// The snaps the greedy rounds choose on evenly spread rows of large data, as a state to confirm
// on all rows; nullopt when they snap nothing new.
std::optional<SnapState> proposed_snaps(const Expression& fitted, const ComplexRows& rows,
                                        std::span<const double> targets, const NoiseModel& noise,
                                        const OperatorList& operators) {
    const std::size_t n = std::min(rows.size(), targets.size());
    ComplexRows spread_rows;
    std::vector<double> spread_targets;
    for (std::size_t k = 0; k < proposal_rows; ++k) {
        const std::size_t j = k * n / proposal_rows;
        spread_rows.push_back(rows[j]);
        spread_targets.push_back(targets[j]);
    }
    const SnapState start = initial_state(fitted);
    SnapState proposal =
        initial_state(snap_constants(fitted, spread_rows, spread_targets, noise, operators));
    if (proposal.snapped == start.snapped) return std::nullopt;
    return proposal;
}

}  // namespace

Expression snap_constants(const Expression& fitted, const ComplexRows& rows,
                          std::span<const double> targets, const NoiseModel& noise,
                          const OperatorList& operators) {
    NoiseModel scaled_noise = noise;
    if (!(scaled_noise.target_rms > 0.0)) {  // the scale of the data decides what is exact
        double squares = 0.0;
        for (const double y : targets) squares += y * y;
        scaled_noise.target_rms = targets.empty() ? 0.0 : std::sqrt(squares / targets.size());
    }
    Snapper snapper(fitted, rows, targets, scaled_noise, operators);
    // Param indices are 8 bits wide.
    if (snapper.count() == 0 || snapper.count() > 256) return fitted;

    SnapState current = initial_state(fitted);
    snapper.refit(current);
    if (!std::isfinite(current.sse)) return fitted;

    if (std::min(rows.size(), targets.size()) <= proposal_rows) {
        return snapper.expression_of(snap_greedily(snapper, std::move(current)));
    }
    // Large data: the spread rows choose which values to try, so that all rows refit only a few
    // times. A wrong value they refuse would cost all rows more (its misfit grows with the rows);
    // a right one they refuse would save all rows at most ½·log(rows / spread rows) nats more,
    // so it is refused only at the margin. What they propose stands if all rows accept it as one
    // step; otherwise all rows judge its snaps one by one.
    const std::optional<SnapState> proposal =
        proposed_snaps(fitted, rows, targets, scaled_noise, operators);
    if (!proposal) return snapper.expression_of(current);
    SnapState whole = *proposal;
    snapper.refit(whole);
    if (std::isfinite(whole.sse) && acceptable(whole, current)) {
        return snapper.expression_of(whole);
    }
    for (std::size_t j = 0; j < current.values.size(); ++j) {
        if (current.snapped[j] || !proposal->snapped[j]) continue;
        SnapState trial = current;
        trial.values[j] = proposal->values[j];
        trial.snapped[j] = 1;
        snapper.refit(trial);
        if (std::isfinite(trial.sse) && acceptable(trial, current)) current = std::move(trial);
    }
    return snapper.expression_of(current);
}

}  // namespace kov
