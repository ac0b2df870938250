#pragma once

#include <vector>

#include "engine/search/config.hpp"
#include "engine/search/hooks.hpp"
#include "engine/search/result.hpp"

namespace kov {

// The thorough strategy with the units of the inputs and target (config.units): the target
// divided by a monomial carrying its units is searched as a function of the dimensionless groups
// of the inputs, so every formula it tries is consistent in its units; the answers are written
// back over the original variables. When no consistent formula reaches what the search without
// units reaches, that search's formulas are returned instead (within the same time limit), and a
// progress line says so. Without units: run_thorough.
[[nodiscard]] SearchOutcome run_thorough_with_units(const std::vector<std::vector<double>>& rows,
                                                    const std::vector<double>& targets,
                                                    const SearchConfig& config,
                                                    const SearchHooks& hooks);

}  // namespace kov
