#pragma once

#include <vector>

#include "engine/bfs.hpp"

namespace kov {

// The thorough strategy: levels ranked by the error left after each candidate's best affine map
// a·f + b (so that building blocks survive), small levels kept whole, every promising candidate
// offered to the front in its affine form, all on a well-spread subsample of the rows and
// confirmed on all of them. Called by run_bfs after the input checks.
[[nodiscard]] SearchOutcome run_thorough(const std::vector<std::vector<double>>& rows,
                                         const std::vector<double>& targets,
                                         const SearchConfig& config, const SearchHooks& hooks);

}  // namespace kov
