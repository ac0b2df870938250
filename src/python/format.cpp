#include "python/format.hpp"

#include "python/py_ref.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

namespace kov::python {
namespace {

// The texts of the values that printf would write as "nan" or "-nan".
const char* non_finite_text(double value) {
    if (std::isnan(value)) return "NaN";
    return value < 0 ? "-inf" : "inf";
}

// printf into a string of the exact length. glibc's conversions are correctly rounded.
std::string print_double(const char* format, double value) {
    const int length = std::snprintf(nullptr, 0, format, value);
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::snprintf(buffer.data(), buffer.size(), format, value);
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

}  // namespace

std::string python_float_repr(double value) {
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) throw std::bad_alloc();
    std::string result(text);
    PyMem_Free(text);
    return result;
}

std::string exponent_notation(double value) {
    if (!std::isfinite(value)) return non_finite_text(value);
    // printf writes the exponent as e+05 or e-10; the format here has neither "+" nor padding.
    const std::string printed = print_double("%.6e", value);
    const std::size_t e = printed.find('e');
    const int exponent = std::atoi(printed.c_str() + e + 1);
    return printed.substr(0, e + 1) + std::to_string(exponent);
}

std::string fixed_four_decimals(double value) {
    if (!std::isfinite(value)) return non_finite_text(value);
    return print_double("%.4f", value);
}

}  // namespace kov::python
