#include "engine/distributed/distributed_expand.hpp"

#include "engine/levels/bfs_children.hpp"
#include "engine/levels/pool.hpp"

namespace kov::distributed {

namespace {

using namespace bfs;

struct Built {
    Candidate candidate;
    Digest digest;
    std::uint64_t position;
};

void run_round(const Round& round, const OperatorSets& ops, std::size_t share, std::size_t shares,
               std::uint64_t& next_position, ShareExpansion& out) {
    const std::size_t op_count = round.ops->size();
    const std::size_t pairs = round.pairs();
    const std::uint64_t base = next_position;
    next_position += pairs * op_count;
    out.candidates.rounds.push_back({out.candidates.items.size(), round.left_level, round.arity()});
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
        generated[worker] += for_each_child(
            round, ops, base, first + begin, first + end,
            [&](const Candidate& candidate, const Digest& digest, std::uint64_t position) {
                list.push_back(Built{candidate, digest, position});
            });
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
    const std::vector<Round> rounds = level_rounds(levels, level, ops);
    // Room for every child the share can build, reserved once: grown by doubling, the positions
    // and digests of the largest levels would be copied and their fresh pages faulted twice over.
    std::size_t most = 0;
    for (const Round& round : rounds) {
        const std::size_t pairs = round.pairs();
        most += (pairs * (share + 1) / shares - pairs * share / shares) * round.ops->size();
    }
    out.positions.reserve(out.positions.size() + most);
    out.digests.reserve(out.digests.size() + most);
    for (const Round& round : rounds) {
        run_round(round, ops, share, shares, next_position, out);
    }
}

}  // namespace kov::distributed
