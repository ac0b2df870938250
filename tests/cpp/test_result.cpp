// SearchResult::eval_multi and the error messages.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "bits.hpp"
#include "engine/search/result.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {
namespace {

SearchResult result_of(Expression expression) {
    return SearchResult{std::move(expression),
                        std::make_shared<OperatorRegistry>(OperatorRegistry::with_builtins()), 0.0};
}

TEST(ResultEvalMulti, RealPartOrQuietNaN) {
    const auto registry = OperatorRegistry::with_builtins();
    const Expression x0 = Expression::variable_leaf(0);
    const Expression x1 = Expression::variable_leaf(1);
    const Expression pi = Expression::constant_leaf(registry, builtin_id::pi);
    const Expression one = Expression::constant_leaf(registry, builtin_id::one);
    const Expression pi_plus_one = Expression::binary(registry, builtin_id::plus, pi, one);
    const Expression difference = Expression::binary(registry, builtin_id::subtract, x0, x1);
    // Log of a negative number has imaginary part pi; only the real part comes back.
    const Expression log_neg = Expression::unary(registry, builtin_id::log,
                                                 Expression::unary(registry, builtin_id::neg, x0));
    const Expression inverse = Expression::unary(registry, builtin_id::inv, x0);

    const double quiet_nan = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
    struct Case {
        const Expression* expression;
        std::vector<double> values;
        double expected;
    };
    const std::vector<Case> cases = {
        {&pi_plus_one, {}, 3.141592653589793 + 1.0},
        {&x0, {}, quiet_nan},
        {&difference, {5.0, 3.0}, 2.0},
        {&difference, {5.0, 3.0, 100.0}, 2.0},  // surplus values are ignored
        {&difference, {5.0}, quiet_nan},
        {&log_neg, {2.0}, std::log(2.0)},
        {&inverse, {0.0}, quiet_nan},  // the operator declines
        {&x0, {-0.0}, -0.0},
    };
    for (const Case& c : cases) {
        const double actual = result_of(*c.expression).eval_multi(c.values);
        EXPECT_TRUE(test::identical_double(actual, c.expected))
            << c.expression->formula << " gave " << actual;
    }
}

TEST(ResultSearchError, Messages) {
    EXPECT_EQ(SearchError::no_formula_found(7).message(), "No formula found up to complexity 7");
    EXPECT_EQ(SearchError::no_formula_found(0).message(), "No formula found up to complexity 0");
    const SearchError invalid =
        SearchError::invalid_input("Inputs and target vector must be non-empty and equal length.");
    EXPECT_EQ(invalid.kind, SearchError::Kind::InvalidInput);
    EXPECT_EQ(invalid.message(), "Inputs and target vector must be non-empty and equal length.");
    EXPECT_EQ(SearchError::cancelled().kind, SearchError::Kind::Cancelled);
}

}  // namespace
}  // namespace kov
