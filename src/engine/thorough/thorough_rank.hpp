#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "engine/levels/bfs_level.hpp"

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

// Ranks the candidates of level `level` by the share of a target's spread that their best affine
// map leaves unexplained over the rows the levels cache, the smallest over the targets given
// (each centred, on those rows in the same order; the real target first, then alternatives such
// as the target divided by a variable, which a building block of a product or quotient may match
// long before the product is built; at most max_ranking_targets). The children's values come from
// the parents' cached ones. Children without variables carry no shape and are collected apart, up
// to `constant_quota`. The outcome does not depend on the thread count. Returns nothing when `poll`
// asked to stop.
[[nodiscard]] std::optional<AffineRanking> rank_affine(
    const std::vector<Level>& levels, std::uint64_t level, const CandidateList& candidates,
    const std::vector<std::vector<double>>& targets, std::size_t keep, std::size_t constant_quota,
    const std::function<bool()>& poll);

}  // namespace kov::bfs
