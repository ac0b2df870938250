#include "engine/bfs_expand.hpp"

#include <algorithm>
#include <array>

#include "engine/pool.hpp"
#include "engine/probe_key.hpp"
#include "ops/complex_math.hpp"

namespace kov::bfs {

namespace {

// One unary pass or one binary round: every (left, right) pair in order, each with every operator.
struct Round {
    const Level* left = nullptr;
    const Level* right = nullptr;  // null for the unary pass: the child has one parent
    std::size_t left_count = 0;    // parents taken from the front of each level
    std::size_t right_count = 1;
    std::uint32_t left_level = 0;
    const std::vector<std::uint8_t>* ops = nullptr;
    bool prune_commutative = false;  // both parents from the same level
    // The left parent's level is above the right one's: a commutative operator gives bit for bit
    // the values of the swapped pair, built in an earlier round, so the child is a duplicate.
    bool skip_commutative = false;
};

// A child waiting for its fingerprint-set insertion while its slot is being fetched.
struct Pending {
    Digest digest;
    std::uint64_t position;
    Candidate candidate;
};

constexpr std::size_t pending_capacity = 16;

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

constexpr auto unary_key_functions = make_unary_keys(std::make_index_sequence<builtin_id::count>());

// Where a round's chunk of parent pairs starts: positions are in pair order, operators inner.
struct RoundLayout {
    std::uint64_t base = 0;
    std::size_t right_count = 1;
    std::size_t op_count = 0;
    std::uint8_t arity = 1;
};

// Builds the children of parent pairs [begin, end) and keeps those whose fingerprint is new.
// Candidates whose key an earlier position took over go to `displaced`; `generated` counts every
// child built, usable or not.
void expand_chunk(const Round& round, const OperatorSets& ops, const RoundLayout& layout,
                  FingerprintTable& table, std::size_t begin, std::size_t end,
                  std::vector<Candidate>& out, std::vector<std::uint64_t>& displaced,
                  std::uint64_t& generated) {
    const std::vector<std::uint8_t>& op_ids = *round.ops;
    const std::size_t op_count = layout.op_count;
    const std::size_t right_count = layout.right_count;
    out.reserve((end - begin) * op_count);  // exact bound: no slack from regrowth
    std::uint64_t built = 0;
    std::array<Pending, pending_capacity> pending;
    std::size_t pending_count = 0;
    const auto flush = [&] {
        for (std::size_t i = 0; i < pending_count; ++i) {
            const auto inserted = table.insert(pending[i].digest, pending[i].position);
            if (inserted.outcome == FingerprintTable::Outcome::Present) continue;
            if (inserted.outcome == FingerprintTable::Outcome::TookOver) {
                displaced.push_back(inserted.displaced);
            }
            out.push_back(pending[i].candidate);
        }
        pending_count = 0;
    };
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
            if (!(layout.arity == 2 ? binary_keys(op, left, right, keys)
                                    : unary_key_functions[op](left, keys))) {
                continue;
            }
            Pending& next = pending[pending_count++];
            next.digest = digest_of(keys);
            next.position = layout.base + pair * op_count + o;
            next.candidate =
                Candidate{static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b), op};
            table.prefetch(next.digest);
            if (pending_count == pending_capacity) flush();
        }
        if (++b == right_count) {
            b = 0;
            ++a;
        }
    }
    flush();
    generated += built;
}

