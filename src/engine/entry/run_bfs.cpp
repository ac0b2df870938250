#include "engine/entry/run_bfs.hpp"

#include <utility>
#include <variant>

#include "engine/classic/classic_search.hpp"
#include "engine/select/result_criterion.hpp"
#include "engine/units/units_search.hpp"

namespace kov {

std::optional<SearchError> check_search_input(const std::vector<std::vector<double>>& rows,
                                              const std::vector<double>& targets,
                                              const SearchConfig& config) {
    if (rows.empty() || targets.empty() || rows.size() != targets.size()) {
        return SearchError::invalid_input(invalid_input_message);
    }
    if (rows.front().size() > max_variables) {
        return SearchError::invalid_input(too_many_variables_message);
    }
    if (config.max_complexity == 0) return SearchError::no_formula_found(0);
    return std::nullopt;
}

SearchOutcome run_bfs(const std::vector<std::vector<double>>& rows,
                      const std::vector<double>& targets, const SearchConfig& config,
                      const SearchHooks& hooks) {
    if (std::optional<SearchError> refused = check_search_input(rows, targets, config)) {
        return *std::move(refused);
    }
    SearchOutcome outcome = config.strategy == Strategy::thorough
                                ? run_thorough_with_units(rows, targets, config, hooks)
                                : run_classic(rows, targets, config, hooks);
    if (auto* results = std::get_if<std::vector<SearchResult>>(&outcome)) {
        attach_description_lengths(*results, rows, targets, config);
    }
    return outcome;
}

}  // namespace kov
