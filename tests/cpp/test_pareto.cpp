// The Pareto front: ties keep the incumbent, NaN never displaces and never exits, and the result
// list walks complexities upward keeping only strict improvements, then reverses.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "bits.hpp"
#include "engine/select/pareto.hpp"

namespace kov {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Distinct expressions of a given complexity; only the text and the token count matter here.
Expression named(std::string text, std::size_t complexity) {
    Expression e;
    e.tokens.assign(complexity, Token::constant(1, Complex{1.0, 0.0}));
    e.formula = std::move(text);
    e.complexity = complexity;
    return e;
}

std::shared_ptr<const OperatorRegistry> registry() {
    return std::make_shared<OperatorRegistry>(OperatorRegistry::with_builtins());
}

struct Offer {
    std::string text;
    std::size_t complexity;
    double error;
};

std::vector<SearchResult> finalize(const std::vector<Offer>& offers) {
    auto front = std::make_shared<ParetoFront>();
    for (const Offer& o : offers) update_pareto(*front, named(o.text, o.complexity), o.error);
    SearchOutcome outcome = finalize_result(front, registry(), SearchConfig());
    return std::get<std::vector<SearchResult>>(outcome);
}

TEST(ParetoUpdate, TiesKeepTheIncumbentAndStrictImprovementsReplace) {
    struct Case {
        std::vector<Offer> offers;
        std::string kept;  // empty: the entry holds NaN, which the result walk skips
    };
    const std::vector<Case> cases = {
        {{{"a", 4, 0.5}, {"b", 4, 0.5}, {"c", 4, 0.3}}, "c"},
        {{{"a", 4, 0.5}, {"b", 4, 0.5}}, "a"},
        {{{"a", 4, 0.0}, {"b", 4, -0.0}}, "a"},
        {{{"a", 4, nan}, {"b", 4, 0.1}}, ""},  // stored when first, then never replaced
        {{{"a", 4, 0.2}, {"b", 4, nan}}, "a"},
        {{{"a", 4, inf}, {"b", 4, 7.0}}, "b"},
    };
    for (const Case& c : cases) {
        const auto results = finalize(c.offers);
        if (c.kept.empty()) {
            EXPECT_TRUE(results.empty());
            continue;
        }
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].expression.formula, c.kept);
    }
}

TEST(ParetoFinalize, KeepsStrictImprovementsMostComplexFirst) {
    const auto results =
        finalize({{"c1", 1, 0.9}, {"c2", 2, 0.9}, {"c3", 3, 0.4}, {"c5", 5, 0.5}, {"c6", 6, 0.1}});
    ASSERT_EQ(results.size(), 3u);
    const std::vector<std::pair<std::string, double>> expected = {
        {"c6", 0.1}, {"c3", 0.4}, {"c1", 0.9}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(results[i].expression.formula, expected[i].first);
        EXPECT_EQ(test::bits_of(results[i].error), test::bits_of(expected[i].second));
        EXPECT_NE(results[i].registry, nullptr);
    }
}

TEST(ParetoFinalize, EdgeFronts) {
    EXPECT_EQ(finalize({{"zero", 3, 0.0}}).size(), 1u);
    EXPECT_TRUE(finalize({{"a", 2, nan}, {"b", 3, nan}}).empty());
    EXPECT_TRUE(finalize({{"a", 2, inf}}).empty());
    const auto mixed = finalize({{"a", 2, inf}, {"b", 3, nan}, {"c", 4, 2.0}});
    ASSERT_EQ(mixed.size(), 1u);
    EXPECT_EQ(mixed[0].expression.formula, "c");
}

TEST(ParetoFinalize, EmptyFrontReportsTheMaximumComplexity) {
    SearchConfig config(7, 0.1, 1000);
    SearchOutcome outcome = finalize_result(std::make_shared<ParetoFront>(), registry(), config);
    const auto& error = std::get<SearchError>(outcome);
    EXPECT_EQ(error.kind, SearchError::Kind::NoFormulaFound);
    EXPECT_EQ(error.message(), "No formula found up to complexity 7");
}

TEST(ParetoEarlyExit, ToleranceIsInclusiveAndNaNNeverExits) {
    struct Case {
        std::vector<double> errors;
        bool disable;
        bool expected;
    };
    const std::vector<Case> cases = {
        {{1e-10}, false, true},      {{2e-10}, false, false}, {{0.5, 0.0}, false, true},
        {{0.0}, true, false},        {{}, false, false},      {{nan}, false, false},
        {{nan, 1e-11}, false, true},
    };
    for (const Case& c : cases) {
        ParetoFront front;
        for (std::size_t i = 0; i < c.errors.size(); ++i) {
            update_pareto(front, named("e", i + 1), c.errors[i]);
        }
        EXPECT_EQ(check_early_exit(front, c.disable, 1e-10), c.expected)
            << c.errors.size() << " entries, disable " << c.disable;
    }
}

}  // namespace
}  // namespace kov
