#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/distributed/distributed_replica.hpp"
#include "engine/search/result.hpp"
#include "engine/select/pareto.hpp"

namespace kov::distributed {

// What a share sends the driver after scoring: its selection, its front candidate and that
// candidate's kept expression.
[[nodiscard]] std::string encode_share_scores(const ShareScores& scores);
[[nodiscard]] ShareScores decode_share_scores(std::string_view bytes);

// The driver's side of a distributed search: the front, the early exit and the merge of the
// shares' selections into each level's beam, in the local search's order.
class SearchDriver {
public:
    explicit SearchDriver(Problem problem);

    [[nodiscard]] const SearchConfig& config() const { return config_; }
    [[nodiscard]] std::size_t seed_count() const { return seed_count_; }
    // The level the next merge completes.
    [[nodiscard]] std::uint64_t next_level() const { return next_level_; }
    [[nodiscard]] bool early_exit();

    // Merges the shares' scores of the next level (in share order): the best beam_width by score,
    // ties to the earlier list position, and the level's front entry offered to the front.
    // Returns the level's beam.
    [[nodiscard]] std::vector<bfs::Picked> merge(const std::vector<ShareScores>& shares);

    // The formulas each more accurate than every simpler one, most accurate first, each with its
    // description length on the search's data, as the local search returns them.
    [[nodiscard]] SearchOutcome finish();

private:
    SearchConfig config_;
    std::vector<std::vector<double>> rows_;
    std::vector<double> targets_;
    std::shared_ptr<OperatorRegistry> registry_;
    std::shared_ptr<ParetoFront> front_;
    std::size_t seed_count_ = 0;
    std::uint64_t next_level_ = 2;
};

}  // namespace kov::distributed
