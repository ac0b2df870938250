#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/levels/bfs_level.hpp"

namespace kov::bfs {

// How the thorough search shares out one memory budget for its data: fixed shares for the levels'
// caches, the fingerprint set and one level's candidate list, and the rest for what is bounded
// by those (the ranking's heaps, the pool of building blocks and its partners, the fitters). The
// limits follow from counts and sizes alone, never from measured memory, so that the search
// stays the same for any thread count and any machine.
struct ThoroughMemory {
    double level_bytes = 0.0;            // the kept expressions with their nodes and row values
    std::size_t fingerprint_keys = 0;    // keys the set holds at most, a level's new ones included
    std::size_t children_per_level = 0;  // children one level's expansion generates at most
};

[[nodiscard]] ThoroughMemory share_memory(double total_bytes);

// Bytes one kept expression of complexity `complexity` is expected to take (its node, its
// expression with tokens and text, and `rows` cached values), allocation overhead included.
[[nodiscard]] double expected_node_bytes(std::uint64_t complexity, std::size_t rows);

// Bytes a built level takes, counted from its sizes.
[[nodiscard]] double level_bytes(const Level& level);

// Gives back the cached row values of the level's expressions from `first` on, which will never
// be parents again; returns the bytes given back. Their nodes stay (probes, constants) but no
// longer count as having row values.
double release_row_values(Level& level, std::size_t first);

}  // namespace kov::bfs
