#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "bits.hpp"
#include "core/expression.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/registry.hpp"
#include "test_support.hpp"

namespace kov {
namespace {

using test::builtins;
using test::inf;
using test::nan;

bool same_token(const Token& a, const Token& b) {
    return a.kind == b.kind && a.arity == b.arity && a.index == b.index && a.id == b.id &&
           test::identical_complex(a.value, b.value);
}

Expression from_tokens(std::vector<Token> tokens) {
    Expression expression;
    expression.complexity = tokens.size();
    expression.tokens = std::move(tokens);
    return expression;
}

// ---- Composition -----------------------------------------------------------------------------

TEST(ExpressionComposition, PlusOfVariableAndPi) {
    const OperatorRegistry& registry = builtins();
    const Expression sum =
        Expression::binary(registry, builtin_id::plus, Expression::variable_leaf(0),
                           Expression::constant_leaf(registry, builtin_id::pi));
    const std::vector<Token> expected = {Token::var(0),
                                         Token::constant(builtin_id::pi, {3.141592653589793, 0}),
                                         Token::op(2, builtin_id::plus)};
    ASSERT_EQ(sum.tokens.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(same_token(sum.tokens[i], expected[i])) << "token " << i;
    }
    EXPECT_EQ(sum.formula, "Plus(v_{0}, Pi)");
    EXPECT_EQ(sum.complexity, 3u);
    EXPECT_EQ(sum.var_count, 1);
}

TEST(ExpressionComposition, TextsComplexityAndVariableCount) {
    const OperatorRegistry& registry = builtins();
    const Expression v0 = Expression::variable_leaf(0);
    const Expression v12 = Expression::variable_leaf(12);
    const Expression one = Expression::constant_leaf(registry, builtin_id::one);
    EXPECT_EQ(v12.formula, "v_{12}");
    EXPECT_EQ(v12.var_count, 13);
    EXPECT_EQ(one.formula, "1");
    EXPECT_EQ(one.var_count, 0);

    const Expression sine = Expression::unary(registry, builtin_id::sin, v12);
    EXPECT_EQ(sine.formula, "Sin(v_{12})");
    EXPECT_EQ(sine.complexity, 2u);
    EXPECT_EQ(sine.var_count, 13);

    const Expression kov = Expression::binary(registry, builtin_id::kov, sine, one);
    EXPECT_EQ(kov.formula, "KOV(Sin(v_{12}), 1)");
    EXPECT_EQ(kov.complexity, 4u);
    EXPECT_EQ(kov.var_count, 13);
    const Expression reversed = Expression::binary(registry, builtin_id::subtract, v0, kov);
    EXPECT_EQ(reversed.formula, "Subtract(v_{0}, KOV(Sin(v_{12}), 1))");
    EXPECT_EQ(reversed.complexity, reversed.tokens.size());
    EXPECT_EQ(reversed.var_count, 13);
}

// ---- Evaluation ------------------------------------------------------------------------------

struct EvalCase {
    const char* label;
    std::vector<Token> tokens;
    std::vector<Complex> vars;
    std::optional<Complex> expected;
};

class ExpressionEval : public ::testing::TestWithParam<EvalCase> {};

TEST_P(ExpressionEval, Value) {
    const EvalCase& c = GetParam();
    EXPECT_SAME_VALUE(eval(from_tokens(c.tokens), c.vars, builtins().operators()), c.expected);
}

using namespace builtin_id;
const double below_limit = std::nextafter(1e15, 0.0);

const EvalCase eval_cases[] = {
    {"no tokens", {}, {}, std::nullopt},
    {"variable beyond the inputs", {Token::var(1)}, {{2, 0}}, std::nullopt},
    {"second variable", {Token::var(1)}, {{2, 0}, {-0.0, nan}}, Complex{-0.0, nan}},
    {"operand order is push order",
     {Token::var(0), Token::var(1), Token::op(2, subtract)},
     {{5, 0}, {3, 0}},
     Complex{2, 0}},
    {"binary operator after a single leaf",
     {Token::var(0), Token::op(2, plus)},
     {{1, 0}},
     std::nullopt},
    {"two values left", {Token::var(0), Token::real(1)}, {{1, 0}}, std::nullopt},
    {"operator declines",
     {Token::real(1), Token::constant(zero, {0, 0}), Token::op(2, divide)},
     {},
     std::nullopt},
    {"overflow to infinity", {Token::real(1000), Token::op(1, builtin_id::exp)}, {}, std::nullopt},
    {"real part 1e15", {Token::real(1e15), Token::real(0), Token::op(2, plus)}, {}, std::nullopt},
    {"real part -1e15", {Token::real(-1e15), Token::real(0), Token::op(2, plus)}, {}, std::nullopt},
    {"imaginary part 1e15",
     {Token::real(1e15), Token::constant(imaginary_unit, {0, 1}), Token::op(2, times)},
     {},
     std::nullopt},
    {"just below 1e15",
     {Token::real(below_limit), Token::real(0), Token::op(2, plus)},
     {},
     Complex{below_limit, 0}},
    {"NaN from an operator", {Token::var(0), Token::op(1, neg)}, {{nan, 0}}, std::nullopt},
    // Leaves enter untested.
    {"NaN variable alone", {Token::var(0)}, {{nan, inf}}, Complex{nan, inf}},
    {"huge constant alone", {Token::real(1e300)}, {}, Complex{1e300, 0}},
    {"Real leaf ignores a stored imaginary part",
     {Token{TokenKind::Real, 0, 0, 0, {2, 5}}},
     {},
     Complex{2, 0}},
    {"Real leaf has +0 imaginary part",
     {Token::real(-0.0), Token::op(1, builtin_id::sqrt)},
     {},
     Complex{0, 0}},
};

INSTANTIATE_TEST_SUITE_P(ExpressionCases, ExpressionEval, ::testing::ValuesIn(eval_cases));

TEST(ExpressionEval, ParameterFallsBackToItsOwnValue) {
    const Expression slot = from_tokens({Token::param(2, {7, -1})});
    const std::vector<Complex> two = {{1, 0}, {2, 0}};
    const std::vector<Complex> three = {{1, 0}, {2, 0}, {3, 0.5}};
    const OperatorList& ops = builtins().operators();
    EXPECT_SAME_VALUE(eval_with_params(slot, {}, two, ops), (Complex{7, -1}));
    EXPECT_SAME_VALUE(eval_with_params(slot, {}, three, ops), (Complex{3, 0.5}));
    EXPECT_SAME_VALUE(eval(slot, {}, ops), (Complex{7, -1}));
}

TEST(ExpressionEval, ReusedStackGivesTheSameValues) {
    const OperatorRegistry& registry = builtins();
    const Expression f = Expression::binary(
        registry, builtin_id::divide,
        Expression::unary(registry, builtin_id::sin, Expression::variable_leaf(0)),
        Expression::variable_leaf(1));
    std::vector<Complex> stack;
    for (const double x : {0.5, -3.0, 0.0, 7.25}) {
        const std::vector<Complex> vars = {{x, 0}, {x - 0.5, 0.25}};
        stack.clear();
        EXPECT_IDENTICAL_VALUE(eval_internal(f.tokens, vars, {}, registry.operators(), stack),
                               eval(f, vars, registry.operators()));
    }
}

}  // namespace
}  // namespace kov
