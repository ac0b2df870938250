#pragma once

#include <cstdint>
#include <vector>

#include "engine/levels/bfs_expand.hpp"
#include "engine/levels/bfs_level.hpp"
#include "engine/levels/fingerprint_table.hpp"  // Digest

namespace kov::distributed {

// One share's children of a level, in list order, with their list positions and digests.
struct ShareExpansion {
    bfs::CandidateList candidates;
    std::vector<std::uint64_t> positions;
    std::vector<Digest> digests;
    std::uint64_t generated = 0;  // children built (commutative pruning excluded)
};

// The local expansion restricted to share `share` of `shares`: each round's parent pairs are cut
// into `shares` contiguous ranges and this share builds the children of its range. Positions are
// those of the whole level's list, so that `next_position` advances past the whole level. Every
// child with a fingerprint is kept: whether it is the earliest with a fingerprint new to the search
// is for the shards to say.
void expand_level_share(const std::vector<bfs::Level>& levels, std::uint64_t level,
                        const bfs::OperatorSets& ops, std::size_t share, std::size_t shares,
                        std::uint64_t& next_position, ShareExpansion& out);

}  // namespace kov::distributed
