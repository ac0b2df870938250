#include "engine/distributed/distributed_replica.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "core/fingerprint.hpp"
#include "engine/distributed/distributed_expand.hpp"
#include "engine/levels/bfs_level_build.hpp"
#include "engine/levels/pool.hpp"
#include "ops/complex_math.hpp"

namespace kov::distributed {

namespace {

using namespace bfs;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

double process_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

SearchReplica::SearchReplica(Problem problem)
    : config_(problem.config),
      targets_(std::move(problem.targets)),
      registry_(std::make_shared<OperatorRegistry>(OperatorRegistry::with_builtins())),
      variables_(problem.rows.empty() ? 0 : problem.rows.front().size()),
      head_rows_(pick_head_rows(targets_)) {
    rows_.reserve(problem.rows.size());
    for (const auto& row : problem.rows) {
        auto& converted = rows_.emplace_back();
        converted.reserve(row.size());
        for (double value : row) converted.push_back(Complex{value, 0.0});
    }
    for (std::size_t id : registry_->ids_by_arity(1)) {
        ops_.unary.push_back(static_cast<std::uint8_t>(id));
    }
    for (std::size_t id : registry_->ids_by_arity(2)) {
        ops_.binary.push_back(static_cast<std::uint8_t>(id));
    }
    ops_.commutative.resize(registry_->size());
    for (std::size_t id = 0; id < registry_->size(); ++id) {
        ops_.commutative[id] = registry_->meta(id).is_commutative;
    }
    levels_.resize(2);
    seed();
}

SearchReplica::~SearchReplica() = default;

void SearchReplica::seed() {
    Level& level = levels_[1];
    FingerprintTable seeds;
    for (Expression& seed : seed_leaves(*registry_, config_, variables_)) {
        const std::uint64_t position = next_position_++;
        const std::optional<Fingerprint> key = fingerprint(seed, operators());
        if (!key) continue;
        const Digest digest = digest_of(flatten(*key));
        seed_offers_.push_back(Offer{digest, position});
        const auto inserted = seeds.insert(digest, position);
        if (inserted.outcome != FingerprintTable::Outcome::Added) continue;
        const double error = compute_raw_error(seed, rows_, targets_, operators());
        if (std::isfinite(error)) seed_entries_.emplace_back(seed, error);
        add_seed(level, std::move(seed), rows_);
    }
    rank_formulas(level);
}

std::vector<std::size_t> SearchReplica::expand_share(std::size_t share, std::size_t shards) {
    const auto start = Clock::now();
    const double cpu_start = process_cpu_seconds();
    const std::uint64_t level = levels_.size();
    ShareExpansion expansion;
    expand_level_share(levels_, level, ops_, share, shards, next_position_, expansion);
    pending_counts_.assign(shards, 0);
    pending_owners_.resize(expansion.digests.size());
    for (std::size_t i = 0; i < expansion.digests.size(); ++i) {
        const std::size_t owner = owner_of(expansion.digests[i], shards);
        pending_owners_[i] = static_cast<std::uint32_t>(owner);
        ++pending_counts_[owner];
    }
    pending_ = std::move(expansion.candidates);
    pending_positions_ = std::move(expansion.positions);
    pending_digests_ = std::move(expansion.digests);
    pending_generated_ = expansion.generated;
    pending_offered_ = pending_positions_.size();
    pending_seconds_ = seconds_since(start);
    pending_cpu_seconds_ = process_cpu_seconds() - cpu_start;
    return pending_counts_;
}

void SearchReplica::write_offers(const std::vector<std::span<char>>& out) {
    const auto start = Clock::now();
    const double cpu_start = process_cpu_seconds();
    if (out.size() != pending_counts_.size()) {
        throw std::invalid_argument("distributed search: one offer buffer per shard");
    }
    for (std::size_t j = 0; j < out.size(); ++j) {
        if (out[j].size() != pending_counts_[j] * sizeof(Offer)) {
            throw std::invalid_argument("distributed search: an offer buffer of the wrong size");
        }
    }
    std::vector<char*> next;
    for (const auto& buffer : out) next.push_back(buffer.data());
    for (std::size_t i = 0; i < pending_digests_.size(); ++i) {
        const Offer offer{pending_digests_[i], pending_positions_[i]};
        char*& at = next[pending_owners_[i]];
        std::memcpy(at, &offer, sizeof(Offer));
        at += sizeof(Offer);
    }
    pending_digests_ = {};
    pending_seconds_ += seconds_since(start);
    pending_cpu_seconds_ += process_cpu_seconds() - cpu_start;
}

void SearchReplica::keep_winners(const std::vector<std::string_view>& verdicts) {
    const auto start = Clock::now();
    const double cpu_start = process_cpu_seconds();
    std::vector<std::size_t> next(verdicts.size(), 0);
    CandidateList kept;
    std::vector<std::uint64_t> positions;
    positions.reserve(pending_positions_.size());
    std::size_t round = 0;
    for (std::size_t i = 0; i < pending_positions_.size(); ++i) {
        // Rounds begin where they began in the share's list, counted in kept children.
        while (round < pending_.rounds.size() && pending_.rounds[round].begin <= i) {
            const auto& r = pending_.rounds[round];
            kept.rounds.push_back({kept.items.size(), r.left_level, r.arity});
            ++round;
        }
        const std::uint32_t owner = pending_owners_[i];
        if (owner >= verdicts.size()) throw std::invalid_argument("distributed search: verdicts");
        const std::size_t index = next[owner]++;
        if (index / 8 >= verdicts[owner].size()) {
            throw std::invalid_argument("distributed search: a shard's verdict is too short");
        }
        if (!verdict_bit(verdicts[owner], index)) continue;
        kept.items.push_back(pending_.items[i]);
        positions.push_back(pending_positions_[i]);
    }
    for (; round < pending_.rounds.size(); ++round) {
        const auto& r = pending_.rounds[round];
        kept.rounds.push_back({kept.items.size(), r.left_level, r.arity});
    }
    pending_ = std::move(kept);
    pending_positions_ = std::move(positions);
    pending_owners_ = {};
    pending_digests_ = {};
    pending_seconds_ += seconds_since(start);
    pending_cpu_seconds_ += process_cpu_seconds() - cpu_start;
}

ShareScores SearchReplica::score_share() {
    const auto start = Clock::now();
    const double cpu_start = process_cpu_seconds();
    const std::uint64_t level = levels_.size();
    ShareScores out;
    out.generated = pending_generated_;
    out.offered = pending_offered_;
    out.unique = pending_.size();
    out.expansion_seconds = pending_seconds_;
    out.expansion_cpu_seconds = pending_cpu_seconds_;
    ScoringSetup setup{&levels_, level, &rows_, &targets_, &operators(), &config_, &head_rows_};
    std::optional<ScoringResult> scored = score_level(setup, pending_, fitters_, {});
    if (!scored) throw std::runtime_error("distributed search: scoring stopped");
    // Positions in this share's list become positions in the level's list: the order is the
    // same, so the share's selection stays sorted and its ties stay broken the same way.
    for (Picked& picked : scored->beam) picked.position = pending_positions_[picked.position];
    out.beam = std::move(scored->beam);
    if (scored->front) {
        Picked front = *scored->front;
        front.position = pending_positions_[front.position];
        out.front_expression = encode_expression(kept_expression(front, 0));
        out.front = front;
    }
    out.scored = scored->scored;
    out.fitted = scored->fitted;
    pending_ = {};
    pending_positions_ = {};
    out.scoring_seconds = seconds_since(start);
    out.scoring_cpu_seconds = process_cpu_seconds() - cpu_start;
    return out;
}

ConstantFitter& SearchReplica::fitter(std::size_t worker) {
    if (fitters_.size() <= worker) fitters_.resize(worker + 1);
    if (!fitters_[worker]) {
        fitters_[worker] = std::make_unique<ConstantFitter>(rows_, targets_, operators());
    }
    return *fitters_[worker];
}

Expression SearchReplica::kept_expression(const Picked& picked, std::size_t worker) {
    const std::uint64_t level = levels_.size();
    Expression expression = compose(levels_, level, picked.candidate, *registry_);
    if (!picked.fitted) return expression;
    return fitter(worker).fit(expression, picked.raw_error).expression;
}

void SearchReplica::add_level(const std::vector<Picked>& kept) {
    const std::uint64_t level = levels_.size();
    for (const Picked& picked : kept) check_candidate(picked.candidate);
    const bool parents_more = level < config_.max_complexity;
    Level next = lay_out_level(
        levels_, level, kept.size(),
        [&](std::size_t i) -> const Child& { return kept[i].candidate; }, rows_.size(),
        parents_more);
    if (fitters_.size() < worker_count()) fitters_.resize(worker_count());
    parallel_for(kept.size(), 4, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        for (std::size_t i = begin; i < end; ++i) {
            next.expressions[i] = kept_expression(kept[i], worker);
            if (!parents_more) continue;
            if (kept[i].fitted) {
                evaluate_node(next.expressions[i], rows_, operators(), next, i);
            } else {
                derive_node(levels_, level, kept[i].candidate, rows_.size(), next, i);
            }
        }
    });
    rank_formulas(next);
    levels_.push_back(std::move(next));
}

// A merged beam comes from other processes: a candidate must name parents this replica holds.
void SearchReplica::check_candidate(const Child& c) const {
    const std::uint64_t level = levels_.size();
    const bool ok = c.arity == 1 ? c.left_level == level - 1 && c.a < levels_[c.left_level].size()
                                 : c.arity == 2 && c.left_level >= 1 && c.left_level + 1 < level &&
                                       c.a < levels_[c.left_level].size() &&
                                       c.b < levels_[level - 1 - c.left_level].size();
    if (!ok || c.op >= registry_->size()) {
        throw std::invalid_argument("distributed search: a kept candidate names no parent");
    }
}

FingerprintShard::FingerprintShard(const std::vector<Offer>& seeds, std::size_t shard,
                                   std::size_t shards) {
    for (const Offer& offer : seeds) {
        if (owner_of(offer.digest, shards) == shard)
            (void)table_.insert(offer.digest, offer.position);
    }
}

void FingerprintShard::offer(std::size_t share, const OfferView& offers) {
    const auto start = Clock::now();
    const double cpu_start = process_cpu_seconds();
    if (offered_.size() <= share) offered_.resize(share + 1, std::nullopt);
    if (offered_[share]) throw std::invalid_argument("distributed search: offers made twice");
    offered_[share] = offers.size();
    table_.reserve(offers.size());
    // Offers of one share are already unique to it; across shares the earliest position wins,
    // whatever the order of insertion, and a fingerprint of an earlier level beats them all.
    if (losers_.size() < worker_count()) losers_.resize(worker_count());
    parallel_for(offers.size(), 1024, [&](std::size_t begin, std::size_t end, std::size_t worker) {
        // Slots are prefetched a few offers ahead: the set is probed at random, and its cache
        // misses are most of a judgement's time.
        constexpr std::size_t ahead = 8;
        for (std::size_t i = begin; i < std::min(end, begin + ahead); ++i) {
            table_.prefetch(offers[i].digest);
        }
        for (std::size_t i = begin; i < end; ++i) {
            if (i + ahead < end) table_.prefetch(offers[i + ahead].digest);
            const Offer offer = offers[i];
            const auto inserted = table_.insert(offer.digest, offer.position);
            if (inserted.outcome == FingerprintTable::Outcome::Present) {
                losers_[worker].push_back(offer.position);
            } else if (inserted.outcome == FingerprintTable::Outcome::TookOver) {
                losers_[worker].push_back(inserted.displaced);
            }
        }
    });
    pending_seconds_ += seconds_since(start);
    pending_cpu_seconds_ += process_cpu_seconds() - cpu_start;
}

std::vector<std::string> FingerprintShard::verdicts(const std::vector<OfferView>& offers) {
    for (std::size_t i = 0; i < offers.size(); ++i) {
        if (i >= offered_.size() || !offered_[i]) {
            offer(i, offers[i]);
        } else if (*offered_[i] != offers[i].size()) {
            throw std::invalid_argument("distributed search: offers changed after they were made");
        }
    }
    if (offered_.size() > offers.size()) {
        throw std::invalid_argument("distributed search: offers from more shares than judged");
    }
    const auto start = Clock::now();
    const double cpu_start = process_cpu_seconds();
    std::vector<std::uint64_t> lost;
    for (auto& list : losers_) {
        lost.insert(lost.end(), list.begin(), list.end());
        list.clear();
    }
    std::sort(lost.begin(), lost.end());
    std::vector<std::string> verdicts;
    verdicts.reserve(offers.size());
    for (const OfferView& list : offers) {
        std::string bits((list.size() + 7) / 8, '\0');
        // A share's offers come in list order, so a list meets the sorted losers in one merge
        // rather than one binary search of them per offer.
        bool ascending = true;
        for (std::size_t i = 1; i < list.size() && ascending; ++i) {
            ascending = list[i - 1].position < list[i].position;
        }
        auto next_lost = lost.begin();
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::uint64_t position = list[i].position;
            if (ascending) {
                while (next_lost != lost.end() && *next_lost < position) ++next_lost;
                if (next_lost != lost.end() && *next_lost == position) continue;
            } else if (std::binary_search(lost.begin(), lost.end(), position)) {
                continue;
            }
            bits[i / 8] =
                static_cast<char>(static_cast<unsigned char>(bits[i / 8]) | (1U << (i % 8)));
        }
        verdicts.push_back(std::move(bits));
    }
    offered_.clear();
    last_seconds_ = pending_seconds_ + seconds_since(start);
    last_cpu_seconds_ = pending_cpu_seconds_ + process_cpu_seconds() - cpu_start;
    pending_seconds_ = 0.0;
    pending_cpu_seconds_ = 0.0;
    return verdicts;
}

std::vector<std::string> FingerprintShard::judge(const std::vector<OfferView>& offers) {
    return verdicts(offers);
}

// Offers are the bulk of what moves between workers: blocks of fixed-size records.
static_assert(sizeof(Offer) == 24 && std::is_trivially_copyable_v<Offer>);

OfferView::OfferView(std::string_view bytes) : bytes_(bytes) {
    if (bytes.size() % sizeof(Offer) != 0) {
        throw std::invalid_argument("distributed search: offers of a partial size");
    }
}

}  // namespace kov::distributed
