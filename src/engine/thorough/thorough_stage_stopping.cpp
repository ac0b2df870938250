// When the search stops: an exact formula, the noise floor reached, or no time for a level.

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/select/constant_snapping.hpp"
#include "engine/thorough/thorough_stages.hpp"

namespace kov {

namespace {

// The smallest noise level the front's formulas show: each one's mean squared error over the rows
// its fitted numbers leave free.
double achieved_noise(const ThoroughState& state) {
    const double rows = static_cast<double>(state.rows.size());
    double achieved = std::numeric_limits<double>::infinity();
    FormulaCost cost;
    for (const auto& [complexity, entry] : state.front.entries()) {
        count_numbers(entry.second, cost);
        const double free_rows = rows - static_cast<double>(cost.fitted_constants);
        if (free_rows < 1.0) continue;
        achieved = std::min(achieved, entry.first * std::sqrt(rows / free_rows));
    }
    return achieved;
}

// Reaching the noise floor alone does not show the structure: a wrong one with a few fitted
// numbers bends to fit the noise as well, and tends to come first, being shorter; and on few
// noise-free rows the estimated "noise" may be curvature the rows do not resolve. A formula at
// the floor whose numbers all snap to simple values while it stays there, and whose residuals
// leave nothing that neighbouring rows share, is the data's formula as far as they can tell;
// otherwise the search goes on. Each front entry is tried once.
//
// Where the estimate shows no floor (a hundred rows of a curving function leave the local
// polynomials unsure), the best the front has reached stands for it: a formula of simple numbers
// as good as that, within the loose floor, with every shorter level searched and residuals that
// look like noise, ends the search as well.
bool noise_floor_reached(ThoroughState& state) {
    // The rounding of tabled data is noise as well (data_precision.hpp).
    const bool estimated = state.noise > 0.0 || state.precision.rounded();
    const ThoroughTuning& tuning = thorough_tuning;
    // Against an estimate, both sides vary: the estimate, and the error of the data's own formula
    // over n rows (relative 1/√(2n)).
    const double rows = static_cast<double>(state.rows.size());
    const double uncertainty =
        std::hypot(noise_estimate_spread(state.rows.size()), 1.0 / std::sqrt(2.0 * rows));
    const double margin =
        state.config.noise
            ? tuning.given_noise_margin
            : tuning.given_noise_margin * (1.0 + tuning.estimate_standard_errors * uncertainty);
    const double floor =
        estimated ? margin * state.noise : tuning.loose_floor_fraction * state.spread;
    const bool loose_floor = state.noise > tuning.loose_floor_fraction * state.spread;
    const double achieved = achieved_noise(state);
    const double reached =
        achieved * achieved *
        (1.0 + tuning.floor_against_achieved_standard_errors * std::sqrt(2.0 / rows));
    std::vector<double> values;
    std::vector<Complex> stack;
    for (const auto& [complexity, entry] : state.front.entries()) {
        const auto& [error, expression] = entry;
        // A shorter formula may still reach the floor: while the levels are searched whole, the
        // search goes on until every shorter one was looked at. So it does past the budgets'
        // cuts when the floor is loose: then sums of blocks with simple numbers reach it long
        // before the levels that hold the true, shorter formula.
        if ((state.searched_whole || loose_floor || !estimated) &&
            state.searched_level + 1 < complexity) {
            continue;
        }
        // On tabled data a formula of simple numbers within the rounding of every row is as good
        // as the data can tell.
        if (state.precision.rounded()) {
            const Expression simple = state.precision.snap_within_rounding(
                expression, state.rows, state.targets, operators(state));
            FormulaCost numbers;
            count_numbers(simple, numbers);
            if (numbers.fitted_constants == 0 &&
                state.precision.within_rounding(simple, state.rows, state.targets,
                                                operators(state))) {
                return true;
            }
        }
        const double rounding =
            state.precision.rounding_sigma(expression, state.rows, operators(state));
        const double entry_floor =
            estimated && rounding > 0.0 ? margin * std::hypot(state.noise, rounding) : floor;
        // What another formula of the front already reached is a floor as well: a formula whose
        // squared error lies beyond the chance variation of that one's leaves signal unexplained,
        // before its numbers are snapped and after.
        if (error * error > reached) continue;
        if (error > entry_floor || !state.tried_at_floor.insert({complexity, error}).second) {
            continue;
        }
        const Expression snapped =
            snap_constants(expression, state.rows, state.targets,
                           state.precision.with_rounding(snapping_noise(state), expression,
                                                         state.rows, operators(state)),
                           operators(state));
        FormulaCost cost;
        count_numbers(snapped, cost);
        if (cost.fitted_constants > 0) continue;
        if (!real_values(snapped, state.rows, operators(state), values, stack)) continue;
        const double snapped_error = rms_error(values, state.targets);
        if (snapped_error > entry_floor || snapped_error * snapped_error > reached) continue;
        for (std::size_t j = 0; j < values.size(); ++j) values[j] -= state.targets[j];
        if (!state.residual_structure) state.residual_structure.emplace(state.input_rows);
        if (state.residual_structure->looks_like_noise(values)) return true;
    }
    return false;
}

// An exact formula offered ahead of the levels (a product fitted in logarithms, a sum of blocks)
// may be longer than one the next level builds, as when a variable is an affine map of another:
// levels that cost little are still searched up to its complexity.
bool shorter_exact_may_follow(const ThoroughState& state) {
    std::uint64_t simplest = 0;
    for (const auto& [complexity, entry] : state.front.entries()) {
        if (entry.first <= state.config.early_exit_tolerance * state.scale) {
            simplest = complexity;
            break;
        }
    }
    const std::uint64_t next = state.searched_level + 1;
    if (next >= simplest || !worth_running(state, next)) return false;
    return expansion_cost(state, next, parent_cap(state, next)) <=
           thorough_tuning.cheap_level_children;
}

}  // namespace

// Even when every level was asked for (find_candidates), a search stops once its front holds an
// exact formula or one at the noise floor: nothing beyond it can join.
bool should_stop(ThoroughState& state) {
    const double best = state.front.best_error();
    if (best <= state.config.early_exit_tolerance * state.scale) {
        return !shorter_exact_may_follow(state);
    }
    return noise_floor_reached(state);
}

// The estimated noise counts like a given one: a snap that costs no more than the noise is what
// the data allow.
NoiseModel snapping_noise(const ThoroughState& state) {
    const std::optional<double> sigma =
        state.config.noise ? state.config.noise
                           : (state.noise > 0.0 ? std::optional(state.noise) : std::nullopt);
    return NoiseModel{state.scale, sigma};
}

bool worth_running(const ThoroughState& state, std::uint64_t level) {
    if (level <= state.config.max_complexity) return true;
    if (!state.deadline.limited() || level > thorough_tuning.deepest_level) return false;
    if (keep_count(state, level) == 0) return false;  // no memory left to keep what it finds
    const double cost = expansion_cost(state, level, parent_cap(state, level));
    const double predicted = state.last_level_seconds * cost / std::max(state.last_level_cost, 1.0);
    return predicted < state.deadline.remaining();
}

}  // namespace kov
