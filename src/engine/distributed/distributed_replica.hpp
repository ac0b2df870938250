#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/distributed/distributed_codec.hpp"
#include "engine/fit/optimizer.hpp"
#include "engine/levels/bfs_expand.hpp"
#include "engine/levels/bfs_level.hpp"
#include "engine/levels/bfs_score.hpp"
#include "engine/levels/fingerprint_table.hpp"
#include "ops/registry.hpp"

namespace kov::distributed {

// A fingerprint a share of a level offers to the shard that owns it: its digest and the list
// position of the share's earliest child with that fingerprint.
struct Offer {
    Digest digest;
    std::uint64_t position = 0;
};

// The shard, of `shards`, that owns a digest. The low half: the fingerprint set itself places keys
// by the high half, so the two choices stay independent.
[[nodiscard]] inline std::size_t owner_of(const Digest& digest, std::size_t shards) {
    return static_cast<std::size_t>(digest.low % shards);
}

// What one share of a level leaves after scoring, for the driver to merge.
struct ShareScores {
    std::vector<bfs::Picked> beam;     // best first, at most beam_width; positions in the level
    std::optional<bfs::Picked> front;  // the share's candidate for the level's front entry
    std::string front_expression;      // encoded kept expression of `front`, empty without one
    std::uint64_t generated = 0;       // children built by the share
    std::uint64_t offered = 0;         // fingerprints offered to the shards
    std::uint64_t unique = 0;          // children that won their fingerprint
    std::uint64_t scored = 0;
    std::uint64_t fitted = 0;
    // Wall and processor time (the whole process's) of each step on the share's worker.
    double expansion_seconds = 0.0;
    double scoring_seconds = 0.0;
    double judging_seconds = 0.0;  // the worker's shard, judging every share's offers
    double expansion_cpu_seconds = 0.0;
    double scoring_cpu_seconds = 0.0;
    double judging_cpu_seconds = 0.0;
};

// Processor time of the whole process, in seconds.
[[nodiscard]] double process_cpu_seconds();

// One worker's copy of a search: every kept level (they are small and the same everywhere), the
// share of the current level's children it built, and what it needs to score them. Levels are
// built from the driver's merged beam exactly as the local search builds them, so every replica
// holds the same expressions, values and ranks.
class SearchReplica {
public:
    explicit SearchReplica(Problem problem);
    ~SearchReplica();
    SearchReplica(const SearchReplica&) = delete;
    SearchReplica& operator=(const SearchReplica&) = delete;

    [[nodiscard]] const SearchConfig& config() const { return config_; }
    [[nodiscard]] const std::shared_ptr<OperatorRegistry>& registry() const { return registry_; }
    [[nodiscard]] std::uint64_t levels_built() const { return levels_.size() - 1; }

    // Level 1: the leaves that survived deduplication with their finite raw errors, for the front;
    // and every fingerprinted leaf with its position, for the shards.
    [[nodiscard]] const std::vector<std::pair<Expression, double>>& seed_entries() const {
        return seed_entries_;
    }
    [[nodiscard]] const std::vector<Offer>& seed_offers() const { return seed_offers_; }
    [[nodiscard]] std::size_t seed_count() const { return levels_[1].size(); }

    // Builds the children of share `share` (of `shares`) of every round of `level`, the next
    // level. Returns how many offers each shard gets; write_offers then writes them.
    [[nodiscard]] std::vector<std::size_t> expand_share(std::size_t share, std::size_t shards);

    // Writes the offers of the last expansion, in the share's list order, straight into the
    // buffers that carry them to their shards: out[j] must hold exactly what expand_share counted
    // for shard j (sizeof(Offer) bytes per offer).
    void write_offers(const std::vector<std::span<char>>& out);

    // Keeps the children whose offers won: verdicts[j] holds one bit per offer made to shard j,
    // in the order they were made.
    void keep_winners(const std::vector<std::string_view>& verdicts);

    // Scores the kept children of the level being built.
    [[nodiscard]] ShareScores score_share();

