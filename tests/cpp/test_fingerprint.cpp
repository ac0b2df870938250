#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "bits.hpp"
#include "core/fingerprint.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/registry.hpp"
#include "test_support.hpp"

namespace kov {
namespace {

constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();

using test::builtins;
using test::inf;
using test::nan;

std::optional<Fingerprint> fingerprint_of(const Expression& expression) {
    return fingerprint(expression, builtins().operators());
}

Expression var(std::uint8_t index) {
    return Expression::variable_leaf(index);
}

Expression binary(std::size_t id, const Expression& a, const Expression& b) {
    return Expression::binary(builtins(), id, a, b);
}

TEST(FingerprintProbes, BareVariable) {
    const Fingerprint expected = {{{5772156649, 0},
                                   {12824271291, 1000000000},
                                   {16180339887, 0},
                                   {6931471806, 1000000000},
                                   {12020569032, 0}}};
    EXPECT_EQ(fingerprint_of(var(0)), expected);
}

TEST(FingerprintProbes, ProbeValues) {
    // The imaginary step is (i + 1) * 0.1 in binary64: 3 * 0.1 is not 0.3.
    EXPECT_TRUE(test::same_complex(probe_value(1, 2), {probe_constants[3], 0.30000000000000004}));
    EXPECT_TRUE(test::same_complex(probe_value(3, 4), {probe_constants[2], 0.5}));
    EXPECT_TRUE(test::same_complex(probe_value(4, 3), {probe_constants[2], 0.0}));
    EXPECT_TRUE(test::same_complex(probe_value(0, 0), {0.5772156649015329, 0.0}));
}

TEST(FingerprintProbes, VariableValuesDoNotDependOnVariableCount) {
    const std::optional<Fingerprint> difference =
        fingerprint_of(binary(builtin_id::subtract, var(1), var(1)));
    const std::optional<Fingerprint> zero =
        fingerprint_of(Expression::constant_leaf(builtins(), builtin_id::zero));
    const Fingerprint zeros{};
    EXPECT_EQ(difference, zeros);
    EXPECT_EQ(zero, zeros);
    // Variable 1 alone sees the probe constants shifted by one.
    EXPECT_EQ(fingerprint_of(var(1))->at(0).first, 12824271291);
}

TEST(FingerprintProbes, ConstantHasFiveEqualPairs) {
    const std::optional<Fingerprint> pi =
        fingerprint_of(Expression::constant_leaf(builtins(), builtin_id::pi));
    ASSERT_TRUE(pi.has_value());
    for (const auto& pair : *pi)
        EXPECT_EQ(pair, std::make_pair(std::int64_t{31415926536}, std::int64_t{0}));
}

TEST(FingerprintProbes, EqualForCommutedOperandsOnly) {
    EXPECT_EQ(fingerprint_of(binary(builtin_id::plus, var(0), var(1))),
              fingerprint_of(binary(builtin_id::plus, var(1), var(0))));
    EXPECT_NE(fingerprint_of(binary(builtin_id::subtract, var(0), var(1))),
              fingerprint_of(binary(builtin_id::subtract, var(1), var(0))));
}

TEST(FingerprintProbes, AbsentWhenEvaluationFailsOrValueTooLarge) {
    const Expression inverse_of_zero = Expression::unary(
        builtins(), builtin_id::inv, binary(builtin_id::subtract, var(0), var(0)));
    EXPECT_FALSE(fingerprint_of(inverse_of_zero).has_value());
    // A leaf enters the evaluator untested but still has to pass the size test here.
    Expression huge;
    huge.tokens = {Token::real(1e15)};
    huge.complexity = 1;
    EXPECT_FALSE(fingerprint_of(huge).has_value());
    // No probe constant is zero, so dividing by a variable is fine.
    EXPECT_TRUE(fingerprint_of(binary(builtin_id::divide, var(1), var(0))).has_value());
}

struct KeyCase {
    double part;
    std::int64_t key;
};

TEST(FingerprintKeys, ScaledRoundedAndClamped) {
    const KeyCase cases[] = {
        {0.25, 2500000000},
        {0.25 + 2e-11, 2500000000},
        {0.25 + 2e-10, 2500000002},
        {2.5e-10, 3},  // halfway cases round away from zero
        {-2.5e-10, -3},
        {-0.0, 0},
        {9.2e8, 9200000000000000000},
        {922337203.6854776, int64_max},  // scales to exactly 2^63
        {std::nextafter(922337203.6854776, 0.0), 9223372036854774784},
        {-922337203.6854776, int64_min},
        {1e9, int64_max},
        {9.99e14, int64_max},
        {-1e9, int64_min},
        {-9.99e14, int64_min},
    };
    for (const KeyCase& c : cases) EXPECT_EQ(fingerprint_key(c.part), c.key) << c.part;
}

TEST(FingerprintKeys, FromValuesAppliesTheSizeTest) {
    const std::array<std::optional<Complex>, 5> ok = {Complex{1, 0}, Complex{1e9, -1e9},
                                                      Complex{std::nextafter(1e15, 0.0), 0},
                                                      Complex{0, 0}, Complex{-0.5, 0.5}};
    const std::optional<Fingerprint> print = fingerprint_from_values(ok);
    ASSERT_TRUE(print.has_value());
    EXPECT_EQ((*print)[1], std::make_pair(int64_max, int64_min));
    EXPECT_EQ((*print)[2].first, int64_max);
    EXPECT_EQ((*print)[4], std::make_pair(std::int64_t{-5000000000}, std::int64_t{5000000000}));

    for (const std::optional<Complex> bad :
         {std::optional<Complex>{}, std::optional<Complex>{Complex{1e15, 0}},
          std::optional<Complex>{Complex{0, -1e15}}, std::optional<Complex>{Complex{inf, 0}},
          std::optional<Complex>{Complex{0, nan}}}) {
        for (std::size_t probe = 0; probe < ok.size(); ++probe) {
            std::array<std::optional<Complex>, 5> values = ok;
            values[probe] = bad;
            EXPECT_FALSE(fingerprint_from_values(values).has_value())
                << test::describe(bad) << " at probe " << probe;
        }
    }
}

TEST(FingerprintKeys, FromValuesMatchesFingerprint) {
    const Expression f =
        Expression::unary(builtins(), builtin_id::sqrt, binary(builtin_id::times, var(0), var(2)));
    std::array<std::optional<Complex>, 5> values;
    for (unsigned probe = 0; probe < 5; ++probe) {
        const std::vector<Complex> vars = {probe_value(probe, 0), probe_value(probe, 1),
                                           probe_value(probe, 2)};
        values[probe] = eval(f, vars, builtins().operators());
    }
    EXPECT_EQ(fingerprint_from_values(values), fingerprint_of(f));
}

}  // namespace
}  // namespace kov
