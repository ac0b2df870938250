#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/expression.hpp"
#include "engine/select/constant_snapping.hpp"
#include "ops/builtin_ids.hpp"
#include "test_support.hpp"

namespace kov {
namespace {

namespace id = builtin_id;

const OperatorList& operators() {
    return test::builtins().operators();
}

Token op(std::size_t op_id) {
    return Token::op(operators()[op_id]->arity(), op_id);
}

// f(c0, c1, x) with the fitted numbers as Real tokens.
struct SnapCase {
    const char* name;
    std::vector<double> fitted;  // the numbers as the fit left them
    std::vector<double> truth;   // the numbers that generated the data
    double sigma;                // Gaussian noise on the targets
    bool sigma_known;
    std::vector<double> expected;  // after snapping; NaN: must differ from every simple value
    int shape;                     // 0: c0·x + c1, 1: c0·sin(c1·x)
};

Expression form_of(const SnapCase& c) {
    Expression form;
    if (c.shape == 0) {
        form.tokens = {Token::real(c.fitted[0]), Token::var(0), op(id::times),
                       Token::real(c.fitted[1]), op(id::plus)};
    } else {
        form.tokens = {Token::real(c.fitted[0]),
                       Token::real(c.fitted[1]),
                       Token::var(0),
                       op(id::times),
                       op(id::sin),
                       op(id::times)};
    }
    form.complexity = form.tokens.size();
    form.formula = "fitted";
    return form;
}

double truth_at(const SnapCase& c, double x) {
    return c.shape == 0 ? c.truth[0] * x + c.truth[1] : c.truth[0] * std::sin(c.truth[1] * x);
}

class Snapping : public testing::TestWithParam<SnapCase> {};

TEST_P(Snapping, SnapsOnlyWhatTheDataAllow) {
    const SnapCase& c = GetParam();
    std::mt19937_64 random(11);
    std::normal_distribution<double> gauss(0.0, 1.0);
    ComplexRows rows;
    std::vector<double> targets;
    for (int i = 0; i < 200; ++i) {
        const double x = 0.5 + 2.5 * i / 199.0;
        rows.push_back({Complex{x, 0.0}});
        targets.push_back(truth_at(c, x) + c.sigma * gauss(random));
    }
    double squares = 0.0;
    for (const double y : targets) squares += y * y;
    const NoiseModel noise{std::sqrt(squares / targets.size()),
                           c.sigma_known ? std::optional<double>{c.sigma} : std::nullopt};
    const Expression snapped = snap_constants(form_of(c), rows, targets, noise, operators());
    EXPECT_EQ(snapped.formula, "fitted");
    std::vector<double> numbers;
    for (const Token& token : snapped.tokens) {
        if (token.kind == TokenKind::Real) numbers.push_back(token.value.re);
    }
    ASSERT_EQ(numbers.size(), c.expected.size());
    for (std::size_t k = 0; k < numbers.size(); ++k) {
        if (std::isnan(c.expected[k])) {
            // Not snapped: still the fitted number (up to the refit), not a simple value.
            EXPECT_NEAR(numbers[k], c.truth[k], 0.01) << "number " << k;
            for (const double simple : simple_values_near(c.truth[k])) {
                EXPECT_NE(numbers[k], simple) << "number " << k;
            }
        } else {
            EXPECT_EQ(numbers[k], c.expected[k]) << "number " << k;  // the exact double
        }
    }
    if (c.sigma == 0.0) {  // noise-free: the snapped formula reproduces the targets to rounding
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto value = eval(snapped, rows[i], operators());
            ASSERT_TRUE(value.has_value());
            EXPECT_NEAR(value->re, targets[i], 1e-13 * (1.0 + std::fabs(targets[i])));
        }
    }
}

constexpr double kept = std::numeric_limits<double>::quiet_NaN();
constexpr double pi = std::numbers::pi;

INSTANTIATE_TEST_SUITE_P(
    Constants, Snapping,
    testing::Values(
        SnapCase{"integers", {2.0000003, -0.9999991}, {2.0, -1.0}, 0.0, false, {2.0, -1.0}, 0},
        SnapCase{
            "ratios", {0.4999999, 0.33333329}, {0.5, 1.0 / 3.0}, 0.0, false, {0.5, 1.0 / 3.0}, 0},
        SnapCase{"pi_amplitude", {3.1415925, 2.0000001}, {pi, 2.0}, 0.0, false, {pi, 2.0}, 1},
        SnapCase{"half_pi_frequency",
                 {1.0000001, 1.5707962},
                 {1.0, pi / 2.0},
                 0.0,
                 false,
                 {1.0, pi / 2.0},
                 1},
        // 9.81 is no simple value: with exact data nothing near it reproduces the targets.
        SnapCase{"gravity_stays", {9.81, 0.0000001}, {9.81, 0.0}, 0.0, false, {kept, 0.0}, 0},
        // With noise the criterion snaps a true simple value in about nine draws of ten (a
        // deviation of two standard errors is not worth a constant); this draw is a typical one.
        SnapCase{
            "noisy_snaps_within_noise", {2.003, 0.998}, {2.0, 1.0}, 0.01, false, {2.0, 1.0}, 0},
        SnapCase{"noisy_known_sigma", {2.003, 0.998}, {2.0, 1.0}, 0.01, true, {2.0, 1.0}, 0},
        // 2.37 lies several standard errors from 19/8 and 7/3 at this noise level.
        SnapCase{"noisy_keeps_what_noise_cannot_explain",
                 {2.3702, 1.0004},
                 {2.37, 1.0},
                 0.01,
                 true,
                 {kept, 1.0},
                 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimpleValuesNear, SimplestFirst) {
    EXPECT_EQ(simple_values_near(2.0001).front(), 2.0);
    EXPECT_EQ(simple_values_near(3.1416).front(), 3.0);  // integers are simplest; π is listed too
    const auto near_pi = simple_values_near(3.1416);
    EXPECT_NE(std::find(near_pi.begin(), near_pi.end(), pi), near_pi.end());
    EXPECT_TRUE(simple_values_near(std::nan("")).empty());
    EXPECT_TRUE(simple_values_near(1e300).empty());
}

}  // namespace
}  // namespace kov

namespace kov {
namespace {

struct SimpleCase {
    const char* name;
    double value;
    bool simple;
};

class SimpleValueCost : public testing::TestWithParam<SimpleCase> {};

// Snapping leaves exact doubles of simple values; anything else (a fit a few ulps off, g = 9.81)
// is a fitted number.
TEST_P(SimpleValueCost, NamesExactSimpleValuesOnly) {
    const SimpleCase& c = GetParam();
    const std::optional<double> cost = simple_value_cost(c.value);
    EXPECT_EQ(cost.has_value(), c.simple);
    if (cost) {
        EXPECT_GE(*cost, 0.0);
        // Never more than naming the last of the values snapping tries for the number itself.
        EXPECT_LE(*cost, std::log(static_cast<double>(simple_values_near(c.value).size())) + 1e-12);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, SimpleValueCost,
    testing::Values(SimpleCase{"integer", 2.0, true}, SimpleCase{"negative_integer", -1.0, true},
                    SimpleCase{"tenths", 1.3, true},
                    SimpleCase{"tenths_off_by_an_ulp", 1.2999999999999998, false},
                    SimpleCase{"two_pi", 2.0 * std::numbers::pi, true},
                    SimpleCase{"inverse_root_two_pi", 1.0 / std::sqrt(2.0 * std::numbers::pi),
                               true},
                    SimpleCase{"fitted_two_pi", 6.278, false}, SimpleCase{"gravity", 9.81, false},
                    SimpleCase{"nan", std::nan(""), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimpleValueCost, IntegersCostNothingBeyondTheirToken) {
    EXPECT_EQ(simple_value_cost(3.0), 0.0);
    EXPECT_GT(simple_value_cost(2.0 * std::numbers::pi).value(), 0.0);
}

}  // namespace
}  // namespace kov
