#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace kov {

// The wall-clock budget of one search, counted from its construction.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(std::optional<double> seconds) : start_(Clock::now()), seconds_(seconds) {}

    [[nodiscard]] bool limited() const { return seconds_.has_value(); }
    [[nodiscard]] double limit() const { return seconds_.value_or(0.0); }
    [[nodiscard]] double elapsed() const {
        return std::chrono::duration<double>(Clock::now() - start_).count();
    }
    // Seconds left; infinite without a limit.
    [[nodiscard]] double remaining() const {
        if (!seconds_) return std::numeric_limits<double>::infinity();
        return *seconds_ - elapsed();
    }
    [[nodiscard]] bool passed() const { return seconds_ && elapsed() >= *seconds_; }

private:
    Clock::time_point start_;
    std::optional<double> seconds_;
};

// "[KOV-SR] Time limit of 5s reached at level 7; returning the best formulas found so far."
[[nodiscard]] std::string time_limit_line(double limit_seconds, std::uint64_t level);

}  // namespace kov
