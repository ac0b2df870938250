// The budgets of a level: which parents it expands and how many children it keeps.

#include <algorithm>

#include "engine/thorough/thorough_stages.hpp"

namespace kov {

namespace {

std::size_t size_of(const ThoroughState& state, std::uint64_t k) {
    return state.levels[k].size();
}

// The largest cap (at least 1) whose expansion generates at most `budget` children.
std::size_t largest_cap_within(const ThoroughState& state, std::uint64_t level, double budget) {
    std::size_t largest = 1;
    for (std::uint64_t k = 1; k < level; ++k) largest = std::max(largest, size_of(state, k));
    if (expansion_cost(state, level, largest) <= budget) return largest;
    std::size_t low = 1;
    std::size_t high = largest;
    while (low + 1 < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (expansion_cost(state, level, middle) <= budget) {
            low = middle;
        } else {
            high = middle;
        }
    }
    return low;
}

}  // namespace

std::size_t parents_of(const ThoroughState& state, std::uint64_t k) {
    return std::min(size_of(state, k), state.parent_limits[k]);
}

double expansion_cost(const ThoroughState& state, std::uint64_t level, std::size_t cap) {
    const auto capped = [&](std::uint64_t k) {
        return static_cast<double>(std::min(parents_of(state, k), cap));
    };
    // The level below is only ever a unary parent here: cheap, never capped.
    double cost = static_cast<double>(size_of(state, level - 1) * state.ops.unary.size());
    for (std::uint64_t k = 1; k + 2 <= level; ++k) {
        cost += capped(k) * capped(level - 1 - k) * static_cast<double>(state.ops.binary.size());
    }
    return cost;
}

std::size_t parent_cap(const ThoroughState& state, std::uint64_t level) {
    const std::size_t beam = std::max<std::size_t>(state.config.beam_width, 1);
    const std::size_t memory_cap =
        largest_cap_within(state, level, static_cast<double>(state.memory.children_per_level));
    return std::min(
        std::max(largest_cap_within(state, level, thorough_tuning.children_budget), beam),
        memory_cap);
}

void lower_parent_limits(ThoroughState& state, std::uint64_t level, std::size_t cap) {
    for (std::uint64_t k = 1; k + 2 <= level; ++k) {
        if (cap >= state.parent_limits[k]) continue;
        state.parent_limits[k] = cap;
        state.kept_bytes -= bfs::release_row_values(state.levels[k], cap);
    }
}

std::size_t keep_count(const ThoroughState& state, std::uint64_t level) {
    const double left = std::max(state.memory.level_bytes - state.kept_bytes, 0.0) /
                        bfs::expected_node_bytes(level, state.sample_rows.size());
    const auto fits = static_cast<std::size_t>(std::min(
        left / thorough_tuning.memory_left_parts, static_cast<double>(thorough_tuning.level_cap)));
    const auto beam =
        static_cast<std::size_t>(std::min(left, static_cast<double>(state.config.beam_width)));
    return std::max(fits, beam);
}

}  // namespace kov
