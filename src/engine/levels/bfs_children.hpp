#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/levels/bfs_expand.hpp"
#include "engine/levels/bfs_level.hpp"
#include "engine/levels/fingerprint_table.hpp"
#include "engine/levels/probe_key.hpp"
#include "ops/complex_math.hpp"

// The children of a level and their fingerprints, as both the local expansion and a share of a
// distributed one build them: the digests decide which child survives, so the two must build the
// same children at the same positions with the same keys.
namespace kov::bfs {

// One unary pass or one binary round: every (left, right) pair in order, each with every operator.
struct Round {
    const Level* left = nullptr;
    const Level* right = nullptr;  // null for the unary pass: the child has one parent
    std::uint32_t left_level = 0;
    const std::vector<std::uint8_t>* ops = nullptr;
    bool prune_commutative = false;  // both parents from the same level
    // The left parent's level is above the right one's: a commutative operator gives bit for bit
    // the values of the swapped pair, built in an earlier round, so the child is a duplicate.
    bool skip_commutative = false;
    // Parents taken from the front of each level; by default all of them.
    std::size_t left_limit = SIZE_MAX;
    std::size_t right_limit = SIZE_MAX;

    [[nodiscard]] std::size_t left_count() const { return std::min(left->size(), left_limit); }
    [[nodiscard]] std::size_t right_count() const {
        return right != nullptr ? std::min(right->size(), right_limit) : 1;
    }
    [[nodiscard]] std::size_t pairs() const { return left_count() * right_count(); }
    [[nodiscard]] std::uint8_t arity() const { return right != nullptr ? 2 : 1; }
};

// The rounds of level `level` in list order: unary children of level - 1, then the binary rounds
// k = 1 .. level - 2. `limits`, when not empty, holds per level (by complexity) how many of its
// first expressions are parents.
[[nodiscard]] inline std::vector<Round> level_rounds(const std::vector<Level>& levels,
                                                     std::uint64_t level, const OperatorSets& ops,
                                                     const std::vector<std::size_t>& limits = {}) {
    const auto limit = [&](std::size_t k) { return limits.empty() ? SIZE_MAX : limits[k]; };
    const auto parent_level = static_cast<std::uint32_t>(level - 1);
    std::vector<Round> rounds;
    rounds.push_back(Round{&levels[parent_level], nullptr, parent_level, &ops.unary, false, false,
                           limit(parent_level), SIZE_MAX});
    for (std::uint64_t k = 1; k + 2 <= level; ++k) {
        const std::uint64_t r = level - 1 - k;
        rounds.push_back(Round{&levels[k], &levels[r], static_cast<std::uint32_t>(k), &ops.binary,
                               k == r, k > r, limit(k), limit(r)});
    }
    return rounds;
}

// Fingerprint keys of the child, or false when it has no value or too large a value at a probe.
inline bool store_key(const std::optional<Complex>& value, std::size_t p, FingerprintKeys& keys) {
    if (!value || !is_acceptable_value(*value)) return false;
    keys[2 * p] = probe_key(value->re);
    keys[2 * p + 1] = probe_key(value->im);
    return true;
}

inline bool binary_keys(std::size_t op, const Node& left, const Node& right,
                        FingerprintKeys& keys) {
    for (std::size_t p = 0; p < probe_count; ++p) {
        if (!store_key(
                apply_binary(op, left.probes[p], right.probes[p], left.parts[p], right.parts[p]), p,
                keys)) {
            return false;
        }
    }
    return true;
}

// Unary children: one instantiation per operator so that each inlines.
using UnaryKeys = bool (*)(const Node& parent, FingerprintKeys& keys);

template <std::size_t Op>
bool unary_keys(const Node& parent, FingerprintKeys& keys) {
    for (std::size_t p = 0; p < probe_count; ++p) {
        if (!store_key(apply_op<Op>(parent.probes[p], parent.probes[p]), p, keys)) return false;
    }
    return true;
}

template <std::size_t... Ids>
constexpr std::array<UnaryKeys, sizeof...(Ids)> make_unary_keys(std::index_sequence<Ids...>) {
    return {&unary_keys<Ids>...};
}

inline constexpr auto unary_key_functions =
    make_unary_keys(std::make_index_sequence<builtin_id::count>());

// Builds the children of the round's parent pairs [begin, end) in list order and calls
// `visit(candidate, digest, position)` for each one that has fingerprint keys; `base` is the
// round's first position. Returns the number of children built, usable or not (commutative
// pruning excluded).
template <class Visit>
std::uint64_t for_each_child(const Round& round, const OperatorSets& ops, std::uint64_t base,
                             std::size_t begin, std::size_t end, Visit&& visit) {
    const std::vector<std::uint8_t>& op_ids = *round.ops;
    const std::size_t op_count = op_ids.size();
    const std::size_t right_count = round.right_count();
    const std::uint8_t arity = round.arity();
    std::uint64_t built = 0;
    std::size_t a = begin / right_count;
    std::size_t b = begin % right_count;
    FingerprintKeys keys{};
    for (std::size_t pair = begin; pair < end; ++pair) {
        const Node& left = round.left->nodes[a];
        const Node& right = round.right != nullptr ? round.right->nodes[b] : left;
        const bool usable = left.probes_ok && right.probes_ok;
        const bool ordered = left.rank > right.rank;
        for (std::size_t o = 0; o < op_count; ++o) {
            const std::uint8_t op = op_ids[o];
            if (ops.commutative[op] &&
                (round.skip_commutative || (round.prune_commutative && ordered))) {
                continue;
            }
            ++built;
            if (!usable) continue;
            if (!(arity == 2 ? binary_keys(op, left, right, keys)
                             : unary_key_functions[op](left, keys))) {
                continue;
            }
            visit(Candidate{static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b), op},
                  digest_of(keys), base + pair * op_count + o);
        }
        if (++b == right_count) {
            b = 0;
            ++a;
        }
    }
    return built;
}

}  // namespace kov::bfs
