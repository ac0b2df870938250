#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "engine/fit/optimizer.hpp"
#include "engine/select/model_selection.hpp"

namespace kov {

// How finely the data were written down. Values copied from a table (a planet's period, 164.8
// years) carry a few significant digits: their rounding is noise like any other, and a formula
// need not fit the data more closely than it. The targets count as rounded when every one of them
// is written with few significant digits and not all are whole; then so does each input column
// whose values are (a column of whole numbers counts as exact: indices, counts). Each value's
// rounding unit is that of its last written digit (see `units` for values of one digit).
class DataPrecision {
public:
    DataPrecision(const std::vector<std::vector<double>>& rows, std::span<const double> targets);

    [[nodiscard]] bool rounded() const { return rounded_; }

    // The standard deviation the rounding adds to the formula's residuals: per row the target's
    // rounding and the change of the formula across each input's rounding interval, as uniform
    // errors (variance unit²/12), root-mean-squared over the rows. 0 when the data are not
    // rounded.
    [[nodiscard]] double rounding_sigma(const Expression& formula, const ComplexRows& rows,
                                        const OperatorList& operators) const;

    // The noise model with the formula's rounding added to its noise (as variances).
    [[nodiscard]] NoiseModel with_rounding(const NoiseModel& noise, const Expression& formula,
                                           const ComplexRows& rows,
                                           const OperatorList& operators) const;

    // Whether every residual lies within its row's rounding interval: a unit of the target's last
    // digit plus the formula's change across a unit of each input's. Rounding is bounded,
    // so within these intervals every formula explains the data equally well. False when the
    // data are not rounded.
    [[nodiscard]] bool within_rounding(const Expression& formula, const ComplexRows& rows,
                                       std::span<const double> targets,
                                       const OperatorList& operators) const;

    // The formula with each fitted number, in turn, replaced by the simplest nearby simple value
    // that keeps it within the rounding intervals; unchanged when the data are not rounded.
    [[nodiscard]] Expression snap_within_rounding(const Expression& formula,
                                                  const ComplexRows& rows,
                                                  std::span<const double> targets,
                                                  const OperatorList& operators) const;

private:
    // Per row: the variance of the rounding's error, and the half-width of its interval.
    struct RowRounding {
        double variance = 0.0;
        double half_width = 0.0;
    };
    [[nodiscard]] std::vector<RowRounding> row_rounding(const Expression& formula,
                                                        const ComplexRows& rows,
                                                        const OperatorList& operators) const;

    bool rounded_ = false;
    std::vector<double> target_units_;              // per row
    std::vector<std::vector<double>> input_units_;  // per input column, per row; empty if exact
};

// The fewest significant digits (1 to 17) that write the value back to the same double.
[[nodiscard]] int significant_digits(double value);

}  // namespace kov
