#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/levels/bfs_level.hpp"
#include "engine/levels/fingerprint_table.hpp"

namespace kov::bfs {

// The operator lists the expansion draws from, by arity, and each operator's commutativity.
struct OperatorSets {
    std::vector<std::uint8_t> unary;
    std::vector<std::uint8_t> binary;
    std::vector<bool> commutative;  // by registry id
};

struct ExpansionCounts {
    std::uint64_t generated = 0;  // children built (commutative pruning excluded)
};

// Builds the candidate list of level `level` (unary children of level - 1, then binary rounds
// k = 1 .. level - 2) in list order, keeping only children whose fingerprint exists and is new to
// the search. Every child built consumes one position from `next_position`, so a key is always
// held by the earliest child in list order. Returns false when `poll` asked to stop. `limits`,
// when not empty, holds per level (by complexity) how many of its first expressions are parents.
bool expand_level(const std::vector<Level>& levels, std::uint64_t level, const OperatorSets& ops,
                  FingerprintTable& table, std::uint64_t& next_position, CandidateList& candidates,
                  ExpansionCounts& counts, const std::function<bool()>& poll,
                  const std::vector<std::size_t>& limits = {});

}  // namespace kov::bfs
