#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "engine/fit/optimizer.hpp"
#include "engine/levels/bfs_level.hpp"
#include "ops/registry.hpp"

namespace kov {

// Products of powers: targets of the form c · Π xv^ev · Π gk^pk, with the exponents small
// multiples of 1/2 and the gk blocks the levels built. In logarithms such a target is a sum,
// log|y| = log|c| + Σ ev·log|xv| + Σ pk·log|gk|, so a linear least-squares fit on the cached rows
// finds the exponents however many variables the product has: a monomial of nine variables is one
// fit, not a level of the search twenty tokens deep. The blocks are each level's expressions whose
// logarithm best explains what the variables' powers leave of log|y|: a difference x2 − x1, an
// exp(−x1/(x2·x3)), a 1 − cos x. A block u may also stand for exp(u), whose logarithm is u.
class ProductSearch {
public:
    // `sample_rows` and `sample_targets` are the rows the levels cache, in the same order. The
    // search is off (it offers nothing) when a target is zero or not finite there.
    // `noise`: the targets' standard deviation of noise, 0 when there is none or it is unknown.
    ProductSearch(const ComplexRows& sample_rows, std::span<const double> sample_targets,
                  std::size_t variables, double noise = 0.0);

    // The monomial the variables' powers give alone, exponents rounded to halves; empty when
    // they are not near halves or the search is off.
    // Also exp(c·M) times those powers for the small monomials M that explain most, and sums
    // and differences of two small products, and sums of squares (these blocks are kept as
    // partners of the levels').
    [[nodiscard]] std::vector<Expression> monomials(const OperatorRegistry& registry);

    // Products of the variables' powers with one, two or three blocks of `level` (and of the blocks
    // kept from earlier levels), the best few by what their fit leaves of log|y| on the cached
    // rows, with their exponents rounded to halves. Deterministic; the level is only read.
    [[nodiscard]] std::vector<Expression> with_blocks(const OperatorRegistry& registry,
                                                      const bfs::Level& level);

    // Sums of two of the small monomials, a·M1 + b·M2 + c (½·ε·E² + B²/(2μ)), the best few by
    // their fit on the cached rows, with their forms scored on `rows`. Call after monomials().
    [[nodiscard]] std::vector<ScoredExpression> monomial_pairs(
        const OperatorRegistry& registry, std::span<const double> sample_targets,
        const ComplexRows& rows, std::span<const double> targets) const;

    // A factor raised to halves·1/2 (negative for a divisor); one factor per entry.
    struct Factor {
        Expression base;
        int halves = 0;
    };
    // The product of the factors as the fewest tokens the grammar allows: integer powers as
    // repeated products, the half powers under one square root, divisors under one Divide.
    [[nodiscard]] static Expression product_form(const OperatorRegistry& registry,
                                                 std::span<const Factor> factors);

private:
    struct Block {
        std::vector<double> logs;  // log|g| on the cached rows, centred
        Expression expression;
        double left = 0.0;      // what log|y| leaves once the variables and this block are fitted
        bool positive = true;   // on every cached row: a square root of it is real
        bool exponent = false;  // the block u stands for exp(u): its values are the logs
    };
    // The column a block gives the fit in logarithms: log|g| centred, or u centred for exp(u).
    [[nodiscard]] bool block_column(const Complex* values, bool exponent, std::vector<double>& out,
                                    bool& positive) const;

    // A block's source (a monomial, or a level's node) with what log|y| leaves once it joins.
    struct Candidate {
        double left = 0.0;
        std::size_t source = 0;
        bool simple_exponent = false;  // of a level's block on noisy targets (simple_exponent)
    };
    // Whether a block's exponent, fitted from its column made orthogonal to the variables', is a
    // nonzero half within the noise.
    [[nodiscard]] bool simple_exponent(std::span<const double> orthogonal) const;
    // The best `count` (each leaving less than `before_any`), best first.
    [[nodiscard]] std::vector<Candidate> best_candidates(std::vector<Candidate>& candidates,
                                                         double before_any,
                                                         std::size_t count) const;
    // Each block of the level with a value on every cached row, as source 2·node (+1 for exp of
    // it) and its column outside the variables' span.
    void scan_level(
        const bfs::Level& level,
        const std::function<void(std::size_t, const std::vector<double>&)>& visit) const;
    // Forward selection over the whole level from the chosen blocks: the blocks that leave least
    // beside them, each offered and grown in turn, so that a factor explaining little alone is
    // still found.
    void select_forward(const OperatorRegistry& registry, const bfs::Level& level,
                        const std::vector<Block>& chosen, std::vector<Expression>& out);
    // The block's column from its expression evaluated on the cached rows.
    [[nodiscard]] bool block_values(const OperatorRegistry& registry, Block& block) const;
    // Offers the products with each new block alone and the best pairs of a new block with a new
    // or kept one; the new blocks join the kept ones.
    void add_products(const OperatorRegistry& registry, std::vector<Block> fresh,
                      std::vector<Expression>& out);
    // A small monomial M of the variables as the block exp(M), exp(M) − 1 or 1 − exp(−M)
    // (source 3·monomial + 0, 1 or 2), its column evaluated.
    [[nodiscard]] bool exponent_block(const OperatorRegistry& registry, std::size_t source,
                                      Block& block) const;
    // What the residual leaves once the columns (orthogonal to the variables' span) are fitted;
    // all of it when they are collinear.
    [[nodiscard]] double combined_left(std::span<const std::vector<double>* const> columns) const;
    // What the residual leaves once two columns (orthogonal to the variables' span) are fitted.
    [[nodiscard]] double pair_left(std::span<const double> a, std::span<const double> b) const;
    // The exponents of the variables' logarithms and of the blocks' on the cached rows, rounded
    // to halves and written as a product; nothing when an exponent is not near a half.
    [[nodiscard]] bool rounded_product(const OperatorRegistry& registry,
                                       std::span<const Block* const> blocks, Expression& out) const;
    // What remains of the residual once `l` (orthogonal to the variables' span) is fitted.
    [[nodiscard]] double left_after(std::span<const double> orthogonal) const;
    // Removes the variables' span (and the mean) from the values.
    void orthogonalise(std::vector<double>& values) const;

    std::size_t rows_ = 0;
    const ComplexRows& sample_rows_;
    bool usable_ = false;
    std::vector<std::size_t> variables_;              // with a logarithm on every cached row
    std::vector<std::vector<double>> variable_logs_;  // log|xv|, centred, one per variable
    std::vector<bool> variable_positive_;             // xv > 0 on every cached row
    std::vector<std::vector<double>> basis_;          // orthonormal basis of variable_logs_
    std::vector<double> target_logs_;                 // log|y|, centred
    std::vector<double> residual_;                    // of target_logs_ outside the variables' span
    double residual_norm_ = 0.0;                      // its squared length
    double noise_left_ = 0.0;  // what the noise alone leaves of the logarithms, with its margin
    double log_noise_ = 0.0;   // the noise of one row's logarithm, on average
    std::vector<std::vector<int>> exponent_powers_;  // the small monomials tried as exp(c·M)
    std::vector<std::vector<int>> binomial_terms_;   // the products sums of two are built from
    // Sums of squares of variables (a, a) and of differences (a, b), as indices into variables_.
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> square_sums_;
    std::vector<std::vector<double>> exponent_columns_;  // their columns outside the span
    std::vector<std::size_t> exponent_sources_;          // and which monomial each is
    std::vector<Block> kept_;                            // the best blocks of the levels so far
    std::vector<std::vector<double>> kept_orthogonal_;   // their logs outside the variables' span
};

}  // namespace kov
