// The reference search checked on its own against hand-derived outcomes, so that the differential
// tests compare the fast engine with something trustworthy.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "reference_engine.hpp"

namespace kov {
namespace {

struct Recorded {
    SearchOutcome outcome;
    std::vector<std::string> lines;
    std::vector<std::vector<std::string>> level_formulas;  // index = complexity
};

Recorded run_recorded(const std::vector<std::vector<double>>& rows,
                      const std::vector<double>& targets, const SearchConfig& config) {
    Recorded recorded;
    SearchHooks hooks;
    hooks.progress = [&](std::string_view line) { recorded.lines.emplace_back(line); };
    hooks.on_level = [&](std::uint64_t level, std::span<const Expression> kept) {
        recorded.level_formulas.resize(level + 1);
        for (const Expression& e : kept) recorded.level_formulas[level].push_back(e.formula);
    };
    recorded.outcome = run_bfs_reference(rows, targets, config, hooks);
    return recorded;
}

const std::vector<SearchResult>& results_of(const Recorded& recorded) {
    return std::get<std::vector<SearchResult>>(recorded.outcome);
}

bool contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST(ReferenceEngine, TypicalRequestFindsExpAfterTwoLines) {
    std::vector<std::vector<double>> rows = {{0.0}, {1.0}, {2.0}, {3.0}};
    std::vector<double> targets;
    for (const auto& row : rows) targets.push_back(std::exp(row[0]));
    const Recorded recorded = run_recorded(rows, targets, SearchConfig{});

    ASSERT_EQ(recorded.lines.size(), 2u);
    EXPECT_EQ(recorded.lines[0],
              "[KOV-SR] Started search space exploration. Level 1 seeded with 6 primary nodes.");
    EXPECT_TRUE(recorded.lines[1].starts_with("[KOV-SR]   -> Level 2 processed in "));
    const auto& results = results_of(recorded);
    ASSERT_GE(results.size(), 2u);
    EXPECT_EQ(results[0].expression.formula, "Exp(v_{0})");
    EXPECT_EQ(results[0].error, 0.0);
    EXPECT_EQ(results[0].expression.complexity, 2u);
    EXPECT_EQ(results.back().expression.complexity, 1u);
}

TEST(ReferenceEngine, CommutativePairOfOneLevelIsBuiltWithTheSmallerTextFirst) {
    SearchConfig config(3, 0.1, UINT64_MAX);
    config.disable_early_exit = true;
    const Recorded recorded = run_recorded({{0.3}, {0.7}}, {5.0, -2.0}, config);

    ASSERT_EQ(recorded.level_formulas.size(), 4u);
    const auto& level3 = recorded.level_formulas[3];
    // Pi precedes E in level 1, but "E" < "Pi": only Plus(E, Pi) is built.
    EXPECT_TRUE(contains(level3, "Plus(E, Pi)"));
    EXPECT_FALSE(contains(level3, "Plus(Pi, E)"));
    EXPECT_TRUE(contains(level3, "Plus(v_{0}, v_{0})"));
    // Subtract is not commutative: both orders of distinct operands survive.
    EXPECT_TRUE(contains(level3, "Subtract(Pi, v_{0})"));
    EXPECT_TRUE(contains(level3, "Subtract(v_{0}, Pi)"));
}

TEST(ReferenceEngine, BeamZeroStillScoresTheChildrenOfTheSeeds) {
    SearchConfig config(6, 0.1, 0);
    std::vector<std::vector<double>> rows = {{0.5}, {1.5}, {2.5}};
    const Recorded exact = run_recorded(rows, {1.5, 2.5, 3.5}, config);

    // x + 1 is a binary pair of seeds (level 3); the unary line of level 2 retains nothing.
    ASSERT_EQ(exact.lines.size(), 3u);
    EXPECT_TRUE(exact.lines[1].ends_with("Retaining top 0 candidates."));
    EXPECT_TRUE(exact.lines[2].starts_with("[KOV-SR]   -> Level 3 processed in "));
    EXPECT_EQ(results_of(exact)[0].expression.formula, "Plus(1, v_{0})");
    EXPECT_EQ(results_of(exact)[0].error, 0.0);

    // exp(x) + 1 needs complexity 4, which beam 0 never reaches: every level line is printed and
    // nothing above complexity 3 is found.
    std::vector<double> targets;
    for (const auto& row : rows) targets.push_back(std::exp(row[0]) + 1.0);
    config.fit_constants = false;
    const Recorded missed = run_recorded(rows, targets, config);
    EXPECT_EQ(missed.lines.size(), 6u);
    for (const auto& line : missed.lines) {
        if (line.find("-> Level") != std::string::npos) {
            EXPECT_TRUE(line.ends_with("Retaining top 0 candidates.")) << line;
        }
    }
    EXPECT_LE(results_of(missed)[0].expression.complexity, 3u);
}

TEST(ReferenceEngine, ExactSeedEndsTheSearchBeforeAnyLine) {
    const Recorded recorded = run_recorded({{1.0}, {2.0}}, {M_PI, M_PI}, SearchConfig{});
    EXPECT_TRUE(recorded.lines.empty());
    EXPECT_EQ(results_of(recorded)[0].expression.formula, "Pi");
}

TEST(ReferenceEngine, DecidedEdges) {
    const auto error_of = [](const SearchOutcome& outcome) {
        return std::get<SearchError>(outcome);
    };
    EXPECT_EQ(error_of(run_bfs_reference({{1.0}}, {1.0}, SearchConfig(0, 0.1, 10))).message(),
              "No formula found up to complexity 0");
    EXPECT_EQ(error_of(run_bfs_reference({{1.0}, {2.0}}, {1.0}, SearchConfig{})).message(),
              "Inputs and target vector must be non-empty and equal length.");
    EXPECT_EQ(error_of(run_bfs_reference({std::vector<double>(256, 1.0)}, {1.0}, SearchConfig{}))
                  .message(),
              "At most 255 input variables are supported.");
    // Every error overflows: nothing reaches the front.
    EXPECT_EQ(error_of(run_bfs_reference({{1.0}}, {1e200}, SearchConfig(4, 0.1, 7))).message(),
              "No formula found up to complexity 4");
}

}  // namespace
}  // namespace kov
