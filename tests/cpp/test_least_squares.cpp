#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bits.hpp"
#include "core/expression.hpp"
#include "engine/fit/derivative_rules.hpp"
#include "engine/fit/fitted_expression.hpp"
#include "engine/fit/least_squares.hpp"
#include "engine/fit/real_axis_eval.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/complex_math.hpp"
#include "test_support.hpp"

namespace kov {
namespace {

namespace id = builtin_id;

const OperatorList& operators() {
    return test::builtins().operators();
}

// Postfix forms written token by token: x(j) is variable j, p(k) parameter k.
Token x(std::uint8_t j = 0) {
    return Token::var(j);
}
Token p(std::uint8_t k) {
    return Token::param(k, {0.0, 0.0});
}
Token num(double value) {
    return Token::real(value);
}
Token op(std::size_t op_id) {
    return Token::op(operators()[op_id]->arity(), op_id);
}

Expression form_of(std::vector<Token> tokens) {
    Expression form;
    form.complexity = tokens.size();
    form.tokens = std::move(tokens);
    return form;
}

struct Data {
    ComplexRows rows;
    std::vector<double> targets;
};

Data sample(double from, double to, int count, const std::function<double(double)>& truth) {
    Data data;
    for (int i = 0; i < count; ++i) {
        const double v = from + (to - from) * i / (count - 1);
        data.rows.push_back({Complex{v, 0.0}});
        data.targets.push_back(truth(v));
    }
    return data;
}

struct OptimumCase {
    const char* name;
    std::vector<Token> tokens;
    bool affine;
    std::vector<double> initial;
    double from, to;
    std::function<double(double)> truth;
    std::vector<double> expected;  // parameters at the optimum
    double scale = 1.0;
    double offset = 0.0;
};

class KnownOptimum : public testing::TestWithParam<OptimumCase> {};

TEST_P(KnownOptimum, IsReachedExactly) {
    const OptimumCase& c = GetParam();
    const Data data = sample(c.from, c.to, 40, c.truth);
    LeastSquaresFitter fitter(data.rows, data.targets, operators());
    const LeastSquaresFit fit =
        fitter.fit(form_of(c.tokens), c.initial, LeastSquaresOptions{c.affine, 60, 4});
    ASSERT_EQ(fit.params.size(), c.expected.size());
    for (std::size_t k = 0; k < c.expected.size(); ++k) {
        EXPECT_NEAR(fit.params[k], c.expected[k], 1e-9 * (1.0 + std::fabs(c.expected[k])))
            << "parameter " << k;
    }
    EXPECT_NEAR(fit.scale, c.scale, 1e-9 * (1.0 + std::fabs(c.scale)));
    EXPECT_NEAR(fit.offset, c.offset, 1e-9 * (1.0 + std::fabs(c.offset)));
    EXPECT_LT(fit.sse, 1e-20);
}

INSTANTIATE_TEST_SUITE_P(
    Fitter, KnownOptimum,
    testing::Values(
        OptimumCase{"line",
                    {p(0), x(), op(id::times), p(1), op(id::plus)},
                    false,
                    {0.0, 0.0},
                    0.0,
                    1.0,
                    [](double v) { return 2.5 * v + 1.3; },
                    {2.5, 1.3}},
        // Plain gradient steps crawl here: the two columns are nearly parallel.
        OptimumCase{"line_far_from_origin",
                    {p(0), x(), op(id::times), p(1), op(id::plus)},
                    false,
                    {1.0, 1.0},
                    1000.0,
                    1001.0,
                    [](double v) { return -0.75 * v + 812.0; },
                    {-0.75, 812.0}},
        OptimumCase{"line_affine_only",
                    {x()},
                    true,
                    {},
                    -2.0,
                    3.0,
                    [](double v) { return 2.5 * v + 1.3; },
                    {},
                    2.5,
                    1.3},
        OptimumCase{"scaled_decay",
                    {p(0), x(), op(id::times), op(id::exp)},
                    true,
                    {1.0},
                    0.0,
                    2.0,
                    [](double v) { return 3.0 * std::exp(-1.5 * v); },
                    {-1.5},
                    3.0},
        OptimumCase{"scaled_sine",
                    {p(0), x(), op(id::times), op(id::sin)},
                    true,
                    {1.5},
                    0.0,
                    3.0,
                    [](double v) { return 0.7 * std::sin(2.2 * v); },
                    {2.2},
                    0.7},
        OptimumCase{"logistic",
                    {p(0), num(1.0), p(1), x(), p(2), op(id::subtract), op(id::times), op(id::neg),
                     op(id::exp), op(id::plus), op(id::divide)},
                    false,
                    {1.0, 1.0, 0.0},
                    -2.0,
                    3.0,
                    [](double v) { return 2.0 / (1.0 + std::exp(-3.0 * (v - 0.5))); },
                    {2.0, 3.0, 0.5}},
        // Power law through Exp(Log): complex intermediate values on negative inputs are fine.
        OptimumCase{"power",
                    {p(0), x(), op(id::log), op(id::times), op(id::exp)},
                    true,
                    {1.0},
                    0.5,
                    4.0,
                    [](double v) { return 4.0 * std::pow(v, 1.7) - 2.0; },
                    {1.7},
                    4.0,
                    -2.0}),
    [](const auto& info) { return std::string(info.param.name); });

// Rank-deficient and ill-conditioned problems come back finite, with the best SSE reached.
struct DegenerateCase {
    const char* name;
    std::vector<Token> tokens;
    bool affine;
};

class DegenerateJacobian : public testing::TestWithParam<DegenerateCase> {};

TEST_P(DegenerateJacobian, StaysFinite) {
    const DegenerateCase& c = GetParam();
    const Data data = sample(0.1, 2.0, 30, [](double v) { return 1.5 * v + 0.25 * v * v; });
    LeastSquaresFitter fitter(data.rows, data.targets, operators());
    const LeastSquaresFit fit = fitter.fit(form_of(c.tokens), {}, LeastSquaresOptions{c.affine});
    EXPECT_TRUE(std::isfinite(fit.sse));
    EXPECT_TRUE(std::isfinite(fit.scale));
    EXPECT_TRUE(std::isfinite(fit.offset));
    for (const double v : fit.params) EXPECT_TRUE(std::isfinite(v));
}

INSTANTIATE_TEST_SUITE_P(
    Fitter, DegenerateJacobian,
    testing::Values(
        // (p0 + p1)·x: only the sum is determined.
        DegenerateCase{"sum_of_two", {p(0), p(1), op(id::plus), x(), op(id::times)}, false},
        // p0·x + p1 inside an affine map: every direction is absorbed by a and b.
        DegenerateCase{
            "redundant_with_affine", {p(0), x(), op(id::times), p(1), op(id::plus)}, true},
        // A parameter the values do not depend on at all.
        DegenerateCase{"unused",
                       {p(0), p(0), op(id::subtract), p(1), x(), op(id::times), op(id::plus)},
                       false},
        // Two nearly identical exponentials.
        DegenerateCase{"close_exponentials",
                       {p(0), p(1), x(), op(id::times), op(id::exp), op(id::times), p(2), p(3), x(),
                        op(id::times), op(id::exp), op(id::times), op(id::plus)},
                       false}),
    [](const auto& info) { return std::string(info.param.name); });

// The fitted formula computes what the fit says: a·f(params) + b on every row.
TEST(FittedExpression, ReproducesTheFit) {
    const Data data = sample(0.0, 2.0, 25, [](double v) { return 3.0 * std::exp(-1.5 * v) + 0.5; });
    LeastSquaresFitter fitter(data.rows, data.targets, operators());
    const Expression form = form_of({p(0), x(), op(id::times), op(id::exp)});
    const LeastSquaresFit fit = fitter.fit(form, std::vector<double>{-1.0});
    const Expression fitted = fitted_expression(form, fit, test::builtins());
    EXPECT_EQ(fitted.complexity, 8u);
    for (std::size_t i = 0; i < data.rows.size(); ++i) {
        const auto value = eval(fitted, data.rows[i], operators());
        ASSERT_TRUE(value.has_value());
        EXPECT_NEAR(value->re, data.targets[i], 1e-12);
    }
    // Without an affine map the form only has its parameters replaced.
    const LeastSquaresFit plain{{2.5}, 1.0, 0.0, 0.0};
    const Expression line =
        fitted_expression(form_of({p(0), x(), op(id::times)}), plain, test::builtins());
    ASSERT_EQ(line.tokens.size(), 3u);
    EXPECT_EQ(line.tokens[0].kind, TokenKind::Real);
    EXPECT_EQ(line.tokens[0].value.re, 2.5);
}

// The fitter's column-wise evaluation agrees with eval_with_params, complex intermediate values
// (logarithms and roots of negative numbers, Kov, the arc functions off [-1, 1]) included.
TEST(LeastSquaresFitter, ErrorAgreesWithTheEvaluator) {
    const Data data = sample(-2.5, 2.5, 20, [](double v) { return std::cos(v); });
    const std::vector<std::vector<Token>> forms{
        {p(0), x(), op(id::times), op(id::log), op(id::sqrt)},
        {x(), p(0), op(id::kov), p(1), op(id::plus), op(id::arcsin)},
        {p(0), x(), op(id::subtract), op(id::arccos), x(), op(id::tan), op(id::times)},
        {x(), p(1), op(id::divide), op(id::arctan), p(0), op(id::inv), op(id::times)},
        {x(), op(id::neg), op(id::exp), p(0), op(id::sin), op(id::cos), op(id::times)}};
    const std::vector<double> params{0.7, -1.3};
    LeastSquaresFitter fitter(data.rows, data.targets, operators());
    for (std::size_t f = 0; f < forms.size(); ++f) {
        const Expression form = form_of(forms[f]);
        const LeastSquaresFit fit = fitter.fit(form, params, LeastSquaresOptions{false, 0, 1});
        const std::vector<Complex> complex_params{{0.7, 0.0}, {-1.3, 0.0}};
        double sse = 0.0;
        for (std::size_t i = 0; i < data.rows.size(); ++i) {
            const auto value = eval_with_params(form, data.rows[i], complex_params, operators());
            ASSERT_TRUE(value.has_value()) << "form " << f << " row " << i;
            sse += (value->re - data.targets[i]) * (value->re - data.targets[i]);
        }
        EXPECT_EQ(fit.sse, sse) << "form " << f;
    }
}

TEST(LeastSquaresFitter, UnevaluableFormIsInvalid) {
    const Data data = sample(1.0, 2.0, 10, [](double v) { return v; });
    LeastSquaresFitter fitter(data.rows, data.targets, operators());
    // p0 / (x − x): the divisor is zero on every row.
    const LeastSquaresFit fit = fitter.fit(
        form_of({p(0), x(), x(), op(id::subtract), op(id::divide)}), std::vector<double>{2.0});
    EXPECT_EQ(fit.sse, test::inf);
    EXPECT_EQ(fit.params, std::vector<double>{2.0});
}

// Integers (constant recognition's exact numbers) are fixed numbers, never parameters.
TEST(LeastSquaresFitter, IntegerTokensAreFixedNumbers) {
    const Data data = sample(1.0, 2.0, 10, [](double v) { return 3.0 * v + 2.0; });
    LeastSquaresFitter fitter(data.rows, data.targets, operators());
    const LeastSquaresFit fit =
        fitter.fit(form_of({p(0), x(), op(id::times), Token::integer(2), op(id::plus)}),
                   std::vector<double>{1.0}, LeastSquaresOptions{false});
    EXPECT_NEAR(fit.params[0], 3.0, 1e-12);
    EXPECT_LT(fit.sse, 1e-20);
}

TEST(LeastSquaresFitter, SubsetOfRowsFitsOnlyThoseRows) {
    Data data = sample(0.0, 1.0, 20, [](double v) { return 2.0 * v; });
    for (std::size_t i = 10; i < 20; ++i) data.targets[i] = 100.0;  // rows left out
    LeastSquaresFitter fitter(data.rows, data.targets, operators());
    const std::vector<std::uint32_t> first_half{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const LeastSquaresFit fit =
        fitter.fit(form_of({p(0), x(), op(id::times)}), std::vector<double>{1.0},
                   LeastSquaresOptions{false}, first_half);
    EXPECT_NEAR(fit.params[0], 2.0, 1e-12);
    EXPECT_LT(fit.sse, 1e-20);
}

// Each operator's derivative rule against central differences along the real axis (every
// built-in is holomorphic there, so this is its complex derivative), at points away from poles
// and cuts. This test fails first when an operator is added without its rule.
TEST(DerivativeRules, MatchFiniteDifferences) {
    const std::vector<Complex> points{{0.3, 0.2}, {0.7, -0.4}, {1.3, 0.5}, {-0.6, 0.3}};
    const double h = 1e-6;
    for (std::size_t op_id = 0; op_id < id::count; ++op_id) {
        const std::size_t arity = operators()[op_id]->arity();
        for (const Complex a : points) {
            for (const Complex b : points) {
                const Complex value = *eval_builtin(op_id, a, b);
                const Partials partials = derivative_rules[op_id].at(a, b, value);
                for (std::size_t operand = 0; operand < 2; ++operand) {
                    Complex expected{};
                    if (operand < arity) {
                        Complex a_up = a, a_down = a, b_up = b, b_down = b;
                        (operand == 0 ? a_up : b_up).re += h;
                        (operand == 0 ? a_down : b_down).re -= h;
                        const Complex up = *eval_builtin(op_id, a_up, b_up);
                        const Complex down = *eval_builtin(op_id, a_down, b_down);
                        expected = {(up.re - down.re) / (2 * h), (up.im - down.im) / (2 * h)};
                    }
                    const Complex got = operand == 0 ? partials.first : partials.second;
                    EXPECT_NEAR(got.re, expected.re, 1e-6 * (1 + std::fabs(expected.re)))
                        << operators()[op_id]->name() << " operand " << operand;
                    EXPECT_NEAR(got.im, expected.im, 1e-6 * (1 + std::fabs(expected.im)))
                        << operators()[op_id]->name() << " operand " << operand;
                }
            }
        }
    }
}

// The fitter's shortcut for real operands must be the operators themselves, bit for bit, signed
// zeros, poles and non-finite values included.
TEST(RealAxisEval, AgreesBitForBitWithTheOperators) {
    const std::vector<double> reals{0.0,
                                    -0.0,
                                    1.0,
                                    -1.0,
                                    0.5,
                                    -2.5,
                                    1e-300,
                                    700.0,
                                    710.0,
                                    -745.5,
                                    1.5707963267948966,
                                    3.141592653589793,
                                    1e300,
                                    test::inf,
                                    -test::inf,
                                    test::nan};
    for (std::size_t op_id = 0; op_id < id::count; ++op_id) {
        for (const double a : reals) {
            for (const double a_im : {0.0, -0.0, 0.25}) {
                for (const double b : reals) {
                    for (const double b_im : {0.0, -0.0}) {
                        const Complex za{a, a_im};
                        const Complex zb{b, b_im};
                        const auto expected = eval_builtin(op_id, za, zb);
                        const auto got = eval_builtin_on_real_axis(op_id, za, zb);
                        ASSERT_EQ(expected.has_value(), got.has_value())
                            << operators()[op_id]->name() << " at " << a << ", " << b;
                        if (!expected) continue;
                        EXPECT_TRUE(test::same_double(expected->re, got->re) &&
                                    test::same_double(expected->im, got->im))
                            << operators()[op_id]->name() << " at (" << a << ", " << a_im << "), ("
                            << b << ", " << b_im << ")";
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace kov
