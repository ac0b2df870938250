#pragma once

#include <string>

namespace kov::python {

// Python's repr of a float: the shortest text that reads back as the same double ("2.5", "1.0",
// "1e-07", "nan", "inf"). Needs the interpreter lock.
[[nodiscard]] std::string python_float_repr(double value);

// One digit before the point, six after, then "e" and the exponent without "+" or leading zeros:
// 1.234568e-4, 1.234500e3, 0.000000e0. NaN is "NaN", infinities "inf" and "-inf".
[[nodiscard]] std::string exponent_notation(double value);

// Fixed notation with exactly four decimals, never an exponent: 3.1416, -1.0000,
// 100000000000000000000.0000. NaN is "NaN", infinities "inf" and "-inf".
[[nodiscard]] std::string fixed_four_decimals(double value);

}  // namespace kov::python