// Appends the round's kept children to the list in position order. A child that lost its key to
// an earlier one of the same round (inserted later in time by another thread) is a duplicate after
// all.
void append_survivors(const Round& round, const RoundLayout& layout,
                      std::vector<std::vector<Candidate>>& kept,
                      const std::vector<std::vector<std::uint64_t>>& displaced,
                      CandidateList& candidates) {
    std::vector<std::uint64_t> losers;
    for (const auto& list : displaced) losers.insert(losers.end(), list.begin(), list.end());
    std::sort(losers.begin(), losers.end());
    const std::vector<std::uint8_t>& op_ids = *round.ops;
    std::array<std::size_t, 256> op_index{};
    for (std::size_t o = 0; o < layout.op_count; ++o) op_index[op_ids[o]] = o;
    candidates.rounds.push_back({candidates.items.size(), round.left_level, layout.arity});
    for (auto& list : kept) {
        for (const Candidate& c : list) {
            if (!losers.empty()) {
                const std::uint64_t position =
                    layout.base +
                    (std::uint64_t{c.a} * layout.right_count + c.b) * layout.op_count +
                    op_index[c.op];
                if (std::binary_search(losers.begin(), losers.end(), position)) continue;
            }
            candidates.items.push_back(c);
        }
        list = {};  // give each chunk's memory back as soon as it is copied
    }
}

bool run_round(const Round& round, const OperatorSets& ops, FingerprintTable& table,
               std::uint64_t& next_position, CandidateList& candidates, ExpansionCounts& counts,
               const std::function<bool()>& poll) {
    RoundLayout layout;
    layout.right_count = round.right_count;
    layout.op_count = round.ops->size();
    layout.arity = round.right != nullptr ? 2 : 1;
    layout.base = next_position;
    const std::size_t pairs = round.left_count * layout.right_count;
    next_position += pairs * layout.op_count;
    if (pairs == 0 || layout.op_count == 0) return true;

    const std::size_t chunk = round.right != nullptr ? 512 : 32;
    std::vector<std::vector<Candidate>> kept((pairs + chunk - 1) / chunk);
    const std::size_t workers = worker_count();
    std::vector<std::vector<std::uint64_t>> displaced(workers);
    std::vector<std::uint64_t> generated(workers, 0);
    const bool completed = parallel_for(
        pairs, chunk,
        [&](std::size_t begin, std::size_t end, std::size_t worker) {
            expand_chunk(round, ops, layout, table, begin, end, kept[begin / chunk],
                         displaced[worker], generated[worker]);
        },
        poll);
    if (!completed) return false;

    for (std::uint64_t g : generated) counts.generated += g;
    append_survivors(round, layout, kept, displaced, candidates);
    return true;
}

}  // namespace

bool expand_level(const std::vector<Level>& levels, std::uint64_t level, const OperatorSets& ops,
                  FingerprintTable& table, std::uint64_t& next_position, CandidateList& candidates,
                  ExpansionCounts& counts, const std::function<bool()>& poll,
                  const std::vector<std::size_t>& limits) {
    const auto parent_level = static_cast<std::uint32_t>(level - 1);
    const auto size = [&](std::size_t k) {
        return limits.empty() ? levels[k].size() : std::min(levels[k].size(), limits[k]);
    };
    // At most this many new keys: room for them now keeps the table from growing mid-round.
    std::size_t commutative = 0;
    for (std::uint8_t op : ops.binary) commutative += ops.commutative[op] ? 1 : 0;
    std::size_t bound = size(parent_level) * ops.unary.size();
    for (std::uint64_t k = 1; k + 2 <= level; ++k) {
        const std::size_t r = level - 1 - k;
        const std::size_t pairs = size(k) * size(r);
        bound += pairs * (ops.binary.size() - commutative);
        if (k < r) bound += pairs * commutative;
        if (k == r) bound += (pairs + size(k)) / 2 * commutative;
    }
    table.reserve(bound);
    Round unary{&levels[parent_level], nullptr, size(parent_level), 1, parent_level, &ops.unary,
                false, false};
    if (!run_round(unary, ops, table, next_position, candidates, counts, poll)) return false;
    for (std::uint64_t k = 1; k + 2 <= level; ++k) {
        const std::uint64_t r = level - 1 - k;
        Round binary{&levels[k],  &levels[r], size(k), size(r), static_cast<std::uint32_t>(k),
                     &ops.binary, k == r,     k > r};
        if (!run_round(binary, ops, table, next_position, candidates, counts, poll)) return false;
    }
    return true;
}

}  // namespace kov::bfs
