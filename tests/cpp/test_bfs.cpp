// run_bfs edge cases, progress lines, determinism across thread counts and cancellation; the
// fingerprint table and the inline probe key the fast search relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <variant>
#include <vector>

#include "bits.hpp"
#include "core/fingerprint.hpp"
#include "engine/entry/run_bfs.hpp"
#include "engine/levels/bfs_operand.hpp"
#include "engine/levels/fingerprint_table.hpp"
#include "engine/levels/pool.hpp"
#include "engine/levels/probe_key.hpp"
#include "engine/search/bfs_progress.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {
namespace {

using Rows = std::vector<std::vector<double>>;

struct Recorded {
    SearchOutcome outcome;
    std::vector<std::string> lines;
    std::vector<std::vector<Expression>> levels;  // index = complexity
};

Recorded search(const Rows& rows, const std::vector<double>& targets, const SearchConfig& config,
                std::function<bool()> should_cancel = {}) {
    Recorded recorded;
    SearchHooks hooks;
    hooks.progress = [&](std::string_view line) { recorded.lines.emplace_back(line); };
    hooks.on_level = [&](std::uint64_t level, std::span<const Expression> kept) {
        if (recorded.levels.size() <= level) recorded.levels.resize(level + 1);
        recorded.levels[level].assign(kept.begin(), kept.end());
    };
    hooks.should_cancel = std::move(should_cancel);
    recorded.outcome = run_bfs(rows, targets, config, hooks);
    return recorded;
}

const std::vector<SearchResult>& results(const Recorded& r) {
    return std::get<std::vector<SearchResult>>(r.outcome);
}

const SearchError& error(const Recorded& r) {
    return std::get<SearchError>(r.outcome);
}

const std::regex level_line_pattern(
    R"(\[KOV-SR\]   -> Level (\d+) processed in [0-9.]+(s|ms|\xC2\xB5s|ns)\. Retaining top (\d+) candidates\.)");

TEST(BfsTypicalRequest, FindsExpWithTwoProgressLines) {
    const Rows rows = {{0.0}, {1.0}, {2.0}, {3.0}};
    std::vector<double> targets;
    for (const auto& row : rows) targets.push_back(std::exp(row[0]));
    const Recorded r = search(rows, targets, SearchConfig());

    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_EQ(r.lines[0],
              "[KOV-SR] Started search space exploration. Level 1 seeded with 6 primary nodes.");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(r.lines[1], match, level_line_pattern)) << r.lines[1];
    EXPECT_EQ(match[1], "2");
    EXPECT_EQ(std::stoul(match[3]), r.levels[2].size());

    const auto& found = results(r);
    ASSERT_GE(found.size(), 2u);
    EXPECT_EQ(found[0].expression.formula, "Exp(v_{0})");
    EXPECT_EQ(found[0].expression.complexity, 2u);
    EXPECT_EQ(test::bits_of(found[0].error), test::bits_of(0.0));
    EXPECT_EQ(found.back().expression.complexity, 1u);
}

TEST(BfsInputs, RejectedBeforeAnyWork) {
    const std::string invalid = "Inputs and target vector must be non-empty and equal length.";
    struct Case {
        Rows rows;
        std::vector<double> targets;
        std::uint64_t max_complexity;
        SearchError::Kind kind;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{{1.0}, {2.0}, {3.0}}, {1.0, 2.0}, 10, SearchError::Kind::InvalidInput, invalid},
        {{}, {}, 10, SearchError::Kind::InvalidInput, invalid},
        {{{1.0}}, {}, 10, SearchError::Kind::InvalidInput, invalid},
        {{std::vector<double>(256, 1.0)},
         {1.0},
         10,
         SearchError::Kind::InvalidInput,
         "At most 255 input variables are supported."},
        {{{1.0}},
         {5.0},
         0,
         SearchError::Kind::NoFormulaFound,
         "No formula found up to complexity 0"},
    };
    for (const Case& c : cases) {
        const Recorded r = search(c.rows, c.targets, SearchConfig(c.max_complexity, 0.1, 1000));
        EXPECT_EQ(error(r).kind, c.kind);
        EXPECT_EQ(error(r).message(), c.message);
        EXPECT_TRUE(r.lines.empty());
        EXPECT_TRUE(r.levels.empty());
    }
}

