#pragma once

#include "python/py_ref.hpp"

#include <cstdint>
#include <optional>

#include "python/conversion.hpp"

namespace kov::python {

// An argument through the index protocol into an unsigned 64-bit size. A non-integer gets a
// TypeError naming `parameter`; a negative or too large integer keeps the interpreter's
// OverflowError.
[[nodiscard]] std::optional<std::uint64_t> to_size(PyObject* object, const char* parameter);

// An argument through the interpreter's float conversion. A TypeError names `parameter`; other
// errors of the conversion (an int too large for a double) pass through.
[[nodiscard]] std::optional<double> to_real(PyObject* object, const char* parameter);

// Sample data must be finite: a NaN or an infinity would make every formula's error NaN or
// infinite, so a search could only end with "No formula found". False with a ValueError naming the
// argument and the first bad position.
[[nodiscard]] bool check_finite(const Vector& values, const char* argument);
[[nodiscard]] bool check_finite(const Matrix& rows, const char* argument);
[[nodiscard]] bool check_finite(double value, const char* argument);

}  // namespace kov::python
