#pragma once

#include "python/py_ref.hpp"

#include <optional>
#include <vector>

namespace kov::python {

using Vector = std::vector<double>;
using Matrix = std::vector<std::vector<double>>;

// A list, tuple, range or other sequence of numbers, or a NumPy array, as owned doubles. Empty
// optional with a Python error set on failure: TypeError "The given array is not contiguous" for a
// strided 1-D float64 array, otherwise ValueError "Input must be a 1D list or NumPy array of
// floats". The object is only read.
[[nodiscard]] std::optional<Vector> convert_to_vec(PyObject* object);

// Rows of doubles from a sequence of sequences or a 2-D NumPy array (any layout). On failure:
// ValueError "Input must be a 2D list or 2D NumPy array of floats". Rows may differ in length.
[[nodiscard]] std::optional<Matrix> convert_to_matrix(PyObject* object);

}  // namespace kov::python
