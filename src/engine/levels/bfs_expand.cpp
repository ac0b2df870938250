#include "engine/levels/bfs_expand.hpp"

#include <algorithm>
#include <array>

#include "engine/levels/bfs_children.hpp"
#include "engine/levels/pool.hpp"

namespace kov::bfs {

namespace {

// A child waiting for its fingerprint-set insertion while its slot is being fetched.
struct Pending {
    Digest digest;
    std::uint64_t position;
    Candidate candidate;
};

constexpr std::size_t pending_capacity = 16;

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
    out.reserve((end - begin) * layout.op_count);  // exact bound: no slack from regrowth
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
    const std::uint64_t built = for_each_child(
        round, ops, layout.base, begin, end,
        [&](const Candidate& candidate, const Digest& digest, std::uint64_t position) {
            Pending& next = pending[pending_count++];
            next.digest = digest;
            next.position = position;
            next.candidate = candidate;
            table.prefetch(next.digest);
            if (pending_count == pending_capacity) flush();
        });
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
    layout.right_count = round.right_count();
    layout.op_count = round.ops->size();
    layout.arity = round.right != nullptr ? 2 : 1;
    layout.base = next_position;
    const std::size_t pairs = round.pairs();
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
    for (const Round& round : level_rounds(levels, level, ops, limits)) {
        if (!run_round(round, ops, table, next_position, candidates, counts, poll)) return false;
    }
    return true;
}

}  // namespace kov::bfs
