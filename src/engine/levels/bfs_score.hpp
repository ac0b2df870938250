#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/fit/fitter_columns.hpp"
#include "engine/levels/bfs_level.hpp"
#include "engine/search/config.hpp"

namespace kov::bfs {

// What one level's scoring needs besides the candidates.
struct ScoringSetup {
    const std::vector<Level>* levels = nullptr;
    std::uint64_t level = 0;
    const ComplexRows* rows = nullptr;
    const std::vector<double>* targets = nullptr;
    const OperatorList* operators = nullptr;
    const SearchConfig* config = nullptr;
    // Rows scored first, in this order, because their targets lie farthest from the mean. Empty:
    // every candidate is scored in row order without abandoning.
    const std::vector<std::uint32_t>* head_rows = nullptr;
};

// A scored candidate that the level keeps or offers to the front.
struct Picked {
    double score = 0.0;
    double front_value = 0.0;  // score / (complexity * penalty + 1), what the front records
    double raw_error = 0.0;
    std::uint64_t position = 0;  // in the level's candidate list
    Child candidate;
    bool fitted = false;  // the fitted form is the kept expression
};

struct ScoringResult {
    std::vector<Picked> beam;     // best first, at most beam_width
    std::optional<Picked> front;  // what update_pareto in list order would leave for the level
    // When the search ranks answers: the level's best answers by front value, then list position.
    std::vector<Picked> answers;
    std::uint64_t scored = 0;  // candidates scored to the end with a finite error
    std::uint64_t fitted = 0;
    double fitting_seconds = 0.0;
};

// How many answers a level hands on when the search keeps `ranked` of them: more than that, as
// some may turn out to be the same value as a better one.
[[nodiscard]] inline std::size_t answers_per_level(std::uint64_t ranked) {
    return ranked == 0 ? 0 : static_cast<std::size_t>(4 * ranked + 16);
}

// Per-worker fitters, created on first use and kept for the whole search.
using FitterSet = std::vector<std::unique_ptr<ConstantFitter>>;

// Scores every candidate (raw error, fitting where it applies, rejection of non-finite errors) and
// selects the top beam_width by score (ties in list order) and the level's front entry, without
// materialising the scored list. Returns nothing when `poll` asked to stop.
[[nodiscard]] std::optional<ScoringResult> score_level(const ScoringSetup& setup,
                                                       const CandidateList& candidates,
                                                       FitterSet& fitters,
                                                       const std::function<bool()>& poll);

// The candidate as a full expression (tokens and formula) by the composition rules.
[[nodiscard]] Expression compose(const std::vector<Level>& levels, std::uint64_t level,
                                 const Child& candidate, const OperatorRegistry& registry);

// Ascending score with NaN after every number.
[[nodiscard]] inline bool score_less(double a, double b) {
    if (a != a) return false;
    if (b != b) return true;
    return a < b;
}

}  // namespace kov::bfs
