// Rounded tables: which data count as rounded, which formulas lie within their rounding, and the
// constants that snap within it.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/entry/run_bfs.hpp"
#include "engine/select/data_precision.hpp"
#include "engine/select/result_criterion.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/registry.hpp"

namespace kov {
namespace {

const OperatorRegistry& registry() {
    static const OperatorRegistry instance = OperatorRegistry::with_builtins();
    return instance;
}

// Semi-major axes (AU) and periods (years) of the eight planets, as tables print them.
const std::vector<double> axes{0.387, 0.723, 1.0, 1.524, 5.203, 9.537, 19.19, 30.07};
const std::vector<double> periods{0.241, 0.615, 1.0, 1.881, 11.86, 29.46, 84.01, 164.8};

std::vector<std::vector<double>> column(const std::vector<double>& values) {
    std::vector<std::vector<double>> rows;
    for (double v : values) rows.push_back({v});
    return rows;
}

ComplexRows complex_rows(const std::vector<std::vector<double>>& rows) {
    ComplexRows out;
    for (const auto& row : rows) {
        out.emplace_back();
        for (double v : row) out.back().push_back({v, 0.0});
    }
    return out;
}

// c·a·√a
Expression scaled_power(double c) {
    const OperatorRegistry& r = registry();
    const Expression a = Expression::variable_leaf(0);
    Expression power =
        Expression::binary(r, builtin_id::times, a, Expression::unary(r, builtin_id::sqrt, a));
    if (c == 1.0) return power;
    Expression number;
    number.tokens.push_back(Token::real(c));
    number.formula = std::to_string(c);
    number.complexity = 1;
    return Expression::binary(r, builtin_id::times, number, power);
}

struct DigitsCase {
    double value;
    int digits;
};

class SignificantDigits : public ::testing::TestWithParam<DigitsCase> {};

TEST_P(SignificantDigits, CountsTheFewestThatWriteTheValue) {
    EXPECT_EQ(significant_digits(GetParam().value), GetParam().digits);
}

INSTANTIATE_TEST_SUITE_P(Cases, SignificantDigits,
                         ::testing::Values(DigitsCase{0.387, 3}, DigitsCase{164.8, 4},
                                           DigitsCase{1.0, 1}, DigitsCase{-2.5e-7, 2},
                                           DigitsCase{1.0 / 3.0, 16}, DigitsCase{0.1 + 0.2, 17}));

struct RoundedCase {
    const char* name;
    std::vector<double> inputs;
    std::vector<double> targets;
    bool rounded;
};

class RoundedData : public ::testing::TestWithParam<RoundedCase> {};

TEST_P(RoundedData, TellsTablesFromComputedValues) {
    const RoundedCase& k = GetParam();
    EXPECT_EQ(DataPrecision(column(k.inputs), k.targets).rounded(), k.rounded);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RoundedData,
    ::testing::Values(
        RoundedCase{"planets", axes, periods, true},
        // Computed targets carry all their digits.
        RoundedCase{"computed", {0.1, 0.2, 0.3}, {std::sin(0.1), std::sin(0.2), 1 / 3.0}, false},
        // Whole numbers are counts, not rounded values.
        RoundedCase{"whole_targets", {0.5, 1.5, 2.5}, {1.0, 4.0, 9.0}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DataPrecision, KeplersLawLiesWithinThePlanetsRounding) {
    const DataPrecision precision(column(axes), periods);
    const ComplexRows rows = complex_rows(column(axes));
    const OperatorList& ops = registry().operators();
    EXPECT_TRUE(precision.within_rounding(scaled_power(1.0), rows, periods, ops));
    EXPECT_FALSE(precision.within_rounding(scaled_power(1.003), rows, periods, ops));
    const Expression snapped =
        precision.snap_within_rounding(scaled_power(0.999442854172692), rows, periods, ops);
    EXPECT_EQ(snapped.tokens.front().value.re, 1.0);
    EXPECT_GT(precision.rounding_sigma(scaled_power(1.0), rows, ops), 0.0);
}

// The thorough search on the table returns a·√a as the formula of least description length.
TEST(DataPrecision, TheSearchPicksTheSimpleConstant) {
    SearchConfig config(6, 0.1, 1000);
    config.strategy = Strategy::thorough;
    config.time_limit = 60.0;
    config.verbose = false;
    const SearchOutcome outcome = run_bfs(column(axes), periods, config, SearchHooks{});
    const auto& results = std::get<std::vector<SearchResult>>(outcome);
    const std::optional<std::size_t> chosen = select_by_description_length(results);
    ASSERT_TRUE(chosen);
    const Expression& picked = results[*chosen].expression;
    const Expression expected = scaled_power(1.0);
    ASSERT_EQ(picked.tokens.size(), expected.tokens.size()) << picked.formula;
    for (std::size_t i = 0; i < expected.tokens.size(); ++i) {
        EXPECT_EQ(picked.tokens[i].kind, expected.tokens[i].kind) << picked.formula;
        EXPECT_EQ(picked.tokens[i].id, expected.tokens[i].id) << picked.formula;
    }
}

}  // namespace
}  // namespace kov
