#include "engine/thorough/thorough_search.hpp"

#include <chrono>

#include "engine/search/bfs_progress.hpp"
#include "engine/thorough/thorough_stages.hpp"

namespace kov {

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration elapsed) {
    return std::chrono::duration<double>(elapsed).count();
}

// Where the search stands, for progress bars: the level just finished and the front's best.
void send_progress(const ThoroughState& state, std::uint64_t level) {
    if (!state.hooks.on_progress) return;
    ProgressEvent event{
        level, state.deadline.elapsed(), state.config.time_limit, state.front.best_error(), {}};
    for (const auto& [complexity, entry] : state.front.entries()) {
        if (entry.first == event.best_error) {
            event.best_formula = entry.second.formula;
            break;
        }
    }
    state.hooks.on_progress(event);
}

// One level: expanded, ranked, its best offered and fitted, kept, then paired with the pool and,
// at the chosen levels, the residual targets and the sums of several blocks.
bool run_level(ThoroughState& state, std::uint64_t level) {
    const bool fitting = state.config.fit_constants;
    const auto start = Clock::now();
    LevelExpansion expansion;
    if (!expand(state, level, expansion)) return false;
    const auto expanded = Clock::now();
    const std::optional<bfs::AffineRanking> ranking = rank_level(state, level, expansion);
    if (!ranking) return false;
    if (!offer_best(state, level, ranking->kept)) return false;
    if (fitting && !fit_best(state, level, ranking->kept)) return false;
    const auto scored_at = Clock::now();

    keep_level(state, level, *ranking);
    if (fitting && !offer_pairs(state, level)) return false;
    if (fitting && !offer_products_with_blocks(state, level)) return false;
    if (fitting && level == thorough_tuning.residual_block_level) add_residual_targets(state);
    if (fitting && level == thorough_tuning.simple_block_complexity && !offer_sums(state)) {
        return false;
    }

    const auto elapsed = Clock::now() - start;
    state.last_level_seconds = seconds(elapsed);
    state.last_level_cost = expansion.cost;
    print(state, level_line(level, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed),
                            state.levels[level].size()));
    if (state.hooks.on_level) state.hooks.on_level(level, state.levels[level].expressions);
    send_progress(state, level);
    if (state.hooks.stats != nullptr) {
        LevelStats stats;
        stats.level = level;
        stats.generated = expansion.counts.generated;
        stats.unique = expansion.candidates.size();
        stats.scored = ranking->scored;
        stats.kept = state.levels[level].size();
        stats.expansion_seconds = seconds(expanded - start);
        stats.scoring_seconds = seconds(scored_at - expanded);
        state.hooks.stats->levels.push_back(stats);
    }
    return true;
}

}  // namespace

SearchOutcome run_thorough(const std::vector<std::vector<double>>& rows,
                           const std::vector<double>& targets, const SearchConfig& config,
                           const SearchHooks& hooks) {
    ThoroughState state(rows, targets, config, hooks);
    seed_levels(state);
    if (config.fit_constants && !offer_pairs(state, 1)) {
        if (state.cancelled) return SearchError::cancelled();
    }
    if (config.fit_constants && !offer_products(state)) {
        if (state.cancelled) return SearchError::cancelled();
    }
    send_progress(state, 1);
    if (!should_stop(state)) {
        print(state, seeded_line(state.levels[1].size()));
        for (std::uint64_t level = 2;; ++level) {
            if (!worth_running(state, level)) break;
            const bool completed = run_level(state, level);
            if (state.cancelled) return SearchError::cancelled();
            if (!completed || state.deadline.passed()) {
                print(state, time_limit_line(state.deadline.limit(), level));
                break;
            }
            state.searched_level = level;
            if (should_stop(state)) break;
        }
    }
    polish(state);
    return state.front.finalize(state.registry, config,
                                thorough_tuning.exact_fraction * state.scale);
}

}  // namespace kov
