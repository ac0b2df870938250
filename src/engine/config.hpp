#pragma once

#include <cstdint>

namespace kov {

// The parameters of one search. Only the first three are user settings; the rest are fixed here
// and changed only on private copies (find_candidates disables the early exit).
struct SearchConfig {
    std::uint64_t max_complexity = 10;
    double complexity_penalty = 0.1;
    std::uint64_t beam_width = 1000;
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
