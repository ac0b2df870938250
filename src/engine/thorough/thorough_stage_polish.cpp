// The front's fitted numbers refitted on all rows and snapped to simple values.

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/levels/pool.hpp"
#include "engine/select/constant_snapping.hpp"
#include "engine/thorough/thorough_stages.hpp"

namespace kov {

// A map that became trivial (1·f, f + 0) is dropped. Formulas confirmed on strided rows of large
// data are measured on all rows first.
void polish(ThoroughState& state) {
    const bool measured_on_all = state.strided_rows.empty();
    std::vector<std::pair<std::uint64_t, ScoredExpression>> work;
    for (const auto& [complexity, entry] : state.front.entries()) {
        const auto& tokens = entry.second.tokens;
        if (!measured_on_all || std::any_of(tokens.begin(), tokens.end(), [](const Token& t) {
                return t.kind == TokenKind::Real;
            })) {
            work.emplace_back(complexity, ScoredExpression{entry.second, entry.first});
        }
    }
    const NoiseModel noise = snapping_noise(state);
    const std::vector<double>& targets = state.targets;
    parallel_for(work.size(), 1, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        std::vector<double> initial;
        std::vector<double> values;
        std::vector<Complex> stack;
        for (std::size_t k = begin; k < end; ++k) {
            ScoredExpression& best = work[k].second;
            if (!measured_on_all) {
                best.error =
                    real_values(best.expression, state.rows, operators(state), values, stack)
                        ? rms_error(values, targets)
                        : std::numeric_limits<double>::infinity();
            }
            const Expression form = parameter_form(best.expression, TokenKind::Real, initial);
            if (initial.empty()) continue;
            LeastSquaresOptions options;
            options.affine = false;
            options.starts = thorough_tuning.polish_starts;
            options.max_iterations = thorough_tuning.polish_iterations;
            const LeastSquaresFit fit = fitter(state, worker).fit(form, initial, options);
            if (std::isfinite(fit.sse)) {
                Expression refitted = with_numbers(form, fit.params);
                if (real_values(refitted, state.rows, operators(state), values, stack)) {
                    const double error = rms_error(values, targets);
                    if (error < best.error) best = {std::move(refitted), error};
                }
            }
            // Constants snap within the rounding of tabled data (data_precision.hpp) too.
            Expression snapped = without_trivial_map(state.precision.snap_within_rounding(
                snap_constants(best.expression, state.rows, targets,
                               state.precision.with_rounding(noise, best.expression, state.rows,
                                                             operators(state)),
                               operators(state)),
                state.rows, targets, operators(state)));
            if (real_values(snapped, state.rows, operators(state), values, stack)) {
                const double error = rms_error(values, targets);
                if (std::isfinite(error)) best = {std::move(snapped), error};
            }
        }
    });
    for (auto& [complexity, polished] : work) {
        state.front.replace(complexity, std::move(polished.expression), polished.error);
    }
}

}  // namespace kov
