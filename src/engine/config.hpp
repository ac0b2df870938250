#pragma once

#include <cstdint>
#include <optional>

namespace kov {

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

    SearchConfig() = default;
    SearchConfig(std::uint64_t max_complexity_, double complexity_penalty_, std::uint64_t beam_width_)
        : max_complexity(max_complexity_),
          complexity_penalty(complexity_penalty_),
          beam_width(beam_width_) {}
};

}  // namespace kov