TEST(BfsInputs, TwoHundredFiftyFiveVariablesAreSeeded) {
    const Recorded r = search({std::vector<double>(255, 0.5)}, {7.0}, SearchConfig(1, 0.1, 1000));
    ASSERT_TRUE(std::holds_alternative<std::vector<SearchResult>>(r.outcome));
    // All variables share one value on the single row but differ at the probes.
    EXPECT_EQ(r.levels[1].size(), 5u + 255u);
    EXPECT_EQ(r.levels[1].back().formula, "v_{254}");
}

TEST(BfsLevels, SeedsAndSmallMaximumComplexities) {
    const Rows rows = {{0.5}, {1.5}, {2.5}};
    const std::vector<double> targets = {0.3, -0.2, 4.0};

    const Recorded one = search(rows, targets, SearchConfig(1, 0.1, 1000));
    ASSERT_EQ(one.lines.size(), 1u);
    EXPECT_EQ(one.levels.size(), 2u);

    const Recorded two = search(rows, targets, SearchConfig(2, 0.1, 1000));
    ASSERT_EQ(two.lines.size(), 2u);
    for (const Expression& e : two.levels[2]) {
        EXPECT_EQ(e.complexity, 2u);
        EXPECT_EQ(e.tokens.back().arity, 1) << e.formula;  // no binary round at level 2
    }

    // Rows of length 0: no variable seeds.
    const Recorded constants = search({{}, {}}, {1.0, 2.0}, SearchConfig(1, 0.1, 1000));
    EXPECT_EQ(constants.lines[0],
              "[KOV-SR] Started search space exploration. Level 1 seeded with 5 primary nodes.");
}

TEST(BfsLevels, UnequalRowsSeedAVariableThatNeverReachesTheFront) {
    SearchConfig config(1, 0.1, 1000);
    const Recorded r = search({{1.0, 9.0}, {2.0}}, {9.0, 9.0}, config);
    ASSERT_EQ(r.levels[1].size(), 7u);
    EXPECT_EQ(r.levels[1].back().formula, "v_{1}");
    for (const SearchResult& result : results(r)) EXPECT_NE(result.expression.formula, "v_{1}");
}

TEST(BfsLevels, BeamWidthZeroStillScoresTheSeedsChildren) {
    const Recorded r = search({{0.5}, {1.5}, {2.5}}, {1.5, 2.5, 3.5}, SearchConfig(6, 0.1, 0));
    ASSERT_EQ(r.lines.size(), 3u);  // x + 1 is exact at level 3
    EXPECT_TRUE(r.levels[2].empty());
    EXPECT_TRUE(r.levels[3].empty());
    EXPECT_EQ(results(r)[0].expression.formula, "Plus(1, v_{0})");
}

TEST(BfsLevels, ExactSeedStopsBeforeAnyLine) {
    const Recorded r = search({{1.0}, {2.0}}, {1.0, 2.0}, SearchConfig());
    EXPECT_TRUE(r.lines.empty());
    EXPECT_EQ(results(r)[0].expression.formula, "v_{0}");
}

TEST(BfsLevels, DisabledEarlyExitRunsEveryLevel) {
    SearchConfig config(4, 0.1, 50);
    config.disable_early_exit = true;
    const Recorded r = search({{1.0}, {2.0}}, {1.0, 2.0}, config);
    ASSERT_EQ(r.lines.size(), 4u);
    for (std::size_t i = 1; i < r.lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(r.lines[i], match, level_line_pattern)) << r.lines[i];
        EXPECT_EQ(std::stoul(match[1]), i + 1);
    }
}

