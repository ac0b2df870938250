#include "python/arguments.hpp"

#include <cmath>
#include <string>

#include "python/errors.hpp"
#include "python/format.hpp"

namespace kov::python {
namespace {

// Names the parameter in a TypeError; any other error of the conversion stays as it is.
void name_parameter_in_type_error(PyObject* object, const char* parameter, const char* expected) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", parameter, expected,
                 Py_TYPE(object)->tp_name);
}

PyObject* raise_non_finite(const char* argument, double value, const std::string& position) {
    const std::string message = std::string(argument) + " contains a non-finite value (" +
                                python_float_repr(value) + ") at " + position;
    return raise(PyExc_ValueError, message);
}

}  // namespace

std::optional<std::uint64_t> to_size(PyObject* object, const char* parameter) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
        name_parameter_in_type_error(object, parameter, "an integer");
        return std::nullopt;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

std::optional<double> to_real(PyObject* object, const char* parameter) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        name_parameter_in_type_error(object, parameter, "a real number");
        return std::nullopt;
    }
    return value;
}

bool check_finite(const Vector& values, const char* argument) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) {
            raise_non_finite(argument, values[i], "index " + std::to_string(i));
            return false;
        }
    }
    return true;
}

bool check_finite(const Matrix& rows, const char* argument) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < rows[i].size(); ++j) {
            if (!std::isfinite(rows[i][j])) {
                raise_non_finite(argument, rows[i][j],
                                 "row " + std::to_string(i) + ", column " + std::to_string(j));
                return false;
            }
        }
    }
    return true;
}

bool check_finite(double value, const char* argument) {
    if (std::isfinite(value)) return true;
    raise(PyExc_ValueError,
          std::string(argument) + " is not a finite number (" + python_float_repr(value) + ")");
    return false;
}

}  // namespace kov::python
