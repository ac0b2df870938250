// Sums of three or more simple blocks, and logarithms of sums of the variables' products.

#include <algorithm>
#include <cmath>

#include "engine/thorough/thorough_formula.hpp"
#include "engine/thorough/thorough_pairs.hpp"
#include "engine/thorough/thorough_stages.hpp"
#include "engine/thorough/thorough_terms.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {

namespace {

// The products with a value on every sample row, as blocks against `unit_target`, with their
// expressions in the same order.
struct ProductBlocks {
    std::vector<PairBlock> blocks;
    std::vector<const Expression*> expressions;
};

ProductBlocks product_blocks(const ThoroughState& state, const std::vector<Expression>& products,
                             std::span<const double> unit_target) {
    ProductBlocks out;
    std::vector<double> values(state.sample.size());
    std::vector<Complex> stack;
    for (const Expression& product : products) {
        if (!real_values(product, state.sample_rows, operators(state), values, stack)) continue;
        PairBlock block;
        if (!make_pair_block(values, unit_target, block)) continue;
        block.complexity = static_cast<std::uint32_t>(product.complexity);
        out.blocks.push_back(std::move(block));
        out.expressions.push_back(&product);
    }
    return out;
}

// The logarithm of a sum of products, log(1 + x + x² + x³) = log(1 + x) + log(1 + x²): the sums
// and pairs of the products fitted to exp(y), each offered under a logarithm, where exp(y) keeps
// the targets' digits.
bool offer_logarithms_of_sums(ThoroughState& state, const std::vector<Expression>& products,
                              const TermSearchOptions& options) {
    const auto too_large = [](double y) {
        return !(std::fabs(y) <= thorough_tuning.largest_exponentiated_target);
    };
    if (std::any_of(state.targets.begin(), state.targets.end(), too_large)) return true;
    std::vector<double> exponentials(state.targets.size());
    for (std::size_t j = 0; j < exponentials.size(); ++j) {
        exponentials[j] = std::exp(state.targets[j]);
    }
    std::vector<double> sample_exponentials;
    for (std::uint32_t j : state.sample) sample_exponentials.push_back(exponentials[j]);
    const std::vector<double> unit_target = unit_vector(sample_exponentials);
    if (unit_target.empty()) return true;
    const auto [blocks, expressions] = product_blocks(state, products, unit_target);
    std::vector<const PairBlock*> candidates;
    for (const PairBlock& block : blocks) candidates.push_back(&block);
    const std::optional<std::vector<TermSum>> sums =
        best_sums(candidates, unit_target, options, state.poll);
    if (!sums) return false;
    std::optional<std::vector<ScoredExpression>> fitted =
        confirm_sums(*sums, expressions, state.rows, exponentials, operators(state), state.poll);
    // Sums of two products (x³ + 2x + 1) are the pairs' business: every two products.
    const std::optional<std::vector<PairPick>> picks = best_pairs(
        blocks, blocks, 0, blocks.size(), thorough_tuning.pairs_confirmed, PairNoise{}, state.poll);
    if (!fitted || !picks) return false;
    std::vector<double> f_values;
    std::vector<double> g_values;
    std::vector<double> values;
    std::vector<Complex> stack;
    for (const PairPick& pick : *picks) {
        const Expression& f = *expressions[pick.first];
        const Expression& g = *expressions[pick.second];
        if (!real_values(f, state.rows, operators(state), f_values, stack) ||
            !real_values(g, state.rows, operators(state), g_values, stack)) {
            continue;
        }
        for (ScoredExpression& pair : pair_variants(f, f_values, g, g_values, exponentials)) {
            fitted->push_back(std::move(pair));
        }
    }
    for (const ScoredExpression& sum : *fitted) {
        const Expression logarithm = apply_builtin(builtin_id::log, sum.expression);
        if (!real_values(logarithm, state.rows, operators(state), values, stack)) continue;
        state.front.offer(logarithm, rms_error(values, state.targets));
    }
    return true;
}

}  // namespace

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
    const ProductBlocks products_alone = product_blocks(state, products, state.unit_target);
    std::vector<const PairBlock*> candidates;
    for (const PairBlock& block : products_alone.blocks) candidates.push_back(&block);
    std::vector<const Expression*> expressions = products_alone.expressions;
    for (std::size_t p = 0; p < state.pool.size(); ++p) {
        if (state.pool[p].complexity > thorough_tuning.simple_block_complexity) continue;
        candidates.push_back(&state.pool[p]);
        expressions.push_back(&state.pool_expressions[p]);
    }
    // Polynomials first: among the products alone the chance fits of the other blocks cannot
    // lead the selection astray.
    std::optional<std::vector<TermSum>> sums =
        best_sums(std::span(candidates).first(products_alone.blocks.size()), state.unit_target,
                  options, state.poll);
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
    return offer_logarithms_of_sums(state, products, options);
}

}  // namespace kov