// Bit-identical results and level contents (formulas in order) for any number of threads.
TEST(BfsDeterminism, SameResultForEveryThreadCount) {
    Rows rows;
    std::vector<double> targets;
    for (int i = 0; i < 40; ++i) {
        const double x = 0.2 + 0.1 * i;
        rows.push_back({x, 1.0 / x});
        targets.push_back(std::sqrt(x) * std::sin(2.0 * x) + 0.3);
    }
    SearchConfig config(6, 0.1, 200);
    config.disable_early_exit = true;
    std::vector<Recorded> runs;
    for (std::size_t threads : {1u, 2u, 3u}) {
        set_worker_count(threads);
        runs.push_back(search(rows, targets, config));
    }
    set_worker_count(0);
    for (std::size_t t = 1; t < runs.size(); ++t) {
        const auto& a = results(runs[0]);
        const auto& b = results(runs[t]);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].expression.formula, b[i].expression.formula);
            EXPECT_EQ(test::bits_of(a[i].error), test::bits_of(b[i].error));
        }
        ASSERT_EQ(runs[0].levels.size(), runs[t].levels.size());
        for (std::size_t level = 1; level < runs[0].levels.size(); ++level) {
            ASSERT_EQ(runs[0].levels[level].size(), runs[t].levels[level].size());
            for (std::size_t i = 0; i < runs[0].levels[level].size(); ++i) {
                EXPECT_EQ(runs[0].levels[level][i].formula, runs[t].levels[level][i].formula);
            }
        }
    }
}

TEST(BfsCancellation, StopsBetweenChunks) {
    const Rows rows = {{0.5}, {1.5}, {2.5}};
    const std::vector<double> targets = {0.3, -0.2, 4.0};
    for (int allowed : {0, 1, 5}) {
        int polls = 0;
        const Recorded r =
            search(rows, targets, SearchConfig(8, 0.1, 1000), [&] { return ++polls > allowed; });
        EXPECT_EQ(error(r).kind, SearchError::Kind::Cancelled) << allowed;
        EXPECT_LT(r.lines.size(), 8u) << allowed;  // level 8 was never reached
        if (allowed == 0) {
            EXPECT_EQ(r.lines.size(), 1u);  // only the level-1 line
        }
    }
}

