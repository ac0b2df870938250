#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "engine/bfs_level.hpp"

namespace kov::bfs {

// A candidate with the error left after its best affine map a·f + b onto the targets.
struct AffinePick {
    double sse = 0.0;            // on the rows the levels cache
    std::uint64_t position = 0;  // in the level's candidate list
    Child child;
};

struct AffineRanking {
    std::vector<AffinePick> kept;       // lowest SSE first (ties in list order), at most `keep`
    std::vector<AffinePick> constants;  // children without variables: the first ones in list order
    std::uint64_t scored = 0;           // candidates with a value on every cached row
};

// Ranks the candidates of level `level` by affine SSE over the rows the levels cache (their
// targets given centred, in the same order), with the children computed from the parents' cached
// values. Children without variables carry no shape and are collected apart, up to
// `constant_quota`. The outcome does not depend on the thread count. Returns nothing when `poll`
// asked to stop.
[[nodiscard]] std::optional<AffineRanking> rank_affine(const std::vector<Level>& levels,
                                                       std::uint64_t level,
                                                       const CandidateList& candidates,
                                                       std::span<const double> centred_targets,
                                                       std::size_t keep, std::size_t constant_quota,
                                                       const std::function<bool()>& poll);

}  // namespace kov::bfs
