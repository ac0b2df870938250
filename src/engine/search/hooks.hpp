#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/expression.hpp"

namespace kov {

// Per-level counters and times a search collects when asked (benchmarks and tuning).
struct LevelStats {
    std::uint64_t level = 0;
    std::uint64_t generated = 0;     // children built, before deduplication and pruning
    std::uint64_t unique = 0;        // candidates that survived deduplication
    std::uint64_t fitted = 0;        // candidates whose constants were fitted
    std::uint64_t scored = 0;        // candidates with a finite error
    std::uint64_t kept = 0;          // after the beam cut
    double expansion_seconds = 0.0;  // wall time
    double scoring_seconds = 0.0;    // wall time, fitting included
    double fitting_seconds = 0.0;    // time inside the fitter, summed over the workers
};

struct SearchStats {
    std::vector<LevelStats> levels;  // levels 2 and up, in order
};

// Where a search stands, for progress bars: sent once level 1 is seeded and after every level.
struct ProgressEvent {
    std::uint64_t level = 0;           // the last level finished
    double elapsed_seconds = 0.0;      // since the search started
    std::optional<double> time_limit;  // the search's limit in seconds, if any
    double best_error = std::numeric_limits<double>::infinity();
    std::string best_formula;  // empty while nothing has a finite error
};

// What the caller lends a search: where progress lines go and how to ask whether to stop. The
// engine never touches Python; the binding passes a sink writing to sys.stdout and a check polling
// for signals. Both are called on the thread that called run_bfs only.
struct SearchHooks {
    // Receives each progress line without its trailing newline. Empty: lines are dropped.
    std::function<void(std::string_view line)> progress;
    // Polled between chunks of work; returning true ends the search with SearchError::Cancelled.
    // Empty: never cancelled.
    std::function<bool()> should_cancel;
    // Receives a ProgressEvent per level, whatever the verbosity. Empty: not called.
    std::function<void(const ProgressEvent& event)> on_progress;
    // Observer for tests and benchmarks: called with each level's expressions once the level is
    // final (level 1 after seeding, then every level after its beam cut). Empty: not called.
    std::function<void(std::uint64_t level, std::span<const Expression> kept)> on_level;
    // Filled with per-level statistics when set. Not owned.
    SearchStats* stats = nullptr;
};

}  // namespace kov
