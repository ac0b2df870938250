#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "engine/search/config.hpp"
#include "engine/search/result.hpp"

namespace kov {

// Sets each result's description_length on the search's own data: its SSE over all rows, its
// numbers (Real tokens: fitted, or named when simple), its complexity and the noise, config.noise
// when given and else estimated from the data once for all results. Reads the expressions only.
void attach_description_lengths(std::vector<SearchResult>& results,
                                const std::vector<std::vector<double>>& rows,
                                const std::vector<double>& targets, const SearchConfig& config);

// Position of the result of least description length; ties go to the earlier one (the list is most
// accurate first). Results whose value is NaN are never chosen; none at all when every value is NaN
// or the list is empty.
[[nodiscard]] std::optional<std::size_t> select_by_description_length(
    const std::vector<SearchResult>& results);

}  // namespace kov
