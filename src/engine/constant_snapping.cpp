#include "engine/constant_snapping.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "engine/least_squares.hpp"
#include "engine/simple_values.hpp"

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

    SnapState current;
    for (const Token& token : fitted.tokens) {
        if (token.kind == TokenKind::Real) current.values.push_back(token.value.re);
    }
    // A number already simple is named, as the criterion counts it, and stays as it is.
    for (const double value : current.values) {
        current.snapped.push_back(simple_value_cost(value) ? 1 : 0);
    }
    snapper.refit(current);
    if (!std::isfinite(current.sse)) return fitted;

    // A snap is kept when the criterion does not grow, or when the named number fits at least as
    // well as the fitted one did (2.5x + 1.3 with 1.2999999999999998 fitted): a name that loses
    // nothing is always the better description, whatever the criterion charges for it.
    const auto acceptable = [&](const SnapState& trial) {
        return trial.length <= current.length || trial.sse <= current.sse;
    };
    while (true) {
        std::optional<SnapState> best;
        for (std::size_t j = 0; j < current.values.size(); ++j) {
            if (current.snapped[j]) continue;
            for (const double simple : simple_values_near(current.values[j])) {
                SnapState trial = current;
                trial.values[j] = simple;
                trial.snapped[j] = 1;
                snapper.refit(trial);
                if (!acceptable(trial)) continue;
                if (!best || trial.length < best->length) best = std::move(trial);
            }
        }
        if (!best) break;
        current = std::move(*best);
    }
    return snapper.expression_of(current);
}

}  // namespace kov
