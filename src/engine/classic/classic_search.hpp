#pragma once

#include <vector>

#include "engine/search/config.hpp"
#include "engine/search/hooks.hpp"
#include "engine/search/result.hpp"

namespace kov {

// The classic strategy: seeds level 1, then per level expands the earlier levels, deduplicates by
// fingerprint, scores and fits the candidates, offers them to the Pareto front and cuts the beam.
// Exact to the bit. Called by run_bfs after the input checks.
[[nodiscard]] SearchOutcome run_classic(const std::vector<std::vector<double>>& rows,
                                        const std::vector<double>& targets,
                                        const SearchConfig& config, const SearchHooks& hooks);

}  // namespace kov