    // Appends the level being built, from the driver's merged beam.
    void add_level(const std::vector<bfs::Picked>& beam);

private:
    void seed();
    [[nodiscard]] ConstantFitter& fitter(std::size_t worker);
    [[nodiscard]] Expression kept_expression(const bfs::Picked& picked, std::size_t worker);
    void check_candidate(const bfs::Child& c) const;
    [[nodiscard]] const OperatorList& operators() const { return registry_->operators(); }

    SearchConfig config_;
    ComplexRows rows_;
    std::vector<double> targets_;
    std::shared_ptr<OperatorRegistry> registry_;
    std::size_t variables_ = 0;
    std::vector<std::uint32_t> head_rows_;
    bfs::OperatorSets ops_;
    std::uint64_t next_position_ = 0;
    bfs::FitterSet fitters_;
    std::vector<bfs::Level> levels_;  // index = complexity; entry 0 stays empty
    std::vector<std::pair<Expression, double>> seed_entries_;
    std::vector<Offer> seed_offers_;

    // The level being built: this share's children that are new to it, in list order.
    bfs::CandidateList pending_;
    std::vector<std::uint64_t> pending_positions_;
    std::vector<std::uint32_t> pending_owners_;
    std::vector<Digest> pending_digests_;      // until written as offers
    std::vector<std::size_t> pending_counts_;  // offers per shard
    std::uint64_t pending_generated_ = 0;
    std::uint64_t pending_offered_ = 0;
    double pending_seconds_ = 0.0;
    double pending_cpu_seconds_ = 0.0;
};

// Offers as they arrive from other processes: a block of fixed-size records, read in place
// (the buffer need not be aligned) rather than copied into a vector first.
class OfferView {
public:
    OfferView() = default;
    // A block of a partial record size throws std::invalid_argument.
    explicit OfferView(std::string_view bytes);

    [[nodiscard]] std::size_t size() const { return bytes_.size() / sizeof(Offer); }
    [[nodiscard]] Offer operator[](std::size_t i) const {
        Offer offer;
        std::memcpy(&offer, bytes_.data() + i * sizeof(Offer), sizeof(Offer));
        return offer;
    }

private:
    std::string_view bytes_;
};

// The fingerprints of a search that one shard owns. Judges each level's offers from every share:
// the earliest position of a fingerprint not seen in an earlier level wins.
class FingerprintShard {
public:
    FingerprintShard(const std::vector<Offer>& seeds, std::size_t shard, std::size_t shards);

    // offers[i] is what share i offered this shard; returns one bit per offer for each share,
    // set when the offer won.
    [[nodiscard]] std::vector<std::string> judge(const std::vector<OfferView>& offers);

    // The same judgement in steps, so that a worker judges its own share's offers while the
    // others' are still on their way: offer() takes share `share`'s offers of the level;
    // verdicts() takes every share's (the same views for those already offered), offers the rest
    // and answers them all. Offers of one level, in any order, give the same verdicts.
    void offer(std::size_t share, const OfferView& offers);
    [[nodiscard]] std::vector<std::string> verdicts(const std::vector<OfferView>& offers);

    [[nodiscard]] std::size_t size() const { return table_.size(); }
    // Wall and processor time of the last judgement.
    [[nodiscard]] double last_seconds() const { return last_seconds_; }
    [[nodiscard]] double last_cpu_seconds() const { return last_cpu_seconds_; }

private:
    FingerprintTable table_;
    // The level being judged: offers counted per share that made them, and the positions that
    // lost (per pool worker), until verdicts() answers them.
    std::vector<std::optional<std::size_t>> offered_;
    std::vector<std::vector<std::uint64_t>> losers_;
    double pending_seconds_ = 0.0;
    double pending_cpu_seconds_ = 0.0;
    double last_seconds_ = 0.0;
    double last_cpu_seconds_ = 0.0;
};

// Verdict bits, least significant bit first within each byte.
[[nodiscard]] inline bool verdict_bit(std::string_view bits, std::size_t i) {
    return ((static_cast<unsigned char>(bits[i / 8]) >> (i % 8)) & 1U) != 0;
}

}  // namespace kov::distributed
