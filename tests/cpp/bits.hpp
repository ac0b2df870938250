#pragma once

// Bit-exact comparisons for tests: -0.0 and +0.0 differ, and NaN matches any NaN unless the payload
// is asked for. Failure messages show values in hexadecimal floating point.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>

#include "ops/complex.hpp"

namespace kov {

// Lets GoogleTest print Complex values in failure messages.
inline void PrintTo(const Complex& z, std::ostream* out) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "(%a, %a)", z.re, z.im);
    *out << buffer;
}

}  // namespace kov

namespace kov::test {

inline std::uint64_t bits_of(double x) {
    return std::bit_cast<std::uint64_t>(x);
}

// Same bit pattern, except that any NaN matches any NaN.
inline bool same_double(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return bits_of(a) == bits_of(b);
}

// Same bit pattern, NaN payload and sign included.
inline bool identical_double(double a, double b) {
    return bits_of(a) == bits_of(b);
}

inline bool same_complex(Complex a, Complex b) {
    return same_double(a.re, b.re) && same_double(a.im, b.im);
}

inline bool identical_complex(Complex a, Complex b) {
    return identical_double(a.re, b.re) && identical_double(a.im, b.im);
}

inline std::string describe(Complex z) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "(%.17g, %.17g) = (%a, %a)", z.re, z.im, z.re, z.im);
    return buffer;
}

inline std::string describe(const std::optional<Complex>& z) {
    return z ? describe(*z) : std::string("no value");
}

// For EXPECT_PRED_FORMAT2: both absent, or both present and same_complex.
inline ::testing::AssertionResult SameValue(const char* actual_text, const char* expected_text,
                                            const std::optional<Complex>& actual,
                                            const std::optional<Complex>& expected) {
    const bool same =
        actual.has_value() == expected.has_value() && (!actual || same_complex(*actual, *expected));
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actual_text << " is " << describe(actual) << "\n"
                                         << expected_text << " is " << describe(expected);
}

// For EXPECT_PRED_FORMAT2: both absent, or both present with identical bits (NaN payloads too).
inline ::testing::AssertionResult IdenticalValue(const char* actual_text, const char* expected_text,
                                                 const std::optional<Complex>& actual,
                                                 const std::optional<Complex>& expected) {
    const bool same = actual.has_value() == expected.has_value() &&
                      (!actual || identical_complex(*actual, *expected));
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actual_text << " is " << describe(actual) << "\n"
                                         << expected_text << " is " << describe(expected);
}

}  // namespace kov::test

#define EXPECT_SAME_VALUE(actual, expected) \
    EXPECT_PRED_FORMAT2(::kov::test::SameValue, actual, expected)
#define EXPECT_IDENTICAL_VALUE(actual, expected) \
    EXPECT_PRED_FORMAT2(::kov::test::IdenticalValue, actual, expected)
