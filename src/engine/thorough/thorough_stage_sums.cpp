// Sums of three or more simple blocks.

#include <algorithm>

#include "engine/thorough/thorough_stages.hpp"
#include "engine/thorough/thorough_terms.hpp"

namespace kov {

// The products of the variables, then those and the pool's smallest blocks. Larger blocks are too
// many to choose among on few rows: some of them always fit the data by chance, and a forward
// selection that takes them misses the true sum.
bool offer_sums(ThoroughState& state) {
    if (state.unit_target.empty()) return true;
    TermSearchOptions options;
    // Enough rows per coefficient that a sum cannot simply pass through the data.
    options.most_terms =
        std::min(options.most_terms, state.targets.size() / thorough_tuning.rows_per_term);
    if (options.most_terms < thorough_tuning.fewest_terms) return true;
    std::vector<Expression> products =
        monomials(static_cast<std::uint8_t>(state.variables), thorough_tuning.most_products);
    std::vector<PairBlock> product_blocks;
    std::vector<const PairBlock*> candidates;
    std::vector<const Expression*> expressions;
    std::vector<double> values(state.sample.size());
    std::vector<Complex> stack;
    std::vector<std::size_t> kept_products;
    for (std::size_t i = 0; i < products.size(); ++i) {
        if (!real_values(products[i], state.sample_rows, operators(state), values, stack)) {
            continue;
        }
        PairBlock block;
        if (!make_pair_block(values, state.unit_target, block)) continue;
        block.complexity = static_cast<std::uint32_t>(products[i].complexity);
        product_blocks.push_back(std::move(block));
        kept_products.push_back(i);
    }
    for (std::size_t k = 0; k < product_blocks.size(); ++k) {
        candidates.push_back(&product_blocks[k]);
        expressions.push_back(&products[kept_products[k]]);
    }
    for (std::size_t p = 0; p < state.pool.size(); ++p) {
        if (state.pool[p].complexity > thorough_tuning.simple_block_complexity) continue;
        candidates.push_back(&state.pool[p]);
        expressions.push_back(&state.pool_expressions[p]);
    }
    // Polynomials first: among the products alone the chance fits of the other blocks cannot
    // lead the selection astray.
    std::optional<std::vector<TermSum>> sums = best_sums(
        std::span(candidates).first(product_blocks.size()), state.unit_target, options, state.poll);
    const std::optional<std::vector<TermSum>> mixed =
        sums ? best_sums(candidates, state.unit_target, options, state.poll) : std::nullopt;
    if (!mixed) return false;
    for (const TermSum& sum : *mixed) {
        if (std::none_of(sums->begin(), sums->end(),
                         [&](const TermSum& other) { return other.blocks == sum.blocks; })) {
            sums->push_back(sum);
        }
    }
    const std::optional<std::vector<ScoredExpression>> offers =
        confirm_sums(*sums, expressions, state.rows, state.targets, operators(state), state.poll);
    if (!offers) return false;
    for (const ScoredExpression& offer : *offers) state.front.offer(offer.expression, offer.error);
    return true;
}

}  // namespace kov
