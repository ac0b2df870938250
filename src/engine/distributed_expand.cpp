#include "engine/distributed_expand.hpp"

#include <algorithm>
#include <array>

#include "engine/pool.hpp"
#include "engine/probe_key.hpp"
#include "ops/complex_math.hpp"

namespace kov::distributed {

namespace {

using namespace bfs;

// The fingerprint keys are computed exactly as the local expansion computes them: the digest
// decides which child survives, so the two must agree bit for bit.
inline bool store_key(const std::optional<Complex>& value, std::size_t p,
                      std::array<std::int64_t, 10>& keys) {
    if (!value || !is_acceptable_value(*value)) return false;
    keys[2 * p] = probe_key(value->re);
    keys[2 * p + 1] = probe_key(value->im);
    return true;
}

inline bool binary_keys(std::size_t op, const Node& left, const Node& right,
                        std::array<std::int64_t, 10>& keys) {
    for (std::size_t p = 0; p < probe_count; ++p) {
        if (!store_key(
                apply_binary(op, left.probes[p], right.probes[p], left.parts[p], right.parts[p]), p,
                keys)) {
            return false;
        }
    }
    return true;
}

using UnaryKeys = bool (*)(const Node& parent, std::array<std::int64_t, 10>& keys);

template <std::size_t Op>
bool unary_keys(const Node& parent, std::array<std::int64_t, 10>& keys) {
    for (std::size_t p = 0; p < probe_count; ++p) {
        if (!store_key(apply_op<Op>(parent.probes[p], parent.probes[p]), p, keys)) return false;
    }
    return true;
}

template <std::size_t... Ids>
constexpr std::array<UnaryKeys, sizeof...(Ids)> make_unary_keys(std::index_sequence<Ids...>) {
    return {&unary_keys<Ids>...};
}

constexpr auto unary_key_functions = make_unary_keys(std::make_index_sequence<builtin_id::count>());

struct Round {
    const Level* left = nullptr;
    const Level* right = nullptr;  // null for the unary pass
    std::uint32_t left_level = 0;
    const std::vector<std::uint8_t>* ops = nullptr;
    bool prune_commutative = false;
    bool skip_commutative = false;
};

struct Built {
    Candidate candidate;
    Digest digest;
    std::uint64_t position;
};

void run_round(const Round& round, const OperatorSets& ops, std::size_t share, std::size_t shares,
               std::uint64_t& next_position, ShareExpansion& out) {
    const std::size_t left_count = round.left->size();
    const std::size_t right_count = round.right != nullptr ? round.right->size() : 1;
    const std::vector<std::uint8_t>& op_ids = *round.ops;
    const std::size_t op_count = op_ids.size();
    const std::size_t pairs = left_count * right_count;
    const std::uint64_t base = next_position;
    next_position += pairs * op_count;
    const std::uint8_t arity = round.right != nullptr ? 2 : 1;
    out.candidates.rounds.push_back({out.candidates.items.size(), round.left_level, arity});
    // This share's contiguous range of pairs.
    const std::size_t first = pairs * share / shares;
    const std::size_t last = pairs * (share + 1) / shares;
    if (first == last || op_count == 0) return;

    const std::size_t chunk = round.right != nullptr ? 512 : 32;
    const std::size_t count = last - first;
    const std::size_t chunk_count = (count + chunk - 1) / chunk;
    std::vector<std::vector<Built>> kept(chunk_count);
    std::vector<std::uint64_t> generated(worker_count(), 0);

    parallel_for(count, chunk, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        std::vector<Built>& list = kept[begin / chunk];
        list.reserve((end - begin) * op_count);
        std::uint64_t built = 0;
        std::size_t a = (first + begin) / right_count;
        std::size_t b = (first + begin) % right_count;
        std::array<std::int64_t, 10> keys{};
        for (std::size_t pair = first + begin; pair < first + end; ++pair) {
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
                list.push_back(Built{
                    Candidate{static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b), op},
                    digest_of(keys), base + pair * op_count + o});
            }
            if (++b == right_count) {
                b = 0;
                ++a;
            }
        }
        generated[worker] += built;
    });

    for (std::uint64_t g : generated) out.generated += g;
    for (auto& list : kept) {
        for (const Built& built : list) {
            out.candidates.items.push_back(built.candidate);
            out.positions.push_back(built.position);
            out.digests.push_back(built.digest);
        }
        list = {};
    }
}

}  // namespace

void expand_level_share(const std::vector<Level>& levels, std::uint64_t level,
                        const OperatorSets& ops, std::size_t share, std::size_t shares,
                        std::uint64_t& next_position, ShareExpansion& out) {
    const auto parent_level = static_cast<std::uint32_t>(level - 1);
    Round unary{&levels[parent_level], nullptr, parent_level, &ops.unary, false, false};
    run_round(unary, ops, share, shares, next_position, out);
    for (std::uint64_t k = 1; k + 2 <= level; ++k) {
        const std::uint64_t r = level - 1 - k;
        Round binary{&levels[k],  &levels[r], static_cast<std::uint32_t>(k),
                     &ops.binary, k == r,     k > r};
        run_round(binary, ops, share, shares, next_position, out);
    }
}

}  // namespace kov::distributed
