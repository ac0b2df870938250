#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/expression.hpp"
#include "engine/fit/optimizer.hpp"

namespace kov {

// A building block's values on the rows the levels cache, centred and scaled to unit length,
// with their correlation with the (likewise normalised) target.
struct PairBlock {
    std::vector<double> unit;
    double correlation = 0.0;
    std::uint32_t complexity = 0;  // of the block's expression: the simpler of equal pairs wins
    double mean = 0.0;             // of the block's values, which are unit · norm + mean
    double norm = 0.0;
};

// The targets' noise as the pairs see it: pairs that leave less than `tied_share` of the
// targets' spread fit alike, and among them those whose numbers a, b and c lie within the noise
// of simple values come first. A zero `sigma` leaves the numbers out of the order.
struct PairNoise {
    double tied_share = 0.0;
    double sigma = 0.0;
    double target_mean = 0.0;
    double target_norm = 0.0;  // of the centred targets
};

// Orders two combinations by the share they leave unexplained (all exact ones alike), then by
// complexity: negative when the first comes first, positive when the second does, 0 when tied.
[[nodiscard]] int compare_fits(double first_unexplained, std::uint32_t first_complexity,
                               double second_unexplained, std::uint32_t second_complexity);

// Normalises values against a unit target; false for values without spread or not finite.
[[nodiscard]] bool make_pair_block(std::span<const double> values,
                                   std::span<const double> unit_target, PairBlock& out);

// The target centred and scaled to unit length; empty when it has no spread.
[[nodiscard]] std::vector<double> unit_vector(std::span<const double> values);

// Two blocks, `first` from the pool and `second` from the partners, with the share of the
// target's spread that their best combination a·f + b·g + c leaves unexplained.
struct PairPick {
    double unexplained = 1.0;
    std::uint32_t complexity = 0;      // of the two blocks together
    std::uint32_t simple_numbers = 0;  // of a, b and c, within the noise of simple values
    std::uint32_t first = 0;
    std::uint32_t second = 0;
};

// The `count` best pairs of a pool block and a partner, best first (pairs that leave less than
// the noise's tied share count as equal, those with more simple numbers first, then the
// simpler; then by position), the same for
// any thread count. Partner i < `shared` is pool block `shared_begin + i` itself: each such pair
// is looked at once. Nearly collinear pairs add nothing to one block alone and are skipped.
// Returns nothing when `poll` asked to stop.
[[nodiscard]] std::optional<std::vector<PairPick>> best_pairs(std::span<const PairBlock> pool,
                                                              std::span<const PairBlock> partners,
                                                              std::size_t shared_begin,
                                                              std::size_t shared, std::size_t count,
                                                              const PairNoise& noise,
                                                              const std::function<bool()>& poll);

// The least-squares a, b and c of a·f + b·g + c ≈ y on all rows, in extended precision; false
// when f and g are (numerically) collinear.
[[nodiscard]] bool fit_pair(std::span<const double> f, std::span<const double> g,
                            std::span<const double> targets, double& a, double& b, double& c);

// a·f + b·g + c written out: a = 1 leaves f alone, a = -1 gives Neg(f), c = 0 leaves out the
// offset; b = -1 gives Subtract(…, g).
[[nodiscard]] Expression pair_form(const Expression& f, double a, const Expression& g, double b,
                                   double c);

// The forms of a pair the front is offered: the fitted combination, and f + g, f − g, g − f with
// no numbers at all, each with its root-mean-square error on all rows.
[[nodiscard]] std::vector<ScoredExpression> pair_variants(const Expression& f,
                                                          std::span<const double> f_values,
                                                          const Expression& g,
                                                          std::span<const double> g_values,
                                                          std::span<const double> targets);

}  // namespace kov
