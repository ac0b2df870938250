#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/entry/run_bfs.hpp"
#include "engine/search/config.hpp"
#include "engine/search/result.hpp"

namespace kov {

// What the reference search saw at one level of 2 and up, for tests that compare engines.
struct ReferenceLevelTrace {
    std::uint64_t level = 0;
    std::size_t unique = 0;  // candidates that survived deduplication
    std::size_t scored = 0;  // candidates with a finite error
    std::size_t kept = 0;    // after the beam cut
    // The last kept and the first dropped candidate have equal scores (both NaN counts as equal):
    // which of them is kept depends on how ties are ordered, not on the algorithm alone.
    bool tie_at_cut = false;
};

struct ReferenceTrace {
    std::vector<ReferenceLevelTrace> levels;
};

// The breadth-first search written as plainly as possible: every candidate is a full Expression
// built by the composition rules and evaluated token by token, deduplication uses a plain set of
// full fingerprints in list order, every level is materialised and stably sorted by score (NaN
// after every number) before the beam cut. Sequential. The fast engine must return the same.
[[nodiscard]] SearchOutcome run_bfs_reference(const std::vector<std::vector<double>>& rows,
                                              const std::vector<double>& targets,
                                              const SearchConfig& config,
                                              const SearchHooks& hooks = {},
                                              ReferenceTrace* trace = nullptr);

}  // namespace kov
