// Offers to the front: a level's best candidates in their affine forms, measured on all rows.

#include <algorithm>

#include "engine/levels/bfs_score.hpp"
#include "engine/levels/pool.hpp"
#include "engine/thorough/thorough_stages.hpp"

namespace kov {

std::vector<ScoredExpression> variants(const ThoroughState& state, const Expression& f,
                                       std::span<const double> values,
                                       std::span<const double> targets) {
    if (state.config.fit_constants) return affine_variants(f, values, targets);
    std::vector<ScoredExpression> out;
    const double error = rms_error(values, targets);
    if (std::isfinite(error)) out.push_back({f, error});
    return out;
}

bool confirm(ThoroughState& state, const std::vector<Expression>& expressions) {
    std::vector<std::vector<ScoredExpression>> offers(expressions.size());
    const bool completed = parallel_for(
        expressions.size(), thorough_tuning.confirming_chunk,
        [&](std::size_t begin, std::size_t end, std::size_t) {
            std::vector<double> values;
            std::vector<Complex> stack;
            for (std::size_t i = begin; i < end; ++i) {
                if (!real_values(expressions[i], confirmation_rows(state), operators(state), values,
                                 stack)) {
                    continue;
                }
                offers[i] = variants(state, expressions[i], values, confirmation_targets(state));
            }
        },
        state.poll);
    if (!completed) return false;
    for (const auto& list : offers) {
        for (const ScoredExpression& offer : list) state.front.offer(offer.expression, offer.error);
    }
    return true;
}

bool offer_best(ThoroughState& state, std::uint64_t level,
                const std::vector<bfs::AffinePick>& ranked) {
    const std::size_t count =
        confirmed(state, std::min(ranked.size(), thorough_tuning.offered_per_level));
    std::vector<Expression> expressions(count);
    for (std::size_t i = 0; i < count; ++i) {
        expressions[i] = bfs::compose(state.levels, level, ranked[i].child, *state.registry);
    }
    return confirm(state, expressions);
}

}  // namespace kov
