#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kov {

// Elapsed time in the largest of s, ms, µs, ns in which it is at least 1, with up to 9, 6, 3 or 0
// decimals and no trailing zeros: 2s, 1.5s, 12.034ms, 850ns.
[[nodiscard]] std::string format_duration(std::chrono::nanoseconds elapsed);

[[nodiscard]] std::string seeded_line(std::size_t seeds);

[[nodiscard]] std::string level_line(std::uint64_t level, std::chrono::nanoseconds elapsed,
                                     std::size_t kept);

}  // namespace kov
