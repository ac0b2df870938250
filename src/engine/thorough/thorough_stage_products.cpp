// Products of powers of the variables, fitted in logarithms (thorough_products), offered to the
// front: once before the levels, and with each level's best blocks as factors.

#include <cstdint>
#include <vector>

#include "engine/thorough/thorough_stages.hpp"

namespace kov {

bool offer_products(ThoroughState& state) {
    if (!confirm(state, state.products->monomials(*state.registry))) return false;
    std::vector<double> sample_targets;
    sample_targets.reserve(state.sample.size());
    for (std::uint32_t j : state.sample) sample_targets.push_back(state.targets[j]);
    for (const ScoredExpression& offer :
         state.products->monomial_pairs(*state.registry, sample_targets, confirmation_rows(state),
                                        confirmation_targets(state))) {
        state.front.offer(offer.expression, offer.error);
    }
    return true;
}

bool offer_products_with_blocks(ThoroughState& state, std::uint64_t level) {
    return confirm(state, state.products->with_blocks(*state.registry, state.levels[level]));
}

}  // namespace kov
