#include "engine/search/time_limit.hpp"

#include <cmath>

#include "engine/search/bfs_progress.hpp"

namespace kov {

std::string time_limit_line(double limit_seconds, std::uint64_t level) {
    const auto nanoseconds = std::chrono::nanoseconds(
        static_cast<std::int64_t>(std::llround(std::fmin(limit_seconds, 9e9) * 1e9)));
    return "[KOV-SR] Time limit of " + format_duration(nanoseconds) + " reached at level " +
           std::to_string(level) + "; returning the best formulas found so far.";
}

}  // namespace kov
