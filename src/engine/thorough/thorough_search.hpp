#pragma once

#include <vector>

#include "engine/search/config.hpp"
#include "engine/search/hooks.hpp"
#include "engine/search/result.hpp"

namespace kov {

// The thorough strategy: levels ranked by the error left after each candidate's best affine map
// a·f + b onto the targets (or onto the targets times or divided by a variable), so that building
// blocks survive; small levels kept whole and large ones expanded within a fixed budget of
// children; the best candidates offered to the front in their affine forms, the best with named
// constants fitted by least squares; all ranked and fitted on a well-spread subsample of the rows
// and confirmed on all of them; the front refitted and its numbers snapped at the end. Stops when
// a formula is exact or within the noise, or when the time limit is reached. Deterministic for
// any thread count without a time limit. Called by run_bfs after the input checks.
[[nodiscard]] SearchOutcome run_thorough(const std::vector<std::vector<double>>& rows,
                                         const std::vector<double>& targets,
                                         const SearchConfig& config, const SearchHooks& hooks);

}  // namespace kov
