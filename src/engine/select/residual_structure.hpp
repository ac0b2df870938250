#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kov {

// Tells whether a formula's residuals still hold structure the inputs explain, or look like noise.
// Noise is exchangeable: a row's residual says nothing about its neighbour's. Signal a formula
// missed varies smoothly with the inputs, so neighbouring rows leave alike residuals. The
// statistic is the neighbour ratio
//   S = Σ (r_i − r_{nn(i)})² / (2 Σ (r_i − r̄)²),
// near 1 for noise and near 0 for smooth leftover signal, where nn(i) is row i's nearest other row
// (inputs scaled to unit spread). Its null distribution comes from deterministic permutations of
// the residuals over the same neighbour pairs, so it needs no assumption about the noise's shape.
// Large data are tested on evenly spread rows (at most `row_limit`): the test needs no more, and
// its cost stays bounded.
class ResidualStructure {
public:
    static constexpr std::size_t row_limit = 1000;
    static constexpr std::size_t permutations = 199;
    // Below this p-value the residuals hold structure. Rare on noise: a right formula is then only
    // not accepted at once, and the search goes on.
    static constexpr double significance = 0.01;

    // Rows of the data; ragged or non-finite rows are left out of the neighbour pairs.
    explicit ResidualStructure(const std::vector<std::vector<double>>& rows);

    // One-sided permutation p-value of S (small: structure left), in (0, 1]; 1 when there are too
    // few usable pairs to tell or the residuals are constant. `residuals` has one entry per row of
    // the data; non-finite entries count as structure (p-value 0).
    [[nodiscard]] double p_value(std::span<const double> residuals) const;

    // True when the residuals show no structure at the test's significance.
    [[nodiscard]] bool looks_like_noise(std::span<const double> residuals) const {
        return p_value(residuals) >= significance;
    }

private:
    std::vector<std::size_t> tested_;     // rows of the data in the test
    std::vector<std::size_t> neighbour_;  // per tested row: the position (in tested_) of its nn
};

}  // namespace kov
