#include "engine/search/bfs_progress.hpp"

#include <array>

namespace kov {

std::string format_duration(std::chrono::nanoseconds elapsed) {
    struct Unit {
        std::int64_t nanoseconds;
        std::size_t decimals;
        const char* name;
    };
    static constexpr std::array<Unit, 4> units = {{
        {1'000'000'000, 9, "s"},
        {1'000'000, 6, "ms"},
        {1'000, 3, "\u00b5s"},
        {1, 0, "ns"},
    }};
    const std::int64_t total = elapsed.count() < 0 ? 0 : elapsed.count();
    for (const Unit& unit : units) {
        if (total < unit.nanoseconds && unit.nanoseconds != 1) continue;
        std::string text = std::to_string(total / unit.nanoseconds);
        if (const std::int64_t rest = total % unit.nanoseconds; rest != 0) {
            std::string digits = std::to_string(rest);
            digits.insert(0, unit.decimals - digits.size(), '0');
            while (digits.back() == '0') digits.pop_back();
            text += '.';
            text += digits;
        }
        return text + unit.name;
    }
    return "0ns";  // not reached: the last unit takes everything
}

std::string seeded_line(std::size_t seeds) {
    return "[KOV-SR] Started search space exploration. Level 1 seeded with " +
           std::to_string(seeds) + " primary nodes.";
}

std::string level_line(std::uint64_t level, std::chrono::nanoseconds elapsed, std::size_t kept) {
    return "[KOV-SR]   -> Level " + std::to_string(level) + " processed in " +
           format_duration(elapsed) + ". Retaining top " + std::to_string(kept) + " candidates.";
}

}  // namespace kov
