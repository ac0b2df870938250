// The description length every search result carries, and the choice of the least of them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <variant>
#include <vector>

#include "engine/entry/run_bfs.hpp"
#include "engine/select/model_selection.hpp"
#include "engine/select/result_criterion.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {
namespace {

using Rows = std::vector<std::vector<double>>;

std::vector<SearchResult> front_of(const Rows& rows, const std::vector<double>& targets,
                                   SearchConfig config) {
    config.disable_early_exit = true;
    SearchOutcome outcome = run_bfs(rows, targets, config);
    return std::get<std::vector<SearchResult>>(std::move(outcome));
}

TEST(ResultCriterion, EveryResultCarriesTheCriterionOfItsOwnCost) {
    Rows rows;
    std::vector<double> targets;
    for (int i = 0; i < 12; ++i) {
        const double x = 0.25 * i;
        rows.push_back({x});
        targets.push_back(2.5 * x + 1.3);
    }
    const std::vector<SearchResult> results = front_of(rows, targets, SearchConfig(5, 0.1, 200));
    ASSERT_GE(results.size(), 2u);
    const NoiseModel noise{std::sqrt([&] {
                               double s = 0.0;
                               for (double t : targets) s += t * t;
                               return s / static_cast<double>(targets.size());
                           }()),
                           estimate_noise(rows, targets)};
    for (const SearchResult& result : results) {
        std::size_t fitted = 0;
        for (const Token& token : result.expression.tokens) fitted += token.kind == TokenKind::Real;
        const double sse = result.error * result.error * static_cast<double>(rows.size());
        const double expected = description_length(
            FormulaCost{sse, rows.size(), fitted, result.expression.complexity}, noise);
        EXPECT_NEAR(result.description_length, expected, 1e-6 * (1.0 + std::fabs(expected)))
            << result.expression.formula;
    }
}

TEST(ResultCriterion, NoiseFreeDataSelectsTheExactFormula) {
    Rows rows;
    std::vector<double> targets;
    for (int i = 1; i <= 20; ++i) {
        const double x = 0.2 * i;
        rows.push_back({x});
        targets.push_back(std::exp(x) + x);
    }
    std::vector<SearchResult> results = front_of(rows, targets, SearchConfig(6, 0.1, 300));
    const std::optional<std::size_t> chosen = select_by_description_length(results);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(results[*chosen].expression.formula, "Plus(v_{0}, Exp(v_{0}))");
}

TEST(ResultCriterion, GivenNoiseIsUsedInsteadOfTheEstimate) {
    const Rows rows = {{0.0}, {1.0}, {2.0}, {3.0}, {4.0}};
    const std::vector<double> targets = {0.1, 1.9, 4.2, 5.8, 8.1};
    SearchConfig quiet(3, 0.1, 50);
    SearchConfig loud = quiet;
    loud.noise = 10.0;
    const auto estimated = front_of(rows, targets, quiet);
    const auto given = front_of(rows, targets, loud);
    ASSERT_EQ(estimated.size(), given.size());
    for (std::size_t i = 0; i < given.size(); ++i) {
        EXPECT_EQ(estimated[i].expression.formula, given[i].expression.formula);
        EXPECT_NE(estimated[i].description_length, given[i].description_length);
    }
}

// Ragged rows, empty rows and overflowing targets: every result still gets a value, never NaN.
TEST(ResultCriterion, DegenerateDataGivesNoNaN) {
    const double huge = 1e308;
    const std::vector<std::pair<Rows, std::vector<double>>> cases = {
        {{{1.0}, {}, {2.0, 3.0}, {0.5}}, {1.0, 2.0, 3.0, 4.0}},
        {{{}, {}, {}}, {1.0, 2.0, 3.0}},
        {{{1.0}, {2.0}, {3.0}, {4.0}}, {huge, -huge, huge, -huge}},
    };
    for (const auto& [rows, targets] : cases) {
        SearchOutcome outcome = run_bfs(rows, targets, SearchConfig(3, 0.1, 20));
        const auto* results = std::get_if<std::vector<SearchResult>>(&outcome);
        if (results == nullptr) continue;
        for (const SearchResult& result : *results) {
            EXPECT_FALSE(std::isnan(result.description_length)) << result.expression.formula;
        }
    }
}

struct SelectionCase {
    std::vector<double> values;
    std::optional<std::size_t> expected;
};

class SelectByDescriptionLength : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(SelectByDescriptionLength, LeastValueEarliestOnTiesNeverNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<SearchResult> results;
    for (double value : GetParam().values) {
        SearchResult result;
        result.description_length = std::isnan(value) ? nan : value;
        results.push_back(std::move(result));
    }
    EXPECT_EQ(select_by_description_length(results), GetParam().expected);
}

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, SelectByDescriptionLength,
    ::testing::Values(SelectionCase{{}, std::nullopt}, SelectionCase{{nan, nan}, std::nullopt},
                      SelectionCase{{3.0, 1.0, 2.0}, 1}, SelectionCase{{2.0, 1.0, 1.0}, 1},
                      SelectionCase{{nan, 5.0, -7.0}, 2}, SelectionCase{{inf, nan}, 0},
                      SelectionCase{{-inf, -inf}, 0}));

}  // namespace
}  // namespace kov
