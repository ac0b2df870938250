// Sums of several building blocks: the forward selection, the extended-precision fit and the
// written form.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "engine/levels/pool.hpp"
#include "engine/thorough/thorough_front.hpp"
#include "engine/thorough/thorough_terms.hpp"
#include "ops/builtin_ids.hpp"
#include "test_support.hpp"

namespace kov {
namespace {

Expression var(std::uint8_t i) {
    return Expression::variable_leaf(i);
}

Expression apply(std::size_t op, const Expression& a) {
    return Expression::unary(test::builtins(), op, a);
}

Expression apply(std::size_t op, const Expression& a, const Expression& b) {
    return Expression::binary(test::builtins(), op, a, b);
}

// The products of two variables and a few single functions, as the search would hand them over.
std::vector<Expression> dictionary() {
    std::vector<Expression> out = monomials(2, 84);
    const Expression x = var(0);
    const Expression y = var(1);
    for (std::size_t op : {builtin_id::sin, builtin_id::cos, builtin_id::exp, builtin_id::arctan}) {
        out.push_back(apply(op, x));
        out.push_back(apply(op, y));
    }
    out.push_back(apply(builtin_id::sin, apply(builtin_id::times, x, x)));
    out.push_back(
        apply(builtin_id::divide, x, apply(builtin_id::plus, y, Expression::integer_leaf(2))));
    return out;
}

struct Problem {
    ComplexRows rows;
    std::vector<double> targets;
    std::vector<std::vector<double>> values;  // of each block on the rows
    std::vector<PairBlock> blocks;
    std::vector<const PairBlock*> candidates;
    std::vector<const Expression*> expressions;
};

void build(Problem& p, const std::vector<Expression>& terms,
           const std::function<double(double, double)>& truth) {
    for (int i = 0; i < 40; ++i) {
        const double x = -1.0 + 2.0 * std::fmod(0.618034 * i + 0.1, 1.0);
        const double y = -1.0 + 2.0 * std::fmod(0.414214 * i + 0.3, 1.0);
        p.rows.push_back({Complex{x, 0.0}, Complex{y, 0.0}});
        p.targets.push_back(truth(x, y));
    }
    const std::vector<double> unit_target = unit_vector(p.targets);
    std::vector<Complex> stack;
    p.blocks.resize(terms.size());
    for (std::size_t b = 0; b < terms.size(); ++b) {
        std::vector<double>& values = p.values.emplace_back();
        ASSERT_TRUE(real_values(terms[b], p.rows, test::builtins().operators(), values, stack));
        ASSERT_TRUE(make_pair_block(values, unit_target, p.blocks[b])) << terms[b].formula;
        p.blocks[b].complexity = static_cast<std::uint32_t>(terms[b].complexity);
    }
    for (std::size_t b = 0; b < terms.size(); ++b) {
        p.candidates.push_back(&p.blocks[b]);
        p.expressions.push_back(&terms[b]);
    }
}

struct SumCase {
    const char* name;
    std::function<double(double, double)> truth;
    std::size_t terms;
    std::size_t complexity;  // of the exact form with the fewest tokens
};

class SumRecovery : public ::testing::TestWithParam<SumCase> {};

TEST_P(SumRecovery, FindsTheSumExactlyWithTheFewestTokens) {
    const SumCase& c = GetParam();
    const std::vector<Expression> terms = dictionary();
    Problem p;
    build(p, terms, c.truth);
    const std::vector<double> unit_target = unit_vector(p.targets);
    const auto sums = best_sums(p.candidates, unit_target, TermSearchOptions{}, {});
    ASSERT_TRUE(sums);
    const auto exact = std::find_if(sums->begin(), sums->end(),
                                    [](const TermSum& s) { return s.unexplained <= 1e-12; });
    ASSERT_NE(exact, sums->end());
    EXPECT_EQ(exact->blocks.size(), c.terms);
    const auto offers = confirm_sums(std::span(&*exact, 1), p.expressions, p.rows, p.targets,
                                     test::builtins().operators(), {});
    ASSERT_TRUE(offers);
    // The shortest exact form: ±1 written as Plus, Subtract or Neg, no offset of 0.
    const ScoredExpression* shortest = nullptr;
    for (const ScoredExpression& offer : *offers) {
        if (offer.error <= 1e-13 &&
            (!shortest || offer.expression.complexity < shortest->expression.complexity)) {
            shortest = &offer;
        }
    }
    ASSERT_NE(shortest, nullptr);
    std::vector<double> values;
    std::vector<Complex> stack;
    ASSERT_TRUE(
        real_values(shortest->expression, p.rows, test::builtins().operators(), values, stack));
    EXPECT_LE(rms_error(values, p.targets), 1e-13) << shortest->expression.formula;
    EXPECT_LE(shortest->error, 1e-13) << shortest->expression.formula;
    EXPECT_EQ(shortest->expression.complexity, c.complexity) << shortest->expression.formula;
    EXPECT_EQ(shortest->expression.tokens.size(), shortest->expression.complexity);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SumRecovery,
    ::testing::Values(
        // One variable's powers are written nested: x·(1 + x·(1 + x·(1 + x))).
        SumCase{"quartic", [](double x, double) { return x * x * x * x + x * x * x + x * x + x; },
                4, 13},
        SumCase{"polynomial_with_gap",
                [](double x, double) { return 4 * x * x * x * x + 3 * x * x * x - x + 2; }, 3, 15},
        SumCase{"two_variables",
                [](double x, double y) { return x * x * x * x - x * x * x + y * y / 2 - y; }, 4,
                21},
        SumCase{"scaled_cubes",
                [](double x, double y) { return x * x * x / 5 + y * y * y / 2 - y - x; }, 4, 19},
        SumCase{"functions_and_offset",
                [](double x, double y) { return std::sin(x) + x * x + std::cos(y) + 3.0; }, 3, 11},
        SumCase{"all_negated", [](double x, double y) { return -x - y * y - x * y; }, 3, 10},
        SumCase{"five_terms",
                [](double x, double y) {
                    return x * x * x * x + y * y * y - x * y + y * y + 3.0 * std::exp(x);
                },
                5, 26}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SumSelection, CollinearBlocksGiveNoNaN) {
    const Expression x = var(0);
    const Expression two_x_plus_one =
        apply(builtin_id::plus, apply(builtin_id::times, Expression::integer_leaf(2), x),
              Expression::integer_leaf(1));
    const Expression square = apply(builtin_id::times, x, x);
    const Expression cube = apply(builtin_id::times, square, x);
    const std::vector<Expression> terms{
        x, two_x_plus_one, apply(builtin_id::neg, x), square, apply(builtin_id::neg, square), cube};
    Problem p;
    build(p, terms, [](double x, double) { return x + x * x + x * x * x; });
    const auto sums = best_sums(p.candidates, unit_vector(p.targets), TermSearchOptions{}, {});
    ASSERT_TRUE(sums);
    for (const TermSum& sum : *sums) {
        EXPECT_TRUE(std::isfinite(sum.unexplained));
        EXPECT_EQ(sum.blocks.size(), 3u);  // no fourth block lies outside the span
    }
    ASSERT_FALSE(sums->empty());
    EXPECT_LE(sums->front().unexplained, 1e-12);
    // Fitting collinear columns fails cleanly; the sum variants of them are empty.
    const std::vector<std::vector<double>> collinear{p.values[0], p.values[1], p.values[3]};
    EXPECT_FALSE(fit_terms(collinear, p.targets, true));
    const std::vector<Expression> collinear_terms{terms[0], terms[1], terms[3]};
    EXPECT_TRUE(sum_variants(collinear_terms, collinear, p.targets).empty());
    // Without an offset x and 2x + 1 are independent: the fit needs x alone besides x² and x³.
    const auto fitted = fit_terms(std::vector{p.values[0], p.values[1], p.values[3], p.values[5]},
                                  p.targets, false);
    ASSERT_TRUE(fitted);
    const std::vector<double> expected{1.0, 0.0, 1.0, 1.0};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR((*fitted)[i], expected[i], 1e-12);
}

// With noise, the dictionary's best extra block of a true three-block sum only fits the noise:
// no sum comes back with such a block, while the true sum does.
TEST(SumSelection, BlocksThatOnlyFitTheNoiseAreLeftOut) {
    const std::vector<Expression> terms = dictionary();
    Problem p;
    int row = 0;
    build(p, terms, [&row](double x, double y) {
        const double noise = 0.02 * std::sin(12345.678 * ++row);  // deterministic, patternless
        return x * x * x + std::sin(y) + x * y + noise;
    });
    const auto sums = best_sums(p.candidates, unit_vector(p.targets), TermSearchOptions{}, {});
    ASSERT_TRUE(sums);
    ASSERT_FALSE(sums->empty());
    for (const TermSum& sum : *sums) EXPECT_EQ(sum.blocks.size(), 3u);
}

TEST(SumSelection, SameSumsForEveryThreadCount) {
    const std::vector<Expression> terms = dictionary();
    Problem p;
    build(p, terms, [](double x, double y) { return std::sin(3 * x) * y + 0.01 * x; });
    std::vector<std::vector<TermSum>> runs;
    for (std::size_t threads : {1u, 3u}) {
        set_worker_count(threads);
        runs.push_back(*best_sums(p.candidates, unit_vector(p.targets), TermSearchOptions{}, {}));
    }
    set_worker_count(0);
    ASSERT_EQ(runs[0].size(), runs[1].size());
    for (std::size_t i = 0; i < runs[0].size(); ++i) {
        EXPECT_EQ(runs[0][i].blocks, runs[1][i].blocks);
        EXPECT_EQ(runs[0][i].unexplained, runs[1][i].unexplained);
    }
}

struct FormCase {
    const char* name;
    std::vector<double> coefficients;
    double offset;
    std::size_t complexity;
    std::size_t last_op;
};

class SumFormTest : public ::testing::TestWithParam<FormCase> {};

TEST_P(SumFormTest, WritesOnlyTheNumbersNeeded) {
    const FormCase& c = GetParam();
    const std::vector<Expression> terms{var(0), var(1), var(2)};
    const Expression form = sum_form(terms, c.coefficients, c.offset);
    EXPECT_EQ(form.complexity, c.complexity) << form.formula;
    EXPECT_EQ(form.tokens.size(), form.complexity);
    EXPECT_EQ(form.tokens.back().id, c.last_op) << form.formula;
    EXPECT_EQ(form.var_count, 3);
    const std::vector<Complex> at{{2.0, 0.0}, {5.0, 0.0}, {-3.0, 0.0}};
    const std::optional<Complex> value = eval(form, at, test::builtins().operators());
    ASSERT_TRUE(value);
    const double expected =
        c.coefficients[0] * 2.0 + c.coefficients[1] * 5.0 - c.coefficients[2] * 3.0 + c.offset;
    EXPECT_DOUBLE_EQ(value->re, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SumFormTest,
    ::testing::Values(FormCase{"sum", {1.0, 1.0, 1.0}, 0.0, 5, builtin_id::plus},
                      FormCase{"differences", {1.0, -1.0, -1.0}, 0.0, 5, builtin_id::subtract},
                      FormCase{
                          "negated_lead_moves_back", {-1.0, 1.0, 1.0}, 0.0, 5, builtin_id::plus},
                      FormCase{"all_negated", {-1.0, -1.0, -1.0}, 0.0, 6, builtin_id::subtract},
                      FormCase{"numbers_and_offset", {2.5, -0.5, 1.0}, 1.25, 11, builtin_id::plus}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kov