TEST(BfsProgress, DurationFormat) {
    const std::vector<std::pair<std::int64_t, std::string>> cases = {
        {0, "0ns"},
        {850, "850ns"},
        {999, "999ns"},
        {1000, "1\u00b5s"},
        {1500, "1.5\u00b5s"},
        {1001, "1.001\u00b5s"},
        {12'034'000, "12.034ms"},
        {12'034'567, "12.034567ms"},
        {1'000'000, "1ms"},
        {2'000'000'000, "2s"},
        {1'500'000'000, "1.5s"},
        {1'000'000'001, "1.000000001s"},
        {61'000'000'000, "61s"},
    };
    for (const auto& [ns, text] : cases) {
        EXPECT_EQ(format_duration(std::chrono::nanoseconds(ns)), text) << ns;
    }
    EXPECT_EQ(level_line(3, std::chrono::nanoseconds(850), 12),
              "[KOV-SR]   -> Level 3 processed in 850ns. Retaining top 12 candidates.");
}

TEST(BfsProbeKey, EqualsTheFingerprintKey) {
    std::vector<double> parts = {
        0.0, -0.0, 2.5e-10, -2.5e-10, 1.5e-10, 0.25 + 2e-11,     0.25 + 2e-10,      4.5e5, -4.5e5,
        1e9, -1e9, 9.2e8,   1e15,     -1e15,   4.49999999999e-5, 0.5772156649015329};
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> spread(-3.0, 3.0);
    for (int i = 0; i < 2000; ++i)
        parts.push_back(std::pow(10.0, 4.0 * spread(random)) * spread(random));
    for (double part : parts) {
        EXPECT_EQ(bfs::probe_key(part), fingerprint_key(part)) << part;
    }
}

// Cached operand parts must give every binary operator's value bit for bit.
TEST(BfsOperandParts, BinaryOperatorsMatchTheOperators) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> parts = {0.0,    -0.0,  1.0,    -1.0, 0.5,  3.0, 1e-310,
                                 -1e300, 700.0, -800.0, inf,  -inf, nan};
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> spread(-4.0, 4.0);
    for (int i = 0; i < 40; ++i) parts.push_back(spread(random));
    std::vector<Complex> values;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        values.push_back({parts[i], parts[(i * 7 + 3) % parts.size()]});
        values.push_back({parts[i], 0.0});
    }
    for (const BuiltinRow& row : builtin_table) {
        if (row.arity != 2) continue;
        const std::size_t op = row.id;
        for (const Complex& a : values) {
            for (const Complex& b : values) {
                // NaN signs may differ with instruction order; the evaluator rejects NaN anyway.
                EXPECT_SAME_VALUE(
                    bfs::apply_binary(op, a, b, bfs::operand_parts(a), bfs::operand_parts(b)),
                    eval_builtin(op, a, b))
                    << "op " << op;
            }
        }
    }
}

template <std::size_t... Ids>
void expect_apply_op_matches(const std::vector<Complex>& values, std::index_sequence<Ids...>) {
    const auto check = [&](auto op, auto apply) {
        for (const Complex& a : values) {
            for (const Complex& b : values) {
                EXPECT_SAME_VALUE(apply(a, b), eval_builtin(op, a, b)) << "op " << op;
            }
        }
    };
    (check(Ids, [](Complex a, Complex b) { return bfs::apply_op<Ids>(a, b); }), ...);
}

TEST(BfsOperandParts, EveryOperatorInlinedMatchesTheOperators) {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<Complex> values = {{0.0, 0.0},   {-0.0, 0.0}, {0.0, -0.0},     {1.0, 0.0},
                                   {-1.0, 0.0},  {2.0, 0.0},  {0.5, -0.5},     {-3.0, 2.0},
                                   {800.0, 0.0}, {inf, 0.0},  {1e-300, 1e-300}};
    expect_apply_op_matches(values, std::make_index_sequence<builtin_id::count>());
}

TEST(BfsFingerprintTable, EarliestPositionHoldsEachKey) {
    FingerprintTable table;
    const Digest a = digest_of({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    const Digest b = digest_of({1, 2, 3, 4, 5, 6, 7, 8, 9, 11});
    EXPECT_NE(a.high ^ a.low, b.high ^ b.low);
    EXPECT_EQ(table.insert(a, 10).outcome, FingerprintTable::Outcome::Added);
    EXPECT_EQ(table.insert(a, 12).outcome, FingerprintTable::Outcome::Present);
    const auto taken = table.insert(a, 4);
    EXPECT_EQ(taken.outcome, FingerprintTable::Outcome::TookOver);
    EXPECT_EQ(taken.displaced, 10u);
    EXPECT_EQ(table.insert(a, 10).outcome, FingerprintTable::Outcome::Present);
    EXPECT_EQ(table.insert(b, 11).outcome, FingerprintTable::Outcome::Added);

    // Growth keeps every key.
    for (std::int64_t i = 0; i < 200000; ++i) {
        table.insert(digest_of({i, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                     100 + static_cast<std::uint64_t>(i));
    }
    EXPECT_EQ(table.size(), 200002u);
    for (std::int64_t i = 0; i < 200000; i += 997) {
        EXPECT_EQ(table.insert(digest_of({i, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 1u << 30).outcome,
                  FingerprintTable::Outcome::Present);
    }
}

}  // namespace
}  // namespace kov
