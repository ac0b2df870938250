#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/levels/bfs_expand.hpp"
#include "engine/select/model_selection.hpp"
#include "engine/thorough/thorough_rank.hpp"
#include "engine/thorough/thorough_state.hpp"

namespace kov {

// The stages of a thorough search over its shared state, in the order a level runs them. Each
// returns false (or nothing) when `poll` asked to stop; run_thorough drives them.

// ---- Levels (thorough_stage_levels.cpp) ----------------------------------------------------

// Level 1: the named constants and the variables, each offered to the front in its forms.
void seed_levels(ThoroughState& state);

// A level's children before ranking, and what generating them cost.
struct LevelExpansion {
    bfs::CandidateList candidates;
    bfs::ExpansionCounts counts;
    std::vector<std::size_t> limits;  // parents each level gave
    double cost = 0.0;                // children the expansion was budgeted for
};

// The children of `level` from the parents the budgets allow, each new one only.
[[nodiscard]] bool expand(ThoroughState& state, std::uint64_t level, LevelExpansion& out);

// The children ranked by their best affine fit to the ranking targets, at most as many as the
// memory lets the level keep; notes whether the level was searched whole.
[[nodiscard]] std::optional<bfs::AffineRanking> rank_level(ThoroughState& state,
                                                           std::uint64_t level,
                                                           const LevelExpansion& expansion);

// The ranked children (and the constants apart) built into level `level`.
void keep_level(ThoroughState& state, std::uint64_t level, const bfs::AffineRanking& ranking);

// ---- Budgets (thorough_stage_budget.cpp) ---------------------------------------------------

// Children the expansion of `level` generates when each level gives at most `cap` parents.
[[nodiscard]] double expansion_cost(const ThoroughState& state, std::uint64_t level,
                                    std::size_t cap);

// The largest common cap on the parents per level that keeps the expansion within budget, never
// below beam_width unless the memory for a level's children requires.
[[nodiscard]] std::size_t parent_cap(const ThoroughState& state, std::uint64_t level);

// Levels from 1 to level - 2 give at most `cap` parents from now on (a cap never grows back), so
// the row values of their expressions past it are given back.
void lower_parent_limits(ThoroughState& state, std::uint64_t level, std::size_t cap);

// Parents level k can still give: all its expressions, or those before an earlier cap.
[[nodiscard]] std::size_t parents_of(const ThoroughState& state, std::uint64_t k);

// Expressions the level may keep: a share of the memory left for the caches, or beam_width while
// that much is left.
[[nodiscard]] std::size_t keep_count(const ThoroughState& state, std::uint64_t level);

// ---- Offers (thorough_stage_offers.cpp) ----------------------------------------------------

// The forms of f the front is offered: with fitting off (a constant to recognise) only f.
[[nodiscard]] std::vector<ScoredExpression> variants(const ThoroughState& state,
                                                     const Expression& f,
                                                     std::span<const double> values,
                                                     std::span<const double> targets);

// The expressions evaluated on the confirmation rows and offered to the front in their forms, in
// the given order so that the front does not depend on the thread count.
[[nodiscard]] bool confirm(ThoroughState& state, const std::vector<Expression>& expressions);

// The level's best candidates by affine error on the sample.
[[nodiscard]] bool offer_best(ThoroughState& state, std::uint64_t level,
                              const std::vector<bfs::AffinePick>& ranked);

// ---- Fitting (thorough_stage_fitting.cpp) --------------------------------------------------

// The best candidates with named constants get them fitted (with an outer a·f + b) on the sample
// rows; the best fits are confirmed on all rows and offered like the others.
[[nodiscard]] bool fit_best(ThoroughState& state, std::uint64_t level,
                            const std::vector<bfs::AffinePick>& ranked);

// The expression with its tokens of one kind (named constants, or fitted numbers for a refit) as
// parameters, starting from their real parts.
[[nodiscard]] Expression parameter_form(const Expression& expression, TokenKind kind,
                                        std::vector<double>& initial);

// The parameters as Real tokens holding the fitted numbers.
[[nodiscard]] Expression with_numbers(const Expression& form, std::span<const double> params);

// ---- Sums of two blocks (thorough_stage_pairs.cpp) -----------------------------------------

// The level's best blocks join the pool; the level's best few thousand are each paired with every
// block of the pool, and the best sums a·f + b·g + c are confirmed and offered to the front.
[[nodiscard]] bool offer_pairs(ThoroughState& state, std::uint64_t level);

// The most telling small blocks of the pool, each taken out of the targets, rank the levels from
// now on besides the targets themselves, in the free slots.
void add_residual_targets(ThoroughState& state);

// ---- Products of powers (thorough_stage_products.cpp) --------------------------------------

// Products of powers of the variables fitted in logarithms, and sums of two small ones,
// confirmed on all rows and offered to the front (before the levels).
[[nodiscard]] bool offer_products(ThoroughState& state);

// The variables' powers times the level's best blocks, confirmed and offered.
[[nodiscard]] bool offer_products_with_blocks(ThoroughState& state, std::uint64_t level);

// ---- Sums of several blocks (thorough_stage_sums.cpp) --------------------------------------

// Sums of three or more simple blocks: the products of the variables, then those and the pool's
// smallest blocks, confirmed on all rows and offered to the front.
[[nodiscard]] bool offer_sums(ThoroughState& state);

// ---- Polish (thorough_stage_polish.cpp) ----------------------------------------------------

// Every fitted number of the front refitted on all rows, then snapped to a simple value where
// the description length allows.
void polish(ThoroughState& state);

// ---- Stopping (thorough_stage_stopping.cpp) ------------------------------------------------

// Exact relative to the targets' scale, or down to the noise with a formula of simple numbers.
[[nodiscard]] bool should_stop(ThoroughState& state);

// Levels up to max_complexity always run; past it only with a time limit, while the next level
// is predicted to finish in the time left.
[[nodiscard]] bool worth_running(const ThoroughState& state, std::uint64_t level);

// The noise snapping may cost: the given or estimated one.
[[nodiscard]] NoiseModel snapping_noise(const ThoroughState& state);

}  // namespace kov
