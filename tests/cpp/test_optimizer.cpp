#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bits.hpp"
#include "core/expression.hpp"
#include "engine/fit/fitter_columns.hpp"
#include "engine/fit/fitter_form.hpp"
#include "engine/fit/optimizer.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/registry.hpp"
#include "test_support.hpp"

namespace kov {
namespace {

using test::builtins;
using test::inf;
using test::nan;

const OperatorList& operators() {
    return builtins().operators();
}

Expression leaf(std::size_t constant_id) {
    return Expression::constant_leaf(builtins(), constant_id);
}

Expression var(std::uint8_t index) {
    return Expression::variable_leaf(index);
}

Expression unary(std::size_t id, const Expression& a) {
    return Expression::unary(builtins(), id, a);
}

Expression binary(std::size_t id, const Expression& a, const Expression& b) {
    return Expression::binary(builtins(), id, a, b);
}

Expression from_tokens(std::vector<Token> tokens) {
    Expression expression;
    expression.complexity = tokens.size();
    expression.tokens = std::move(tokens);
    return expression;
}

// One-variable rows (x, +0.0).
ComplexRows rows_of(const std::vector<double>& xs) {
    ComplexRows rows;
    for (const double x : xs) rows.push_back({Complex{x, 0.0}});
    return rows;
}

bool same_token(const Token& a, const Token& b) {
    return a.kind == b.kind && a.arity == b.arity && a.index == b.index && a.id == b.id &&
           test::identical_complex(a.value, b.value);
}

::testing::AssertionResult same_expression(const Expression& actual, const Expression& expected) {
    if (actual.formula != expected.formula) {
        return ::testing::AssertionFailure()
               << "formula " << actual.formula << " vs " << expected.formula;
    }
    if (actual.complexity != expected.complexity || actual.var_count != expected.var_count ||
        actual.tokens.size() != expected.tokens.size()) {
        return ::testing::AssertionFailure() << "shape differs for " << expected.formula;
    }
    for (std::size_t i = 0; i < actual.tokens.size(); ++i) {
        if (!same_token(actual.tokens[i], expected.tokens[i])) {
            return ::testing::AssertionFailure()
                   << "token " << i << " of " << expected.formula << ": "
                   << test::describe(actual.tokens[i].value) << " vs "
                   << test::describe(expected.tokens[i].value);
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_scored(const ScoredExpression& actual,
                                       const ScoredExpression& expected) {
    if (!test::identical_double(actual.error, expected.error)) {
        return ::testing::AssertionFailure()
               << "error " << test::describe(Complex{actual.error, 0.0}) << " vs "
               << test::describe(Complex{expected.error, 0.0}) << " for "
               << expected.expression.formula;
    }
    return same_expression(actual.expression, expected.expression);
}

std::size_t count_kind(const Expression& expression, TokenKind kind) {
    std::size_t count = 0;
    for (const Token& token : expression.tokens) count += token.kind == kind ? 1 : 0;
    return count;
}

// ---- Error measures --------------------------------------------------------------------------

struct RawErrorCase {
    const char* name;
    ComplexRows rows;
    std::vector<double> targets;
    double expected;
};

// The bare variable returns its value untested, so these exercise the measure's own bound.
TEST(OptimizerRawError, DivergenceBoundAndRealParts) {
    const RawErrorCase cases[] = {
        {"exact", {{{1, 0}}, {{2, 0}}}, {1, 2}, 0.0},
        {"rms", {{{1, 0}}, {{3, 0}}}, {0, 0}, std::sqrt(5.0)},
        {"real part 1e15", {{{1, 0}}, {{1e15, 0}}}, {1, 1}, inf},
        {"real part -1e15", {{{-1e15, 0}}}, {0}, inf},
        {"just below the bound", {{{9.999999999999999e14, 0}}}, {9.999999999999999e14}, 0.0},
        {"imaginary part 1e15", {{{1, 0}}, {{1, 1e15}}}, {1, 1}, inf},
        {"large imaginary parts ignored", {{{1, 9e14}}, {{2, -9e14}}}, {1, 2}, 0.0},
        {"NaN value", {{{nan, 0}}}, {0}, inf},
        {"infinite imaginary part", {{{0, inf}}}, {0}, inf},
        {"fewer targets than rows", {{{1, 0}}, {{5, 0}}}, {0}, 1.0},
        {"unpaired row still checked", {{{1, 0}}, {{1e15, 0}}}, {1}, inf},
        {"variable missing on a row", {{{1, 0}}, {}}, {1, 1}, inf},
    };
    for (const RawErrorCase& c : cases) {
        EXPECT_TRUE(test::identical_double(
            compute_raw_error(var(0), c.rows, c.targets, operators()), c.expected))
            << c.name;
    }
}

TEST(OptimizerRawError, ImaginaryPartsBelowBoundAreIgnored) {
    // x + i e^30: the imaginary part is about 1.07e13 on every row.
    const Expression e = binary(builtin_id::plus, var(0),
                                binary(builtin_id::times, leaf(builtin_id::imaginary_unit),
                                       unary(builtin_id::exp, var(1))));
    const ComplexRows rows = {{{0.5, 0}, {30, 0}}, {{-2, 0}, {30, 0}}};
    EXPECT_TRUE(test::identical_double(
        compute_raw_error(e, rows, std::vector<double>{0.5, -2.0}, operators()), 0.0));
}

TEST(OptimizerErrorWithParams, ParametersAndFailures) {
    const Expression form =
        from_tokens({Token::var(0), Token::param(0, {2, 0}), Token::op(2, builtin_id::divide)});
    const ComplexRows rows = rows_of({1, 3});
    const std::vector<double> targets = {0, 1};
    // (1/4)^2 + (3/4 - 1)^2 = 1/8
    EXPECT_TRUE(test::identical_double(
        compute_error_with_params(form, std::vector<double>{4.0}, rows, targets, operators()),
        std::sqrt(0.125 / 2.0)));
    // Dividing by the parameter 0 declines on every row.
    EXPECT_EQ(compute_error_with_params(form, std::vector<double>{0.0}, rows, targets, operators()),
              inf);
    // Without parameter values the token's own value 2 is used: (1/2)^2 + (1/2)^2.
    EXPECT_TRUE(test::identical_double(
        compute_error_with_params(form, {}, rows, targets, operators()), std::sqrt(0.5 / 2.0)));
    // No divergence bound here: a bare parameter passes NaN through.
    const Expression bare = from_tokens({Token::param(0, {0, 0})});
    EXPECT_TRUE(std::isnan(
        compute_error_with_params(bare, std::vector<double>{nan}, rows, targets, operators())));
}

// ---- Candidate scoring -----------------------------------------------------------------------

enum class Outcome { Rejected, KeptAsGenerated, Fitted };

struct ScoringCase {
    const char* name;
    Expression candidate;
    std::vector<double> xs;
    std::vector<double> targets;
    bool fit_constants;
    Outcome outcome;
    double error;  // checked for KeptAsGenerated; for Fitted an upper bound
};

// Root-mean-square error of one-variable predictions, written out as the measure defines it.
double rms(const std::vector<double>& predictions, const std::vector<double>& targets) {
    double sum = 0.0;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const double d = predictions[i] - targets[i];
        sum += d * d;
    }
    return std::sqrt(sum / static_cast<double>(targets.size()));
}

TEST(OptimizerScoring, WhenToFitAndWhenToReject) {
    constexpr double pi = 3.141592653589793;
    constexpr double e = 2.718281828459045;
    const Expression two = binary(builtin_id::plus, leaf(builtin_id::one), leaf(builtin_id::one));
    const Expression x_plus_e = binary(builtin_id::plus, var(0), leaf(builtin_id::e));
    const Expression pi_x = binary(builtin_id::times, leaf(builtin_id::pi), var(0));
    const Expression inverse = binary(builtin_id::divide, leaf(builtin_id::one), var(0));
    const ScoringCase cases[] = {
        {"exact fit is left alone",
         pi_x,
         {0.5, 1, 2},
         {pi * 0.5, pi, pi * 2},
         true,
         Outcome::KeptAsGenerated,
         0.0},
        {"raw error exactly 2 is not fitted", two, {0}, {0}, true, Outcome::KeptAsGenerated, 2.0},
        {"raw error below 2 is fitted", x_plus_e, {0.5}, {1.5}, true, Outcome::Fitted, 1e-9},
        {"fitting switched off",
         x_plus_e,
         {0.5},
         {1.5},
         false,
         Outcome::KeptAsGenerated,
         rms({0.5 + e}, {1.5})},
        {"no constants: nothing to fit",
         unary(builtin_id::exp, var(0)),
         {0, 1},
         {1, 2},
         true,
         Outcome::KeptAsGenerated,
         rms({1, e}, {1, 2})},
        {"infinite raw error is rejected", inverse, {1, 0}, {1, 1}, true, Outcome::Rejected, 0},
        {"a part >= 1e15 on one row rejects",
         unary(builtin_id::exp, var(0)),
         {0, 35},
         {1, 1},
         true,
         Outcome::Rejected,
         0},
    };
    for (const ScoringCase& c : cases) {
        SearchConfig config;
        config.fit_constants = c.fit_constants;
        const std::optional<ScoredExpression> scored =
            score_candidate(c.candidate, rows_of(c.xs), c.targets, builtins(), config);
        switch (c.outcome) {
            case Outcome::Rejected:
                EXPECT_FALSE(scored.has_value()) << c.name;
                break;
            case Outcome::KeptAsGenerated:
                ASSERT_TRUE(scored.has_value()) << c.name;
                EXPECT_TRUE(same_scored(*scored, {c.candidate, c.error})) << c.name;
                break;
            case Outcome::Fitted:
                ASSERT_TRUE(scored.has_value()) << c.name;
                EXPECT_LT(scored->error, c.error) << c.name;
                EXPECT_EQ(scored->expression.formula, c.candidate.formula) << c.name;
                EXPECT_EQ(count_kind(scored->expression, TokenKind::Const), 0u) << c.name;
                EXPECT_EQ(count_kind(scored->expression, TokenKind::Real),
                          count_kind(c.candidate, TokenKind::Const))
                    << c.name;
                break;
        }
    }
}

// ---- Constant fitting ------------------------------------------------------------------------

TEST(OptimizerFitting, ImaginaryUnitStartsAtZeroAndBecomesReal) {
    const Expression candidate = binary(builtin_id::plus, var(0), leaf(builtin_id::imaginary_unit));
    const fitting::ParameterForm form = fitting::make_parameter_form(candidate);
    ASSERT_EQ(form.initial.size(), 1u);
    EXPECT_TRUE(test::identical_double(form.initial[0], 0.0));
    EXPECT_EQ(form.positions, std::vector<std::size_t>{1});
    EXPECT_EQ(form.form.tokens[1].kind, TokenKind::Param);

    const ComplexRows rows = rows_of({0.5});
    const std::vector<double> targets = {1.0};
    const double raw = compute_raw_error(candidate, rows, targets, operators());
    EXPECT_TRUE(test::identical_double(raw, 0.5));  // judged on the real part x alone
    const ScoredExpression fitted = fit_constants(candidate, raw, rows, targets, operators());
    EXPECT_LT(fitted.error, 1e-6);
    EXPECT_EQ(fitted.expression.formula, "Plus(v_{0}, I)");
    EXPECT_EQ(fitted.expression.complexity, 3u);
    EXPECT_EQ(fitted.expression.var_count, 1);
    ASSERT_EQ(fitted.expression.tokens[1].kind, TokenKind::Real);
    EXPECT_NEAR(fitted.expression.tokens[1].value.re, 0.5, 1e-6);
    EXPECT_TRUE(test::identical_double(fitted.expression.tokens[1].value.im, 0.0));
}

// The huge divisor absorbs the difference step, so every derivative is zero and every step fails:
// the parameter keeps its start and err stays the starting error of the parameter form.
TEST(OptimizerFitting, AllStepsFailing) {
    const Expression candidate =
        from_tokens({Token::var(0), Token::constant(builtin_id::e, {1e20, 0}),
                     Token::op(2, builtin_id::divide)});
    const ComplexRows rows = rows_of({1, 2, 3});
    const std::vector<double> targets = {0.5, -0.25, 1};
    const double start =
        compute_error_with_params(fitting::make_parameter_form(candidate).form,
                                  std::vector<double>{1e20}, rows, targets, operators());
    ConstantFitter fitter(rows, targets, operators());
    for (const double raw : {std::nextafter(start, inf), start}) {
        const ScoredExpression literal = fit_constants(candidate, raw, rows, targets, operators());
        EXPECT_TRUE(same_scored(fitter.fit(candidate, raw), literal));
        if (raw > start) {
            EXPECT_TRUE(test::identical_double(literal.error, start));
            ASSERT_EQ(literal.expression.tokens[1].kind, TokenKind::Real);
            EXPECT_TRUE(test::identical_double(literal.expression.tokens[1].value.re, 1e20));
        } else {
            EXPECT_TRUE(same_scored(literal, {candidate, raw}));  // equal errors keep the original
        }
    }
}

Expression sum_of_ones(std::size_t count) {
    Expression sum = leaf(builtin_id::one);
    for (std::size_t i = 1; i < count; ++i)
        sum = binary(builtin_id::plus, sum, leaf(builtin_id::one));
    return sum;
}

TEST(OptimizerFitting, MoreThan256ConstantsAreNotFitted) {
    const ComplexRows rows = rows_of({0});
    const std::vector<double> targets = {200};
    ConstantFitter fitter(rows, targets, operators());
    for (const std::size_t count : {256u, 257u}) {
        const Expression candidate = sum_of_ones(count);
        const double raw = compute_raw_error(candidate, rows, targets, operators());
        const ScoredExpression literal = fit_constants(candidate, raw, rows, targets, operators());
        EXPECT_TRUE(same_scored(fitter.fit(candidate, raw), literal)) << count;
        if (count == 256) {
            EXPECT_LT(literal.error, raw);
        } else {
            EXPECT_TRUE(same_scored(literal, {candidate, raw}));
        }
    }
}

// Token sequences the composition rules never build: the fitter must still agree with the loop.
TEST(OptimizerFitting, UnusualTokenSequencesAgree) {
    const std::vector<Expression> sequences = {
        from_tokens({Token::constant(builtin_id::one, {1, 0}), Token::op(2, builtin_id::plus)}),
        from_tokens({Token::constant(builtin_id::one, {1, 0}), Token::var(0)}),
        from_tokens({Token::constant(builtin_id::pi, {3.141592653589793, 0})}),
        // An existing Param token reads parameter 0 (the Const), the Real token its own value.
        from_tokens({Token::constant(builtin_id::e, {2.718281828459045, 0}),
                     Token::param(0, {7, 0}), Token::op(2, builtin_id::times), Token::real(-0.5),
                     Token::op(2, builtin_id::plus)}),
        // A Param token beyond the parameters keeps its own complex value.
        from_tokens({Token::constant(builtin_id::one, {1, 0}), Token::param(5, {0.5, 2}),
                     Token::op(2, builtin_id::times), Token::var(0),
                     Token::op(2, builtin_id::subtract)}),
        // Operator tokens whose arity exceeds the operator's: extra operands are still evaluated.
        from_tokens({Token::var(0), Token::op(1, builtin_id::pi), Token::constant(1, {1, 0}),
                     Token::var(1), Token::op(2, builtin_id::sin), Token::op(2, builtin_id::plus)}),
        // On the last row the derivative probe E + 1e-6 - x is exactly 0 and Inv declines, while
        // the base value is fine: that probe counts as 0.0.
        unary(builtin_id::inv, binary(builtin_id::subtract, leaf(builtin_id::e), var(0))),
    };
    const ComplexRows rows = {
        {{0.5, 0}, {1, 0}}, {{1.5, 0}}, {{-2, 0}, {0, 0}}, {{2.718281828459045 + 1e-6, 0}, {1, 0}}};
    const std::vector<double> targets = {1, 2, 3, 4};
    ConstantFitter fitter(rows, targets, operators());
    for (const Expression& candidate : sequences) {
        for (const double raw : {compute_raw_error(candidate, rows, targets, operators()), inf}) {
            EXPECT_TRUE(same_scored(fitter.fit(candidate, raw),
                                    fit_constants(candidate, raw, rows, targets, operators())))
                << "sequence " << &candidate - sequences.data();
        }
    }
    // Without rows nothing can be fitted.
    const ComplexRows no_rows;
    const std::vector<double> no_targets;
    ConstantFitter empty(no_rows, no_targets, operators());
    EXPECT_TRUE(same_scored(empty.fit(sequences[2], 1.0),
                            fit_constants(sequences[2], 1.0, no_rows, no_targets, operators())));
}

// ---- The fast fitter against the literal loop ------------------------------------------------

class RandomExpressions {
public:
    RandomExpressions(std::uint64_t seed, std::uint8_t variables)
        : random_(seed), variables_(variables) {}

    Expression make(std::size_t complexity) {
        if (complexity == 1) return make_leaf();
        const std::vector<std::size_t> unary_ids = builtins().ids_by_arity(1);
        const std::vector<std::size_t> binary_ids = builtins().ids_by_arity(2);
        if (complexity == 2 || chance(0.4)) {
            return unary(pick(unary_ids), make(complexity - 1));
        }
        const std::size_t left = 1 + below(complexity - 2);
        return binary(pick(binary_ids), make(left), make(complexity - 1 - left));
    }

    double uniform(double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random_);
    }
    bool chance(double p) { return std::bernoulli_distribution(p)(random_); }
    std::size_t below(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
    }
    template <class T>
    T pick(const std::vector<T>& items) {
        return items[below(items.size())];
    }

private:
    Expression make_leaf() {
        if (chance(0.55)) return leaf(below(5));
        return var(static_cast<std::uint8_t>(below(variables_)));
    }

    std::mt19937_64 random_;
    std::uint8_t variables_;
};

struct DifferentialStats {
    std::size_t fits = 0;
    std::size_t improved = 0;
};

void compare_on(RandomExpressions& random, const ComplexRows& rows,
                const std::vector<double>& targets, std::size_t expressions,
                DifferentialStats& stats) {
    ConstantFitter fitter(rows, targets, operators());
    for (std::size_t i = 0; i < expressions; ++i) {
        Expression candidate = random.make(2 + random.below(10));
        // Now and then a candidate with fitted numbers among its constants, as a refit would see.
        if (random.chance(0.1)) {
            for (Token& token : candidate.tokens) {
                if (token.kind == TokenKind::Const && random.chance(0.3)) {
                    token = Token::real(random.uniform(-2, 2));
                }
            }
        }
        if (count_kind(candidate, TokenKind::Const) == 0) continue;
        const double raw = compute_raw_error(candidate, rows, targets, operators());
        // The actual raw error, and infinity so that every finite fit result is kept and its
        // parameters are compared too.
        for (const double given : {raw, inf}) {
            const ScoredExpression literal =
                fit_constants(candidate, given, rows, targets, operators());
            const ScoredExpression fast = fitter.fit(candidate, given);
            ++stats.fits;
            if (count_kind(literal.expression, TokenKind::Real) > 0 && given == raw) {
                ++stats.improved;
            }
            ASSERT_TRUE(same_scored(fast, literal)) << "expression " << i;
        }
    }
}

// Row sets: one row, fewer than a trial chunk, several chunks; values that make operators decline
// (0, 1, -1) on some rows; rows that lack a variable.
TEST(OptimizerConstantFitter, MatchesLiteralLoopBitForBit) {
    DifferentialStats stats;
    const std::size_t row_counts[] = {1, 3, 9, 40, 130};
    std::uint64_t seed = 1;
    for (const std::size_t n : row_counts) {
        for (std::uint8_t variables = 1; variables <= 3; ++variables) {
            RandomExpressions random(seed++, variables);
            ComplexRows rows(n);
            std::vector<double> targets(n);
            const bool ragged = variables > 1 && n > 1;
            for (std::size_t j = 0; j < n; ++j) {
                const std::size_t length = ragged && j % 4 == 1 ? variables - 1 : variables;
                for (std::size_t v = 0; v < length; ++v) {
                    const double special[] = {0.0, 1.0, -1.0, 0.5};
                    const double x = random.chance(0.1)
                                         ? random.pick(std::vector<double>(std::begin(special),
                                                                           std::end(special)))
                                         : random.uniform(-3, 5);
                    rows[j].push_back(Complex{x, 0.0});
                }
                const double x0 = rows[j].empty() ? 0.0 : rows[j][0].re;
                // Half the sets follow a smooth law so that fits can get close; the rest are noise.
                targets[j] = seed % 2 == 0 ? 0.7 * std::sin(x0) + 0.3 : random.uniform(-2, 2);
            }
            const std::size_t expressions = n >= 100 ? 60 : 150;
            compare_on(random, rows, targets, expressions, stats);
            if (HasFatalFailure()) return;
        }
    }
    // The comparison only means something if many fits actually moved their constants.
    EXPECT_GT(stats.improved, stats.fits / 20) << stats.improved << " of " << stats.fits;
}

}  // namespace
}  // namespace kov
