#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kov {

struct GivenUnits;  // engine/units/units_reduction.hpp

// How a search explores and fits. Classic is the written breadth-first search, kept bit for bit;
// thorough ranks building blocks by their best affine fit, fits constants by least squares and
// returns the best formulas found when its time runs out.
enum class Strategy : std::uint8_t { classic, thorough };

// The parameters of one search. The first three are the positional user settings, the next four
// keyword-only user settings; the rest are fixed here and changed only on private copies
// (find_candidates disables the early exit).
struct SearchConfig {
    std::uint64_t max_complexity = 10;
    double complexity_penalty = 0.1;
    std::uint64_t beam_width = 1000;
    Strategy strategy = Strategy::classic;
    std::optional<double> time_limit;  // seconds of wall time, positive; none: no limit
    bool verbose = true;               // progress lines are written
    std::optional<double> noise;       // the targets' noise (standard deviation); none: estimated
    double early_exit_tolerance = 1e-10;
    bool disable_early_exit = false;
    bool fit_constants = true;
    // Constant recognition: a candidate whose value has an imaginary part beyond rounding is never
    // an answer (it still builds later levels: I * I is -1).
    bool real_answers_only = false;
    // Whole numbers seeded at level 1 after the named constants (exact, never fitted).
    std::vector<std::int32_t> integer_seeds;
    // Constant recognition with integers (a single sample): a level's candidates are ranked for the
    // beam by the closest one operation with 1 or a seeded integer k brings them to the target
    // (x + k, x - k, k - x, x k, x / k, k / x) or exp x or log x, when that is
    // closer than they are, as a building block far from the target (1 + Sqrt(5) for the golden
    // ratio) may be one step from it.
    bool rank_integer_completions = false;
    // When positive, the search returns its best answers of any complexity, this many at most,
    // by error then complexity, instead of the Pareto list.
    std::uint64_t ranked_answers = 0;
    // Distinct formulas the search may try, seeds included: it stops before a level that would
    // take it past this. None: no limit.
    std::optional<std::uint64_t> formula_budget;
    // The units of the inputs and the target, for the thorough strategy's dimensional analysis.
    // None: no units known.
    std::shared_ptr<const GivenUnits> units;

    SearchConfig() = default;
    SearchConfig(std::uint64_t max_complexity_, double complexity_penalty_,
                 std::uint64_t beam_width_)
        : max_complexity(max_complexity_),
          complexity_penalty(complexity_penalty_),
          beam_width(beam_width_) {}

    bool operator==(const SearchConfig&) const = default;
};

}  // namespace kov
