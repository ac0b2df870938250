#include "engine/select/pareto.hpp"

#include <algorithm>
#include <limits>
#include <vector>

namespace kov {

std::map<std::uint64_t, double> ParetoFront::errors() const {
    std::lock_guard lock(mutex_);
    std::map<std::uint64_t, double> result;
    for (const auto& [complexity, entry] : entries_) result.emplace(complexity, entry.first);
    return result;
}

std::pair<double, std::string> ParetoFront::best() const {
    std::lock_guard lock(mutex_);
    std::pair<double, std::string> best{std::numeric_limits<double>::infinity(), {}};
    for (const auto& [complexity, entry] : entries_) {
        if (entry.first < best.first) best = {entry.first, entry.second.formula};
    }
    return best;
}

void update_pareto(ParetoFront& front, const Expression& candidate, double error) {
    std::lock_guard lock(front.mutex_);
    auto it = front.entries_.find(candidate.complexity);
    if (it == front.entries_.end()) {
        front.entries_.emplace(candidate.complexity, std::make_pair(error, candidate));
        return;
    }
    // Written as "existing > offered" so that a NaN on either side never replaces.
    if (it->second.first > error) it->second = std::make_pair(error, candidate);
}

bool check_early_exit(ParetoFront& front, bool disable, double tolerance) {
    if (disable) return false;
    std::lock_guard lock(front.mutex_);
    for (const auto& [complexity, entry] : front.entries_) {
        if (entry.first <= tolerance) return true;
    }
    return false;
}

SearchOutcome finalize_result(std::shared_ptr<ParetoFront> front,
                              std::shared_ptr<const OperatorRegistry> registry,
                              const SearchConfig& config) {
    std::vector<SearchResult> results;
    {
        std::lock_guard lock(front->mutex_);
        if (front->entries_.empty()) return SearchError::no_formula_found(config.max_complexity);
        double best = std::numeric_limits<double>::infinity();
        for (const auto& [complexity, entry] : front->entries_) {
            const auto& [error, expression] = entry;
            // Strict: a NaN or infinite error is never taken.
            if (!(best > error)) continue;
            results.push_back(SearchResult{expression, registry, error});
            best = error;
        }
    }
    std::reverse(results.begin(), results.end());
    return results;
}

}  // namespace kov
