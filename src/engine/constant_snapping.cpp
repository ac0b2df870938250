#include "engine/constant_snapping.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "engine/least_squares.hpp"

namespace kov {

namespace {

// How far from a fitted number a simple value may lie to be tried at all (relative, with an
// absolute floor for numbers near zero); the criterion decides whether the data allow it.
constexpr double search_window = 0.1;
constexpr std::size_t values_per_number = 5;
constexpr int largest_denominator = 12;

struct Simple {
    double value;
    int rank;  // lower is simpler
};

// Named constants and simple closed forms of them, with their simplicity ranks.
std::vector<Simple> named_values() {
    using std::numbers::e;
    using std::numbers::pi;
    const double root_two_pi = std::sqrt(2.0 * pi);
    return {
        {pi, 1},
        {e, 1},
        {pi / 2.0, 2},
        {2.0 * pi, 2},
        {pi * pi, 3},
        {pi / 3.0, 3},
        {pi / 4.0, 3},
        {pi / 6.0, 3},
        {1.0 / pi, 3},
        {std::numbers::sqrt2, 2},
        {std::numbers::sqrt3, 2},
        {std::sqrt(5.0), 3},
        {1.0 / std::numbers::sqrt2, 3},
        {1.0 / std::numbers::sqrt3, 3},
        {std::sqrt(pi), 3},
        {root_two_pi, 3},
        {1.0 / root_two_pi, 3},
        {e * e, 3},
        {1.0 / e, 3},
        {std::sqrt(e), 3},
        {std::numbers::ln2, 2},
        {std::numbers::ln10, 3},
        {std::log(3.0), 3},
        {std::numbers::phi, 3},
    };
}

}  // namespace

std::vector<double> simple_values_near(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 1e9) return {};
    std::vector<Simple> found;
    const double window = search_window * std::max(std::fabs(value), 1.0);
    const auto consider = [&](double candidate, int rank) {
        if (std::fabs(candidate - value) <= window) found.push_back({candidate, rank});
    };
    consider(std::round(value), 0);
    for (int q = 2; q <= largest_denominator; ++q) {
        const double p = std::round(value * q);
        if (std::gcd(static_cast<std::int64_t>(std::fabs(p)), q) != 1) continue;
        consider(p / q, q <= 4 ? 2 : 4);
    }
    for (const Simple& named : named_values()) {
        consider(named.value, named.rank);
        consider(-named.value, named.rank);
    }
    // Simplest first, then nearest; a value already listed (an integer is also p/1) only once.
    std::stable_sort(found.begin(), found.end(), [&](const Simple& a, const Simple& b) {
        if (a.rank != b.rank) return a.rank < b.rank;
        return std::fabs(a.value - value) < std::fabs(b.value - value);
    });
    std::vector<double> out;
    for (const Simple& s : found) {
        if (std::find(out.begin(), out.end(), s.value) != out.end()) continue;
        out.push_back(s.value);
        if (out.size() == values_per_number) break;
    }
    return out;
}

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
        const FormulaCost cost{state.sse, rows_, free.size(), fitted_.complexity};
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
    current.snapped.assign(current.values.size(), 0);
    snapper.refit(current);
    if (!std::isfinite(current.sse)) return fitted;

    while (true) {
        std::optional<SnapState> best;
        for (std::size_t j = 0; j < current.values.size(); ++j) {
            if (current.snapped[j]) continue;
            for (const double simple : simple_values_near(current.values[j])) {
                SnapState trial = current;
                trial.values[j] = simple;
                trial.snapped[j] = 1;
                snapper.refit(trial);
                if (!best || trial.length < best->length) best = std::move(trial);
            }
        }
        if (!best || !(best->length <= current.length)) break;
        current = std::move(*best);
    }
    return snapper.expression_of(current);
}

}  // namespace kov
