#include "engine/distributed/distributed_driver.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <variant>

#include "engine/select/result_criterion.hpp"

namespace kov::distributed {

namespace {

// The local search's beam order: score ascending (NaN last), then list position.
bool ranks_before(const bfs::Picked& x, const bfs::Picked& y) {
    if (bfs::score_less(x.score, y.score)) return true;
    if (bfs::score_less(y.score, x.score)) return false;
    return x.position < y.position;
}

}  // namespace

std::string encode_share_scores(const ShareScores& scores) {
    ByteWriter out;
    out.put_bytes(encode_picks(scores.beam));
    std::vector<bfs::Picked> front;
    if (scores.front) front.push_back(*scores.front);
    out.put_bytes(encode_picks(front));
    out.put_bytes(scores.front_expression);
    out.put(scores.generated);
    out.put(scores.offered);
    out.put(scores.unique);
    out.put(scores.scored);
    out.put(scores.fitted);
    out.put(scores.expansion_seconds);
    out.put(scores.scoring_seconds);
    out.put(scores.judging_seconds);
    out.put(scores.expansion_cpu_seconds);
    out.put(scores.scoring_cpu_seconds);
    out.put(scores.judging_cpu_seconds);
    return out.take();
}

ShareScores decode_share_scores(std::string_view bytes) {
    ByteReader in(bytes);
    ShareScores scores;
    scores.beam = decode_picks(in.get_bytes());
    const std::vector<bfs::Picked> front = decode_picks(in.get_bytes());
    if (front.size() > 1) throw std::invalid_argument("distributed search: two front candidates");
    if (!front.empty()) scores.front = front.front();
    scores.front_expression = std::string(in.get_bytes());
    scores.generated = in.get<std::uint64_t>();
    scores.offered = in.get<std::uint64_t>();
    scores.unique = in.get<std::uint64_t>();
    scores.scored = in.get<std::uint64_t>();
    scores.fitted = in.get<std::uint64_t>();
    scores.expansion_seconds = in.get<double>();
    scores.scoring_seconds = in.get<double>();
    scores.judging_seconds = in.get<double>();
    scores.expansion_cpu_seconds = in.get<double>();
    scores.scoring_cpu_seconds = in.get<double>();
    scores.judging_cpu_seconds = in.get<double>();
    in.expect_done();
    return scores;
}

SearchDriver::SearchDriver(Problem problem)
    : config_(problem.config),
      rows_(problem.rows),
      targets_(problem.targets),
      front_(std::make_shared<ParetoFront>()) {
    // The driver builds level 1 like every replica, only to offer its leaves to the front.
    const SearchReplica seeds(std::move(problem));
    registry_ = seeds.registry();
    seed_count_ = seeds.seed_count();
    for (const auto& [expression, error] : seeds.seed_entries()) {
        update_pareto(*front_, expression, error);
    }
}

bool SearchDriver::early_exit() {
    return check_early_exit(*front_, config_.disable_early_exit, config_.early_exit_tolerance);
}

std::vector<bfs::Picked> SearchDriver::merge(const std::vector<ShareScores>& shares) {
    const std::uint64_t level = next_level_++;
    const double weight = static_cast<double>(level) * config_.complexity_penalty + 1;
    // As the local scorer: with a zero or non-finite weight every front value is NaN and the first
    // scored candidate in list order keeps the entry.
    const bool by_position = !(std::isfinite(weight) && weight != 0.0);
    const ShareScores* best = nullptr;
    std::vector<bfs::Picked> beam;
    for (const ShareScores& share : shares) {
        beam.insert(beam.end(), share.beam.begin(), share.beam.end());
        if (!share.front) continue;
        if (best == nullptr) {
            best = &share;
            continue;
        }
        const bfs::Picked& x = *share.front;
        const bfs::Picked& y = *best->front;
        bool before = x.position < y.position;
        if (!by_position && x.front_value != y.front_value) before = x.front_value < y.front_value;
        if (before) best = &share;
    }
    std::sort(beam.begin(), beam.end(), ranks_before);
    if (beam.size() > config_.beam_width) beam.resize(config_.beam_width);
    if (best != nullptr) {
        update_pareto(*front_, decode_expression(best->front_expression), best->front->front_value);
    }
    return beam;
}

SearchOutcome SearchDriver::finish() {
    SearchOutcome outcome = finalize_result(std::move(front_), std::move(registry_), config_);
    if (auto* results = std::get_if<std::vector<SearchResult>>(&outcome)) {
        attach_description_lengths(*results, rows_, targets_, config_);
    }
    return outcome;
}

}  // namespace kov::distributed
