#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/units/rational.hpp"

namespace kov {

// The units of a search's inputs and target: exponents over named base dimensions (any names).
struct GivenUnits {
    std::vector<std::string> dimensions;
    std::vector<std::vector<Rational>> inputs;  // per input column, one exponent per dimension
    std::vector<Rational> target;               // one exponent per dimension
};

// Exponents of a product of powers of the input variables, one per variable.
using Monomial = std::vector<Rational>;

// Buckingham's reduction of a search: the target divided by `scale` is a function of the
// dimensionless `groups` alone. Groups have whole exponents; the scale is built of the
// `repeating` variables. No scale: the target's units lie outside what the inputs can make, so a
// constant of the formula must carry units.
struct DimensionalBasis {
    std::vector<Monomial> groups;
    std::vector<std::size_t> repeating;
    std::optional<Monomial> scale;
};

// The basis with the smallest, simplest exponents and the fewest variables per group among the
// choices of repeating variables (all of them up to a few thousand choices, else the first ones in
// order). A half power of a variable that may be negative is avoided when possible; it would have
// no real value.
[[nodiscard]] DimensionalBasis dimensionless_basis(const GivenUnits& units,
                                                   const std::vector<bool>& may_be_negative);

// "kg*m/s^2", "m^(1/2)", "1" for no dimension: the unit of the exponents over the dimensions.
[[nodiscard]] std::string unit_text(std::span<const std::string> dimensions,
                                    std::span<const Rational> exponents);

// "x0*x1/x2^2": a monomial over the variables x0, x1, ..., "1" when empty.
[[nodiscard]] std::string monomial_text(const Monomial& monomial);

}  // namespace kov
