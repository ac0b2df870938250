#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "engine/fit/optimizer.hpp"
#include "engine/thorough/thorough_pairs.hpp"
#include "engine/thorough/thorough_tuning.hpp"
#include "ops/registry.hpp"

namespace kov {

// Sums c0 + Σ ai·fi of several building blocks. The blocks are simple ones (products of the
// variables, and the pair stage's smallest blocks) as normalised values on the cached rows; a beam
// of forward selections with refit picks the sums, which are then fitted on all rows and written
// with the fewest tokens.

// A sum's blocks, by position in the candidate list (ascending), with the share of the target's
// spread that its best refit leaves unexplained on the cached rows.
struct TermSum {
    std::vector<std::uint32_t> blocks;
    double unexplained = 1.0;
    std::uint32_t complexity = 0;  // of the blocks together
};

struct TermSearchOptions {
    std::size_t most_terms = thorough_tuning.most_terms;  // blocks in a sum at most
    std::size_t beam = thorough_tuning.sum_beam;  // sums kept per size, each extended by as many
    std::size_t per_size = thorough_tuning.sums_per_size;  // best sums of each size that come back
};

// Forward selection with refit on the blocks' unit vectors against the unit target, kept as a
// beam: starting from the empty sum, each step adds to each kept sum the blocks that leave the
// least unexplained once all its blocks are refitted, and keeps the best `beam` distinct sums;
// then each sum of the last beam sheds, one by one, the block it misses least, down to three.
// Returns the best `per_size` of all these sums of each size from 3 to `most_terms`, by size,
// then best first (sums that leave less than rounding count as equal, the simpler first; then by
// blocks). Blocks nearly in the span of a sum's blocks are not added to it, and of sums that
// leave the same share only the first is kept. The same for any thread count; nothing when `poll`
// asked to stop.
[[nodiscard]] std::optional<std::vector<TermSum>> best_sums(
    std::span<const PairBlock* const> candidates, std::span<const double> unit_target,
    const TermSearchOptions& options, const std::function<bool()>& poll);

// The least-squares coefficients of Σ ai·fi (+ c when `offset`) ≈ y on all rows, in extended
// precision (QR by twice-orthogonalised Gram–Schmidt): a1 … ak, then c when asked for. Nothing
// when the columns are (numerically) collinear or a column is constant under an offset.
[[nodiscard]] std::optional<std::vector<double>> fit_terms(
    std::span<const std::vector<double>> columns, std::span<const double> targets, bool offset);

// Σ ai·fi + c written with the fewest tokens: a coefficient 1 leaves the block alone, −1 makes
// Subtract (Neg for a sum of nothing else), c = 0 leaves out the offset. A term without −1 goes
// first; the others keep their order.
[[nodiscard]] Expression sum_form(std::span<const Expression> terms,
                                  std::span<const double> coefficients, double offset);

// The forms of a sum the front is offered, each with its root-mean-square error on all rows: the
// fitted sum; and with the coefficients near ±1 set to ±1 and the others refitted, with and
// without an offset. A polynomial in one variable (every block a power of it) comes also nested,
// x^d0·(a0 + x^(d1−d0)·(a1 + …)) + c, which shares the powers.
[[nodiscard]] std::vector<ScoredExpression> sum_variants(
    std::span<const Expression> terms, std::span<const std::vector<double>> values,
    std::span<const double> targets);

// The products of `variables` variables, v0, v1, …, v0·v0, v0·v1, …, by degree (up to six), as
// many whole degrees as give at most `most` products.
[[nodiscard]] std::vector<Expression> monomials(std::uint8_t variables, std::size_t most);

// The forms of each sum (`expressions[b]` is block b's) evaluated and fitted on all rows, in the
// order of `sums`; sums with a block that has no value on some row are left out. Nothing when
// `poll` asked to stop.
[[nodiscard]] std::optional<std::vector<ScoredExpression>> confirm_sums(
    std::span<const TermSum> sums, std::span<const Expression* const> expressions,
    const ComplexRows& rows, std::span<const double> targets, const OperatorList& operators,
    const std::function<bool()>& poll);

}  // namespace kov
