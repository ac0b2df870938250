// The thorough strategy: affine ranking, affine forms, recoveries, time limits, determinism.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "bits.hpp"
#include "engine/entry/run_bfs.hpp"
#include "engine/fit/affine_fit.hpp"
#include "engine/levels/pool.hpp"
#include "engine/thorough/thorough_front.hpp"
#include "engine/thorough/thorough_pairs.hpp"
#include "ops/builtin_ids.hpp"
#include "test_support.hpp"

namespace kov {
namespace {

using Rows = std::vector<std::vector<double>>;

struct Searched {
    SearchOutcome outcome;
    std::vector<std::string> lines;
};

Searched search(const Rows& rows, const std::vector<double>& targets, SearchConfig config,
                std::function<bool()> cancel = {}) {
    Searched run;
    SearchHooks hooks;
    hooks.progress = [&](std::string_view line) { run.lines.emplace_back(line); };
    hooks.should_cancel = std::move(cancel);
    run.outcome = run_bfs(rows, targets, config, hooks);
    return run;
}

const std::vector<SearchResult>& results(const Searched& run) {
    return std::get<std::vector<SearchResult>>(run.outcome);
}

SearchConfig thorough(std::uint64_t max_complexity) {
    SearchConfig config(max_complexity, 0.1, 1000);
    config.strategy = Strategy::thorough;
    return config;
}

// ---- The affine map against a direct least-squares solve -----------------------------------

struct AffineCase {
    const char* name;
    std::vector<double> f;
    std::vector<double> y;
};

class AffineFitTest : public ::testing::TestWithParam<AffineCase> {};

TEST_P(AffineFitTest, MatchesTheNormalEquations) {
    const AffineCase& c = GetParam();
    const std::size_t n = c.f.size();
    long double sf = 0, sy = 0, sff = 0, sfy = 0;
    for (std::size_t j = 0; j < n; ++j) {
        sf += c.f[j];
        sy += c.y[j];
        sff += static_cast<long double>(c.f[j]) * c.f[j];
        sfy += static_cast<long double>(c.f[j]) * c.y[j];
    }
    const long double det = n * sff - sf * sf;
    const long double a = det != 0 ? (n * sfy - sf * sy) / det : 0;
    const long double b = det != 0 ? (sy - a * sf) / n : sy / n;
    long double sse = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const long double r = a * c.f[j] + b - c.y[j];
        sse += r * r;
    }
    for (const bool wide : {false, true}) {
        const auto value = [&](std::size_t j) { return c.f[j]; };
        const auto target = [&](std::size_t j) { return c.y[j]; };
        double scale = 0.0, offset = 0.0;
        if (wide) {
            const AffineFit<long double> fit = fit_affine<long double>(n, value, target);
            scale = static_cast<double>(fit.scale);
            offset = static_cast<double>(fit.offset);
        } else {
            const AffineFit<double> fit = fit_affine<double>(n, value, target);
            scale = fit.scale;
            offset = fit.offset;
        }
        const double tolerance = 1e-9 * (1.0 + std::fabs(static_cast<double>(b)));
        EXPECT_NEAR(scale, static_cast<double>(a),
                    1e-9 * (1.0 + std::fabs(static_cast<double>(a))));
        EXPECT_NEAR(offset, static_cast<double>(b), tolerance);
        long double fitted_sse = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const long double r = scale * c.f[j] + offset - c.y[j];
            fitted_sse += r * r;
        }
        EXPECT_NEAR(static_cast<double>(fitted_sse), static_cast<double>(sse),
                    1e-9 * (1.0 + static_cast<double>(sse)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AffineFitTest,
    ::testing::Values(AffineCase{"exact_line", {0, 1, 2, 3}, {1.3, 3.8, 6.3, 8.8}},
                      AffineCase{"noisy", {0.5, 1.5, 2.0, 4.0, 5.5}, {1.0, 2.9, 4.2, 8.1, 10.7}},
                      AffineCase{"negative_slope", {1, 2, 3}, {-1, -4, -6.5}},
                      AffineCase{"constant_values", {2, 2, 2}, {1, 5, 3}},
                      AffineCase{"large_offset", {1e8 + 1, 1e8 + 2, 1e8 + 4}, {3, 5, 9}},
                      AffineCase{
                          "large_targets", {0.1, 0.2, 0.3, 0.7}, {5000.5, 5001.0, 5001.4, 5003.9}}),
    [](const auto& info) { return std::string(info.param.name); });

// The rule for a constant f: spread within rounding of its size, or underflowing in double.
struct SpreadCase {
    const char* name;
    double centred;
    double raw;
    bool spread;
};

class SpreadRuleTest : public ::testing::TestWithParam<SpreadCase> {};

TEST_P(SpreadRuleTest, SameInBothPrecisionsAboveTheUnderflow) {
    const SpreadCase& c = GetParam();
    EXPECT_EQ(has_spread(c.centred, c.raw), c.spread);
    if (c.centred > 1e-300) {
        EXPECT_EQ(has_spread<long double>(c.centred, c.raw), c.spread);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpreadRuleTest,
    ::testing::Values(SpreadCase{"ordinary", 2.0, 14.0, true}, SpreadCase{"none", 0.0, 3.0, false},
                      SpreadCase{"rounding_of_a_large_mean", 1e-20, 1e8, false},
                      SpreadCase{"small_but_real", 1e-17, 1e8, true},
                      SpreadCase{"underflowing", 1e-302, 1e-302, false},
                      SpreadCase{"not_a_number", std::nan(""), 1.0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// On any prefix of the rows the best map leaves no more than on all of them.
TEST(AffineFit, PrefixNeverExceedsTheWhole) {
    std::vector<double> f, y;
    double previous = 0.0;
    for (int j = 0; j < 50; ++j) {
        const double x = 0.1 * j;
        f.push_back(std::sin(x));
        y.push_back(x * x - 1.0);
        const AffineFit<long double> fit = fit_affine<long double>(
            f.size(), [&](std::size_t i) { return f[i]; }, [&](std::size_t i) { return y[i]; });
        double sse = 0.0;
        for (std::size_t i = 0; i < f.size(); ++i) {
            const double r =
                static_cast<double>(fit.scale) * f[i] + static_cast<double>(fit.offset) - y[i];
            sse += r * r;
        }
        EXPECT_GE(sse + 1e-12, previous);
        previous = sse;
    }
}

// ---- Affine forms: only the tokens present count --------------------------------------------

struct FormCase {
    const char* name;
    double scale;
    double offset;
    std::size_t extra_tokens;
    std::size_t last_op;
};

class AffineFormTest : public ::testing::TestWithParam<FormCase> {};

TEST_P(AffineFormTest, CountsTheTokensPresent) {
    const FormCase& c = GetParam();
    const Expression f = Expression::variable_leaf(0);
    const Expression form = affine_form(f, c.scale, c.offset);
    EXPECT_EQ(form.complexity, 1 + c.extra_tokens);
    EXPECT_EQ(form.tokens.size(), form.complexity);
    if (c.extra_tokens > 0) {
        EXPECT_EQ(form.tokens.back().id, c.last_op);
    }
    const Complex at_two{2.0, 0.0};
    const std::optional<Complex> value =
        eval(form, std::span<const Complex>(&at_two, 1), test::builtins().operators());
    ASSERT_TRUE(value);
    EXPECT_DOUBLE_EQ(value->re, c.scale * 2.0 + c.offset);
}

INSTANTIATE_TEST_SUITE_P(Cases, AffineFormTest,
                         ::testing::Values(FormCase{"identity", 1.0, 0.0, 0, 0},
                                           FormCase{"negation", -1.0, 0.0, 1, builtin_id::neg},
                                           FormCase{"scale", 2.5, 0.0, 2, builtin_id::times},
                                           FormCase{"offset", 1.0, 1.3, 2, builtin_id::plus},
                                           FormCase{"negated_offset", -1.0, 4.0, 3,
                                                    builtin_id::plus},
                                           FormCase{"both", 2.5, 1.3, 4, builtin_id::plus}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Sums of two blocks ----------------------------------------------------------------------

struct PairCase {
    const char* name;
    std::function<double(double)> f;
    std::function<double(double)> g;
    double a;
    double b;
    double c;
    bool solvable;  // false when f and g are collinear
};

class PairFitTest : public ::testing::TestWithParam<PairCase> {};

TEST_P(PairFitTest, FindsTheCombinationAndRanksItExact) {
    const PairCase& p = GetParam();
    std::vector<double> f, g, y;
    for (int j = 0; j < 40; ++j) {
        const double x = -1.0 + 0.05 * j;
        f.push_back(p.f(x));
        g.push_back(p.g(x));
        y.push_back(p.a * f.back() + p.b * g.back() + p.c);
    }
    double a = 0.0, b = 0.0, c = 0.0;
    ASSERT_EQ(fit_pair(f, g, y, a, b, c), p.solvable);
    if (!p.solvable) return;
    const double tolerance = 1e-9 * (1.0 + std::fabs(p.c));
    EXPECT_NEAR(a, p.a, tolerance);
    EXPECT_NEAR(b, p.b, tolerance);
    EXPECT_NEAR(c, p.c, tolerance);
    const std::vector<double> unit_y = unit_vector(y);
    std::vector<PairBlock> blocks(2);
    ASSERT_TRUE(make_pair_block(f, unit_y, blocks[0]));
    ASSERT_TRUE(make_pair_block(g, unit_y, blocks[1]));
    // The pool is both blocks, the partners the second one alone: one pair to look at.
    const auto picks = best_pairs(blocks, std::span(blocks).subspan(1), 1, 1, 4, PairNoise{}, {});
    ASSERT_TRUE(picks);
    ASSERT_EQ(picks->size(), 1u);
    EXPECT_EQ(picks->front().first, 0u);
    EXPECT_LE(picks->front().unexplained, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PairFitTest,
    ::testing::Values(PairCase{"unit_sum", [](double x) { return std::sin(x); },
                               [](double x) { return std::sin(x + x * x); }, 1.0, 1.0, 0.0, true},
                      PairCase{"polynomial", [](double x) { return x; },
                               [](double x) { return x * x * x; }, 1.0, -1.0, 0.0, true},
                      PairCase{"scaled_offset", [](double x) { return std::exp(x); },
                               [](double x) { return x * x; }, 0.5, -2.0, 3.0, true},
                      PairCase{"large_offset", [](double x) { return std::cos(x); },
                               [](double x) { return x; }, 1e-3, 2.0, 1e4, true},
                      PairCase{"collinear", [](double x) { return x; },
                               [](double x) { return 3.0 * x - 1.0; }, 1.0, 1.0, 0.0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// On noisy targets every pair spanning the same values fits alike; the one whose numbers are
// simple within the noise is the data's, even when a shorter pair bends its numbers to the same
// fit. Without the noise's size to judge the numbers by, the shorter one comes first.
TEST(BestPairs, WithinTheNoiseSimpleNumbersComeFirst) {
    std::vector<double> sine, wave, mixed, y;
    for (int j = 0; j < 40; ++j) {
        const double x = -1.0 + 0.05 * j;
        sine.push_back(std::sin(x));
        wave.push_back(std::sin(x + x * x));
        mixed.push_back(sine.back() + 0.37 * wave.back());
        y.push_back(sine.back() + wave.back() + 0.01 * std::sin(91.0 * j));
    }
    const std::vector<double> unit_y = unit_vector(y);
    std::vector<PairBlock> blocks(3);
    ASSERT_TRUE(make_pair_block(sine, unit_y, blocks[0]));
    ASSERT_TRUE(make_pair_block(mixed, unit_y, blocks[1]));
    ASSERT_TRUE(make_pair_block(wave, unit_y, blocks[2]));
    blocks[0].complexity = 2;
    blocks[1].complexity = 1;  // the bent pair is the shorter one
    blocks[2].complexity = 6;
    const auto first_block = [&](const PairNoise& noise) {
        const auto picks = best_pairs(std::span(blocks).first(2), std::span(blocks).subspan(2), 2,
                                      0, 2, noise, {});
        EXPECT_TRUE(picks && picks->size() == 2);
        return picks->front().first;
    };
    double mean = 0.0, squares = 0.0;
    for (double v : y) mean += v / static_cast<double>(y.size());
    for (double v : y) squares += (v - mean) * (v - mean);
    const PairNoise noisy{1e-3, 0.01, mean, std::sqrt(squares)};
    EXPECT_EQ(first_block(noisy), 0u);
    EXPECT_EQ(first_block(PairNoise{1e-3, 0.0, mean, std::sqrt(squares)}), 1u);
}

struct PairFormCase {
    const char* name;
    double a;
    double b;
    double c;
    std::size_t complexity;
    std::size_t last_op;
};

class PairFormTest : public ::testing::TestWithParam<PairFormCase> {};

TEST_P(PairFormTest, WritesOnlyTheNumbersNeeded) {
    const PairFormCase& p = GetParam();
    const Expression f = Expression::variable_leaf(0);
    const Expression g = Expression::variable_leaf(1);
    const Expression form = pair_form(f, p.a, g, p.b, p.c);
    EXPECT_EQ(form.complexity, p.complexity) << form.formula;
    EXPECT_EQ(form.tokens.size(), form.complexity);
    EXPECT_EQ(form.tokens.back().id, p.last_op);
    EXPECT_EQ(form.var_count, 2);
    const std::vector<Complex> at{{2.0, 0.0}, {5.0, 0.0}};
    const std::optional<Complex> value = eval(form, at, test::builtins().operators());
    ASSERT_TRUE(value);
    EXPECT_DOUBLE_EQ(value->re, p.a * 2.0 + p.b * 5.0 + p.c);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PairFormTest,
    ::testing::Values(PairFormCase{"sum", 1.0, 1.0, 0.0, 3, builtin_id::plus},
                      PairFormCase{"difference", 1.0, -1.0, 0.0, 3, builtin_id::subtract},
                      PairFormCase{"negated_first", -1.0, 1.0, 0.0, 4, builtin_id::plus},
                      PairFormCase{"all_numbers", 2.5, -0.5, 1.25, 9, builtin_id::plus}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Recoveries --------------------------------------------------------------------------------

struct RecoveryCase {
    const char* name;
    std::uint64_t max_complexity;
    std::function<double(double, double)> truth;
    double low;
    double high;
    std::uint64_t complexity;  // of the exact formula found
};

class ThoroughRecovery : public ::testing::TestWithParam<RecoveryCase> {};

TEST_P(ThoroughRecovery, FindsTheExactFormula) {
    const RecoveryCase& c = GetParam();
    Rows rows;
    std::vector<double> targets;
    for (int i = 0; i < 60; ++i) {
        const double x0 = c.low + (c.high - c.low) * std::fmod(0.618034 * i, 1.0);
        const double x1 = c.low + (c.high - c.low) * std::fmod(0.414214 * i + 0.3, 1.0);
        rows.push_back({x0, x1});
        targets.push_back(c.truth(x0, x1));
    }
    const Searched run = search(rows, targets, thorough(c.max_complexity));
    const SearchResult& best = results(run).front();
    EXPECT_LE(best.error, 1e-12) << best.expression.formula;
    EXPECT_EQ(best.expression.complexity, c.complexity) << best.expression.formula;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ThoroughRecovery,
    ::testing::Values(
        RecoveryCase{"line", 5, [](double x, double) { return 2.5 * x + 1.3; }, 0.0, 1.0, 5},
        RecoveryCase{"boltzmann", 5, [](double x, double y) { return std::exp(-x / y); }, 1.0, 5.0,
                     5},
        RecoveryCase{"power", 5, [](double x, double y) { return std::pow(x, y); }, 0.1, 1.0, 5},
        RecoveryCase{"scaled_product", 5, [](double x, double y) { return 9.81 * x * y; }, 1.0, 5.0,
                     5},
        RecoveryCase{"sum_of_sines", 4,
                     [](double x, double y) { return std::sin(x) + std::sin(y * y); }, -1.0, 1.0,
                     7},
        RecoveryCase{"cubic", 5, [](double x, double) { return x * x * x + x * x + x; }, -1.0, 1.0,
                     9},
        RecoveryCase{"quartic_sum", 5,
                     [](double x, double) { return x * x * x * x + x * x * x + x * x + x; }, -1.0,
                     1.0, 13},
        RecoveryCase{"sum_of_cubes", 5,
                     [](double x, double y) { return x * x * x / 5 + y * y * y / 2 - y - x; }, -3.0,
                     3.0, 19}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ThoroughSearch, TheLineComesBackWithItsNumbers) {
    Rows rows;
    std::vector<double> targets;
    for (int i = 0; i < 20; ++i) {
        rows.push_back({i / 19.0});
        targets.push_back(2.5 * (i / 19.0) + 1.3);
    }
    const Searched run = search(rows, targets, thorough(5));
    const SearchResult& best = results(run).front();
    ASSERT_EQ(best.expression.tokens.size(), 5u);
    EXPECT_NEAR(best.expression.tokens[0].value.re, 2.5, 1e-12);
    EXPECT_NEAR(best.expression.tokens[3].value.re, 1.3, 1e-12);
}

// ---- Determinism and limits ---------------------------------------------------------------------

TEST(ThoroughSearch, SameResultForEveryThreadCount) {
    Rows rows;
    std::vector<double> targets;
    for (int i = 0; i < 300; ++i) {  // more rows than the sample: the subsample is used too
        const double x = -2.0 + 4.0 * std::fmod(0.7548776662 * i, 1.0);
        rows.push_back({x});
        targets.push_back(x * std::sin(x) + 0.01 * std::sin(37.0 * i));
    }
    SearchConfig config = thorough(6);
    config.disable_early_exit = true;
    std::vector<Searched> runs;
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
    }
}

class TimeLimit : public ::testing::TestWithParam<Strategy> {};

// A search far too large for its limit still returns the best formulas of the levels it finished
// and says why it stopped.
TEST_P(TimeLimit, ReturnsTheFormulasFoundSoFar) {
    Rows rows;
    std::vector<double> targets;
    for (int i = 0; i < 50; ++i) {
        const double x = 0.1 * i;
        rows.push_back({x, 1.0 + x * x});
        targets.push_back(std::sin(x) * std::log(2.0 + x) + std::sqrt(x + 0.5));
    }
    SearchConfig config(40, 0.1, 100000);
    config.strategy = GetParam();
    config.time_limit = 0.2;
    const Searched run = search(rows, targets, config);
    ASSERT_TRUE(std::holds_alternative<std::vector<SearchResult>>(run.outcome));
    EXPECT_FALSE(results(run).empty());
    ASSERT_FALSE(run.lines.empty());
    EXPECT_NE(run.lines.back().find("[KOV-SR] Time limit of 200ms reached at level "),
              std::string::npos)
        << run.lines.back();
}

INSTANTIATE_TEST_SUITE_P(Strategies, TimeLimit,
                         ::testing::Values(Strategy::classic, Strategy::thorough),
                         [](const auto& info) {
                             return info.param == Strategy::classic ? "classic" : "thorough";
                         });

TEST(ThoroughSearch, CancellationStillWins) {
    const Rows rows = {{1.0}, {2.0}, {3.0}};
    SearchConfig config = thorough(12);
    config.time_limit = 30.0;
    const Searched run = search(rows, {0.3, 0.1, 0.7}, config, [] { return true; });
    ASSERT_TRUE(std::holds_alternative<SearchError>(run.outcome));
    EXPECT_EQ(std::get<SearchError>(run.outcome).kind, SearchError::Kind::Cancelled);
}

// Logarithms of sums of products come from the sums fitted to exp(y), long before the levels
// would build them: exact, and within the levels' first few.
struct LogarithmCase {
    const char* name;
    double (*truth)(double);
    double low;
    double high;
};

class LogarithmOfSum : public ::testing::TestWithParam<LogarithmCase> {};

TEST_P(LogarithmOfSum, IsFoundExactly) {
    const LogarithmCase& c = GetParam();
    Rows rows;
    std::vector<double> targets;
    for (int i = 0; i < 20; ++i) {
        const double x = c.low + (c.high - c.low) * i / 19.0;
        rows.push_back({x});
        targets.push_back(c.truth(x));
    }
    const Searched run = search(rows, targets, thorough(5));
    EXPECT_TRUE(std::any_of(results(run).begin(), results(run).end(), [](const SearchResult& r) {
        return r.error <= 1e-12;
    })) << results(run).front().expression.formula;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogarithmOfSum,
    ::testing::Values(
        LogarithmCase{"two_logarithms",
                      [](double x) { return std::log(x + 1) + std::log(x * x + 1); }, 0.0, 2.0},
        LogarithmCase{"cubic", [](double x) { return std::log(x * x * x + 2 * x + 1); }, 0.0, 3.0},
        LogarithmCase{"log_of_a_product_and_a_power",
                      [](double x) { return 2.0 * std::log(x) + std::log(x + 3); }, 0.5, 4.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ThoroughSearch, StopsAtTheGivenNoiseFloor) {
    Rows rows;
    std::vector<double> targets;
    for (int i = 0; i < 80; ++i) {
        const double x = 0.05 * i;
        rows.push_back({x});
        targets.push_back(3.0 * x + 0.5 + 0.05 * std::sin(91.0 * i));
    }
    SearchConfig config = thorough(9);
    config.noise = 0.05;
    const Searched run = search(rows, targets, config);
    EXPECT_TRUE(std::any_of(results(run).begin(), results(run).end(), [](const SearchResult& r) {
        return r.expression.complexity <= 5 && r.error <= 0.05;
    }));
    // Seeding and the levels below the line's five tokens, searched whole: then it stops.
    EXPECT_LE(run.lines.size(), 4u);
}

}  // namespace
}  // namespace kov

namespace kov {
namespace {

// ---- Maps that snapping made trivial -----------------------------------------------------------

struct TrivialCase {
    const char* name;
    double scale;
    double offset;
    std::size_t complexity;  // after dropping
};

class TrivialMapTest : public ::testing::TestWithParam<TrivialCase> {};

TEST_P(TrivialMapTest, DropsOnlyWhatDoesNothing) {
    const TrivialCase& c = GetParam();
    // Forms as the search builds them before snapping: both numbers present.
    const Expression f =
        Expression::binary(test::builtins(), builtin_id::plus, Expression::variable_leaf(0),
                           Expression::variable_leaf(1));
    Expression form = affine_form(f, 2.0, 3.0);
    form.tokens.front() = Token::real(c.scale);
    form.tokens[form.tokens.size() - 2] = Token::real(c.offset);
    const Expression simpler = without_trivial_map(form);
    EXPECT_EQ(simpler.complexity, c.complexity);
    EXPECT_EQ(simpler.tokens.size(), simpler.complexity);
    const std::vector<Complex> point = {{1.5, 0.0}, {0.25, 0.0}};
    const std::optional<Complex> value = eval(simpler, point, test::builtins().operators());
    ASSERT_TRUE(value);
    EXPECT_DOUBLE_EQ(value->re, c.scale * 1.75 + c.offset);
}

INSTANTIATE_TEST_SUITE_P(Cases, TrivialMapTest,
                         ::testing::Values(TrivialCase{"nothing_trivial", 2.0, 3.0, 7},
                                           TrivialCase{"unit_scale", 1.0, 3.0, 5},
                                           TrivialCase{"zero_offset", 2.0, 0.0, 5},
                                           TrivialCase{"both", 1.0, 0.0, 3},
                                           TrivialCase{"negated", -1.0, 0.0, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TrivialMap, LeavesOtherShapesAlone) {
    // Times(1, v0) inside Plus(…, v1): the outer operator is not the map's.
    const Expression inner = affine_form(Expression::variable_leaf(0), 3.0, 0.0);
    Expression form =
        Expression::binary(test::builtins(), builtin_id::plus, inner, Expression::variable_leaf(1));
    form.tokens.front() = Token::real(1.0);
    EXPECT_EQ(without_trivial_map(form).complexity, form.complexity);
}

}  // namespace
}  // namespace kov

namespace kov {
namespace {

// ---- Shapes of input the classic search accepts
// --------------------------------------------------

struct ShapeCase {
    const char* name;
    Rows rows;
    std::vector<double> targets;
};

class ThoroughShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ThoroughShapes, ReturnsAFront) {
    const ShapeCase& c = GetParam();
    SearchConfig config = thorough(4);
    config.time_limit = 2.0;  // past max_complexity only while time is left
    SearchHooks hooks;
    const SearchOutcome outcome = run_bfs(c.rows, c.targets, config, hooks);
    ASSERT_TRUE(std::holds_alternative<std::vector<SearchResult>>(outcome));
    const auto& found = std::get<std::vector<SearchResult>>(outcome);
    ASSERT_FALSE(found.empty());
    EXPECT_TRUE(std::isfinite(found.front().error));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ThoroughShapes,
    ::testing::Values(ShapeCase{"one_row", {{2.0}}, {7.5}},
                      ShapeCase{"no_variables", {{}, {}}, {3.14, 3.15}},
                      ShapeCase{"unequal_rows", {{1.0, 2.0}, {3.0}, {4.0, 1.0}}, {1.0, 2.0, 3.0}},
                      ShapeCase{"constant_targets", {{1.0}, {2.0}, {3.0}}, {4.0, 4.0, 4.0}},
                      ShapeCase{"huge_targets", {{1.0}, {2.0}, {3.0}}, {1e150, -1e150, 1e150}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kov
