// Constant recognition in the engine: real answers, integer seeds, ranked answers, the formula
// budget and the precision of a number.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>
#include <vector>

#include "engine/constants/answers.hpp"
#include "engine/constants/precision.hpp"
#include "engine/entry/run_bfs.hpp"
#include "engine/levels/pool.hpp"

namespace kov {
namespace {

struct Searched {
    std::vector<SearchResult> results;
    std::vector<std::string> lines;
};

// A constant search as the binding runs it: one sample, nothing fitted.
Searched search_constant(double value, SearchConfig config, bool with_variable = true) {
    config.fit_constants = false;
    Searched searched;
    SearchHooks hooks;
    hooks.progress = [&](std::string_view line) { searched.lines.emplace_back(line); };
    const std::vector<std::vector<double>> rows{with_variable ? std::vector<double>{0.0}
                                                              : std::vector<double>{}};
    SearchOutcome outcome = run_bfs(rows, {value}, config, hooks);
    EXPECT_TRUE(std::holds_alternative<std::vector<SearchResult>>(outcome));
    if (auto* results = std::get_if<std::vector<SearchResult>>(&outcome)) {
        searched.results = std::move(*results);
    }
    return searched;
}

SearchConfig small_config() {
    SearchConfig config;
    config.max_complexity = 4;
    config.beam_width = 200;
    return config;
}

struct RealCase {
    double value;
    bool real_answers_only;
    const char* formula;  // empty: any real formula
};

class RealAnswers : public ::testing::TestWithParam<RealCase> {};

TEST_P(RealAnswers, OnlyRealValuesAnswerWhenAsked) {
    const RealCase& c = GetParam();
    SearchConfig config = small_config();
    config.real_answers_only = c.real_answers_only;
    const Searched searched = search_constant(c.value, config);
    ASSERT_FALSE(searched.results.empty());
    const SearchResult& best = searched.results.front();
    if (*c.formula != '\0') {
        EXPECT_EQ(best.expression.formula, c.formula);
    }
    const ComplexRows rows{{Complex{0.0, 0.0}}};
    EXPECT_EQ(is_real_on_rows(best.expression, rows, best.registry->operators()),
              c.real_answers_only);
}

INSTANTIATE_TEST_SUITE_P(Constants, RealAnswers,
                         ::testing::Values(
                             // A function search judges the real part alone.
                             RealCase{0.7, false, "Exp(ArcSin(ArcSin(I)))"},
                             RealCase{0.7, true, ""},
                             // A complex block still builds a real answer: cos(i) = cosh 1.
                             RealCase{std::cosh(1.0), true, "Cos(I)"}));

TEST(IntegerSeeds, AreExactConstantsShownAsDigits) {
    SearchConfig config = small_config();
    config.integer_seeds = {2, 3, 8};
    const Searched searched = search_constant(0.375, config, false);
    ASSERT_FALSE(searched.results.empty());
    const SearchResult& best = searched.results.front();
    EXPECT_EQ(best.expression.formula, "Divide(3, 8)");
    EXPECT_EQ(best.error, 0.0);
    EXPECT_EQ(best.expression.tokens.front().kind, TokenKind::Integer);
    EXPECT_EQ(best.eval_multi({}), 0.375);
    EXPECT_NE(searched.lines.front().find("seeded with 8 primary nodes"), std::string::npos);
}

TEST(RankedAnswers, BestFirstWithEqualValuesMerged) {
    SearchConfig config = small_config();
    config.real_answers_only = true;
    config.ranked_answers = 6;
    config.disable_early_exit = true;
    const Searched searched = search_constant(std::acos(-1.0) * 2.0, config);
    ASSERT_EQ(searched.results.size(), 6u);
    EXPECT_EQ(searched.results.front().expression.formula, "Plus(Pi, Pi)");
    for (std::size_t i = 1; i < searched.results.size(); ++i) {
        const SearchResult& before = searched.results[i - 1];
        const SearchResult& after = searched.results[i];
        EXPECT_TRUE(before.error < after.error ||
                    (before.error == after.error &&
                     before.expression.complexity <= after.expression.complexity));
        // Plus(Pi, Pi) at v_{0} = 0 equals Plus(Pi, Plus(Pi, v_{0})): one value, one answer.
        EXPECT_GT(std::fabs(before.eval_multi(std::vector<double>{0.0}) -
                            after.eval_multi(std::vector<double>{0.0})),
                  1e-12);
    }
}

TEST(RankedAnswers, KeepsTheBetterOfEqualValues) {
    RankedAnswers answers(2);
    Expression a;
    a.formula = "a";
    a.complexity = 3;
    Expression b = a;
    b.formula = "b";
    b.complexity = 1;
    Expression c = a;
    c.formula = "c";
    answers.offer(a, 0.5, {1.0});
    answers.offer(b, 0.5, {1.0 + 1e-13});  // same value, simpler: replaces a
    answers.offer(c, 0.25, {2.0});
    answers.offer(a, 0.75, {3.0});  // worse than both kept
    const std::vector<SearchResult> list = answers.results(nullptr);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].expression.formula, "c");
    EXPECT_EQ(list[1].expression.formula, "b");
}

