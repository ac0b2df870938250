#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "engine/search/config.hpp"
#include "engine/search/hooks.hpp"
#include "engine/search/result.hpp"

namespace kov {

inline constexpr const char* invalid_input_message =
    "Inputs and target vector must be non-empty and equal length.";
inline constexpr const char* too_many_variables_message =
    "At most 255 input variables are supported.";
inline constexpr std::size_t max_variables = 255;

// What run_bfs refuses before any search: rows and targets empty or of different lengths, more
// variables than max_variables, or max_complexity 0. Anyone who starts a search elsewhere (the
// distributed driver) asks here first, so both refuse alike.
[[nodiscard]] std::optional<SearchError> check_search_input(
    const std::vector<std::vector<double>>& rows, const std::vector<double>& targets,
    const SearchConfig& config);

// The engine's one entry point: breadth-first search over complexity. Returns the formulas each
// more accurate than every simpler one (most accurate first) or the reason there are none.
// Throws std::bad_alloc only when memory runs out.
[[nodiscard]] SearchOutcome run_bfs(const std::vector<std::vector<double>>& rows,
                                    const std::vector<double>& targets, const SearchConfig& config,
                                    const SearchHooks& hooks = {});

}  // namespace kov
