// Sums of two building blocks a·f + b·g + c, and the residual targets the pool's blocks lend.

#include <algorithm>
#include <cmath>

#include "engine/levels/pool.hpp"
#include "engine/thorough/thorough_stages.hpp"

namespace kov {

namespace {

// Pairs that leave no more than the noise fit as well as the data can tell: those with simple
// numbers first, then the simpler, or a pair bending to the noise takes the place of the true one.
PairNoise pair_noise(const ThoroughState& state) {
    PairNoise noise;
    if (!(state.noise > 0.0) || state.sample.empty()) return noise;
    double mean = 0.0;
    for (std::uint32_t j : state.sample) mean += state.targets[j];
    mean /= static_cast<double>(state.sample.size());
    double squares = 0.0;
    for (std::uint32_t j : state.sample) squares += std::pow(state.targets[j] - mean, 2);
    if (!(squares > 0.0)) return noise;
    noise.sigma = state.noise;
    noise.target_mean = mean;
    noise.target_norm = std::sqrt(squares);
    noise.tied_share = std::pow(thorough_tuning.given_noise_margin * state.noise, 2) *
                       static_cast<double>(state.sample.size()) / squares;
    return noise;
}

}  // namespace

bool offer_pairs(ThoroughState& state, std::uint64_t level) {
    if (state.unit_target.empty()) return true;
    const bfs::Level& current = state.levels[level];
    std::vector<PairBlock> partners;
    std::vector<std::size_t> partner_index;
    std::vector<double> values(state.sample.size());
    const std::size_t joining = level <= thorough_tuning.small_level
                                    ? thorough_tuning.pool_per_small_level
                                    : thorough_tuning.pool_per_level;
    const double pool_after = static_cast<double>(state.pool.size() + joining);
    const std::size_t partner_limit = std::max(
        thorough_tuning.partners_at_least,
        static_cast<std::size_t>(thorough_tuning.pairing_budget / (pool_after * values.size())));
    for (std::size_t i = 0; i < current.size() && partners.size() < partner_limit; ++i) {
        const bfs::Node& node = current.nodes[i];
        if (node.constant || !node.rows_ok) continue;
        const Complex* cached = current.row_values(i);
        for (std::size_t j = 0; j < values.size(); ++j) values[j] = cached[j].re;
        PairBlock block;
        if (!make_pair_block(values, state.unit_target, block)) continue;
        block.complexity = static_cast<std::uint32_t>(current.expressions[i].complexity);
        partners.push_back(std::move(block));
        partner_index.push_back(i);
    }
    const std::size_t shared = std::min(partners.size(), joining);
    const std::size_t shared_begin = state.pool.size();
    for (std::size_t i = 0; i < shared; ++i) {
        state.pool.push_back(partners[i]);
        state.pool_expressions.push_back(current.expressions[partner_index[i]]);
    }
    const std::optional<std::vector<PairPick>> picks =
        best_pairs(state.pool, partners, shared_begin, shared, thorough_tuning.pairs_confirmed,
                   pair_noise(state), state.poll);
    if (!picks) return false;
    std::vector<std::vector<ScoredExpression>> offers(picks->size());
    const bool completed = parallel_for(
        picks->size(), 1,
        [&](std::size_t begin, std::size_t end, std::size_t) {
            std::vector<double> f_values;
            std::vector<double> g_values;
            std::vector<Complex> stack;
            for (std::size_t k = begin; k < end; ++k) {
                const PairPick& pick = (*picks)[k];
                const Expression& f = state.pool_expressions[pick.first];
                const Expression& g = current.expressions[partner_index[pick.second]];
                if (!real_values(f, confirmation_rows(state), operators(state), f_values, stack) ||
                    !real_values(g, confirmation_rows(state), operators(state), g_values, stack)) {
                    continue;
                }
                offers[k] = pair_variants(f, f_values, g, g_values, confirmation_targets(state));
            }
        },
        state.poll);
    if (!completed) return false;
    for (const auto& list : offers) {
        for (const ScoredExpression& offer : list) state.front.offer(offer.expression, offer.error);
    }
    return true;
}

void add_residual_targets(ThoroughState& state) {
    if (state.ranking_targets.empty()) return;
    const std::vector<PairBlock>& pool = state.pool;
    std::vector<std::size_t> order;
    for (std::size_t p = 0; p < pool.size(); ++p) {
        const double r = std::fabs(pool[p].correlation);
        if (r >= thorough_tuning.residual_least_correlation &&
            r <= thorough_tuning.residual_most_correlation) {
            order.push_back(p);
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return std::fabs(pool[x].correlation) > std::fabs(pool[y].correlation);
    });
    const std::vector<double> base = state.ranking_targets.front();
    std::vector<std::size_t> used;
    const auto alike = [&](std::size_t x, std::size_t y) {
        double dot = 0.0;
        for (std::size_t j = 0; j < base.size(); ++j) dot += pool[x].unit[j] * pool[y].unit[j];
        return std::fabs(dot) > thorough_tuning.residual_most_correlation;
    };
    for (std::size_t p : order) {
        if (state.ranking_targets.size() >= thorough_tuning.max_ranking_targets) break;
        if (std::any_of(used.begin(), used.end(), [&](std::size_t u) { return alike(u, p); })) {
            continue;
        }
        used.push_back(p);
        double along = 0.0;
        for (std::size_t j = 0; j < base.size(); ++j) along += base[j] * pool[p].unit[j];
        std::vector<double> residual(base.size());
        for (std::size_t j = 0; j < base.size(); ++j) {
            residual[j] = base[j] - along * pool[p].unit[j];
        }
        state.ranking_targets.push_back(std::move(residual));
    }
}

}  // namespace kov