TEST(FormulaBudget, StopsBeforeALevelThatWouldExceedIt) {
    SearchConfig config = small_config();
    config.formula_budget = 20;  // the 6 seeds fit, level 2's 60-odd children do not
    const Searched searched = search_constant(0.123456, config);
    ASSERT_FALSE(searched.results.empty());
    EXPECT_EQ(searched.results.front().expression.complexity, 1u);
    EXPECT_EQ(searched.lines.size(), 1u);  // the start line only
}

// Ranked answers and completion ranking come from per-worker heaps: the merge must not depend on
// how the work was split.
TEST(RankedAnswers, SameForAnyNumberOfThreads) {
    SearchConfig config = small_config();
    config.max_complexity = 5;
    config.real_answers_only = true;
    config.ranked_answers = 8;
    config.integer_seeds = {2, 3, 4, 5, 6, 7, 8, 9};
    config.rank_integer_completions = true;
    std::vector<std::vector<std::string>> runs;
    for (std::size_t threads : {1u, 2u, 3u}) {
        set_worker_count(threads);
        std::vector<std::string> formulas;
        for (const SearchResult& r : search_constant(1.2599, config, false).results) {
            formulas.push_back(r.expression.formula);
        }
        runs.push_back(formulas);
    }
    set_worker_count(0);
    EXPECT_EQ(runs[0].size(), 8u);
    EXPECT_EQ(runs[1], runs[0]);
    EXPECT_EQ(runs[2], runs[0]);
}

struct PrecisionCase {
    double value;
    std::optional<int> digits;
    double tolerance;
    std::optional<std::uint64_t> budget;
};

class Precisions : public ::testing::TestWithParam<PrecisionCase> {};

TEST_P(Precisions, FromTheDigitsGiven) {
    const PrecisionCase& c = GetParam();
    const Precision precision = precision_of(c.value, c.digits);
    EXPECT_DOUBLE_EQ(precision.tolerance, c.tolerance);
    ASSERT_EQ(precision.formula_budget.has_value(), c.budget.has_value());
    // The budget is a floor of a rounded quotient: one either way is the same budget.
    if (c.budget) {
        EXPECT_NEAR(double(*precision.formula_budget), double(*c.budget), 1.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Constants, Precisions,
    ::testing::Values(PrecisionCase{3.7, std::nullopt, 3.7e-12, std::nullopt},
                      PrecisionCase{-3.7, std::nullopt, 3.7e-12, std::nullopt},
                      // Half a unit of the sixth digit of 3.14159: 5e-6, so about 3e5 values.
                      PrecisionCase{3.14159, 6, 5e-6, 314159}, PrecisionCase{0.0123, 3, 5e-5, 123},
                      PrecisionCase{1.6180339887, 11, 5e-11, 16180339887},
                      // Beyond what evaluation can tell: the rounding decides, no budget.
                      PrecisionCase{1.0, 15, 1e-12, std::nullopt},
                      PrecisionCase{0.0, 3, 0.0, std::nullopt}));

TEST(RealWithinRounding, ImaginaryPartsBelowTheRoundingCount) {
    EXPECT_TRUE(is_real_within_rounding({-1.0, 1.2e-16}));
    EXPECT_TRUE(is_real_within_rounding({1e6, 1e-7}));
    EXPECT_FALSE(is_real_within_rounding({1e6, 1e-5}));
    EXPECT_FALSE(is_real_within_rounding({3.7, 1.28}));
    EXPECT_FALSE(is_real_within_rounding({0.0, 2e-12}));
}

}  // namespace
}  // namespace kov
