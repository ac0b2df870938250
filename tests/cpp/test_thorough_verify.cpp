// What the thorough front admits: formulas whose values rest on rounding, branch cuts or dropped
// imaginary parts stay out; cleaned formulas compute the same values; an exact formula ends the
// search even when every level was asked for.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "engine/entry/run_bfs.hpp"
#include "engine/select/formula_cleanup.hpp"
#include "engine/select/result_criterion.hpp"
#include "engine/thorough/thorough_front.hpp"
#include "engine/thorough/thorough_verify.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/registry.hpp"
#include "portable_noise.hpp"

namespace kov {
namespace {

namespace id = builtin_id;
using Build = std::function<Expression(const OperatorRegistry&)>;

const OperatorRegistry& registry() {
    static const OperatorRegistry instance = OperatorRegistry::with_builtins();
    return instance;
}

Build v(std::uint8_t i) {
    return [i](const OperatorRegistry&) { return Expression::variable_leaf(i); };
}
Build c(std::size_t constant) {
    return [constant](const OperatorRegistry& r) { return Expression::constant_leaf(r, constant); };
}
Build n(double value) {
    return [value](const OperatorRegistry&) {
        Expression leaf;
        leaf.tokens.push_back(Token::real(value));
        leaf.formula = std::to_string(value);
        leaf.complexity = 1;
        return leaf;
    };
}
Build u(std::size_t op, Build a) {
    return [op, a](const OperatorRegistry& r) { return Expression::unary(r, op, a(r)); };
}
Build b(std::size_t op, Build a, Build second) {
    return [op, a, second](const OperatorRegistry& r) {
        return Expression::binary(r, op, a(r), second(r));
    };
}

// Rows of `variables` columns, each spread over [low, high], and targets that only set the scale.
ComplexRows rows_over(std::size_t variables, double low, double high, std::size_t count = 40) {
    ComplexRows rows;
    for (std::size_t j = 0; j < count; ++j) {
        std::vector<Complex> row;
        for (std::size_t k = 0; k < variables; ++k) {
            const double t = std::fmod(0.37 * static_cast<double>(j * (k + 1)) + 0.11 * k, 1.0);
            row.push_back({low + (high - low) * t, 0.0});
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

struct VerifyCase {
    const char* name;
    Build formula;
    std::size_t variables;
    double low;
    double high;
    Soundness expected;
};

class VerifierTable : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(VerifierTable, TellsSoundFromUnsound) {
    const VerifyCase& k = GetParam();
    const ComplexRows rows = rows_over(k.variables, k.low, k.high);
    const std::vector<double> targets(rows.size(), 1.0);
    const FormulaVerifier verifier(rows, targets, registry().operators());
    const Expression formula = k.formula(registry());
    EXPECT_EQ(verifier.check(formula), k.expected) << formula.formula;
}

const Build tan_arcsin = u(id::tan, u(id::arcsin, v(2)));

INSTANTIATE_TEST_SUITE_P(
    Cases, VerifierTable,
    ::testing::Values(
        // A huge number times the rounding of pi/2: tan(arcsin x) is imaginary for x > 1.
        VerifyCase{"rounding_of_half_pi",
                   b(id::times, n(1.6331239353195372e16),
                     b(id::times, v(0), b(id::divide, v(1), tan_arcsin))),
                   3, 1.0, 5.0, Soundness::unsound},
        // A period of tan found by rounding a large shift.
        VerifyCase{"period_from_rounding",
                   u(id::arctan, u(id::tan, b(id::plus, n(-21088072692325.008), v(0)))), 1, 0.0,
                   1.0, Soundness::unsound},
        // The value jumps between ±pi/2 with the sign of a residue on a branch cut.
        VerifyCase{"residue_on_a_cut", u(id::arctan, u(id::cos, u(id::arcsin, u(id::exp, v(0))))),
                   1, 0.1, 2.0, Soundness::unsound},
        // Log of a negative number: only the real-part rule makes it real.
        VerifyCase{"log_of_log", u(id::log, u(id::log, v(0))), 1, 0.3, 3.0, Soundness::unsound},
        VerifyCase{"imaginary_term", b(id::plus, v(0), c(id::imaginary_unit)), 1, 1.0, 2.0,
                   Soundness::unsound},
        // The side of the cut picked by a signed zero: i·sqrt(-x).
        VerifyCase{"signed_zero_side",
                   b(id::times, c(id::imaginary_unit), u(id::sqrt, u(id::neg, v(0)))), 1, 1.0, 2.0,
                   Soundness::unsound},
        VerifyCase{"product", b(id::divide, b(id::times, v(0), v(1)), v(2)), 3, 1.0, 5.0,
                   Soundness::sound},
        // A complex intermediate whose imaginary part cancels: sinh x.
        VerifyCase{"sinh_through_i",
                   b(id::times, c(id::imaginary_unit),
                     u(id::sin, b(id::divide, v(0), c(id::imaginary_unit)))),
                   1, -2.0, 2.0, Soundness::sound},
        VerifyCase{"arcsin_inside_its_domain", u(id::arcsin, b(id::times, n(0.5), v(0))), 1, -1.0,
                   1.0, Soundness::sound},
        VerifyCase{"sqrt_inside_its_domain", u(id::sqrt, b(id::subtract, v(0), n(0.0))), 1, 0.0,
                   1.0, Soundness::sound}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Verifier, FormulaRealOnTheRowsOnlyIsKeptAside) {
    // x0 > x1 on every row, but not over the box they span.
    ComplexRows rows;
    for (int j = 0; j < 30; ++j) {
        const double x1 = 0.1 * j;
        rows.push_back({{x1 + 1.0, 0.0}, {x1, 0.0}});
    }
    const std::vector<double> targets(rows.size(), 1.0);
    const FormulaVerifier verifier(rows, targets, registry().operators());
    const Expression formula = u(id::sqrt, b(id::subtract, v(0), v(1)))(registry());
    EXPECT_EQ(verifier.check(formula), Soundness::unsound_on_box);
}

struct CleanupCase {
    const char* name;
    Build formula;
    const char* expected;
};

class CleanupTable : public ::testing::TestWithParam<CleanupCase> {};

TEST_P(CleanupTable, RemovesWhatDoesNothingAndKeepsTheValues) {
    const CleanupCase& k = GetParam();
    const ComplexRows rows = rows_over(3, 0.5, 2.0);
    const Expression formula = k.formula(registry());
    const Expression cleaned = cleaned_formula(formula, registry(), rows, 1.0);
    EXPECT_EQ(cleaned.formula, k.expected);
    EXPECT_EQ(cleaned.complexity, cleaned.tokens.size());
    for (const auto& row : rows) {
        const std::optional<Complex> before = eval(formula, row, registry().operators());
        const std::optional<Complex> after = eval(cleaned, row, registry().operators());
        ASSERT_TRUE(before && after);
        EXPECT_NEAR(before->re, after->re, 1e-12 * (1.0 + std::fabs(before->re)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CleanupTable,
    ::testing::Values(
        CleanupCase{"zero_term", b(id::subtract, b(id::times, n(0.0), v(2)), u(id::sin, v(0))),
                    "Neg(Sin(v_{0}))"},
        CleanupCase{"unit_factor", b(id::times, n(1.0), u(id::exp, v(1))), "Exp(v_{1})"},
        CleanupCase{"minus_one_factor", b(id::times, v(0), n(-1.0)), "Neg(v_{0})"},
        CleanupCase{"unit_divisor", b(id::divide, v(0), c(id::one)), "v_{0}"},
        CleanupCase{"double_negation", u(id::neg, u(id::neg, v(1))), "v_{1}"},
        CleanupCase{"imaginary_term",
                    b(id::plus, b(id::times, v(0), v(1)),
                      b(id::plus, c(id::imaginary_unit), u(id::cos, v(2)))),
                    "Plus(Times(v_{0}, v_{1}), Cos(v_{2}))"},
        // Under a square root the imaginary term changes the real part: it stays.
        CleanupCase{"imaginary_term_that_matters",
                    u(id::sqrt, b(id::plus, v(0), c(id::imaginary_unit))), "Sqrt(Plus(v_{0}, I))"},
        CleanupCase{"nothing_to_remove", b(id::plus, v(0), n(0.5)), "Plus(v_{0}, 0.500000)"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Stopping once exact -----------------------------------------------------------------------

struct ExactStopCase {
    const char* name;
    std::function<double(double)> truth;
    std::uint64_t exact_complexity;
};

class ExactStop : public ::testing::TestWithParam<ExactStopCase> {};

// With every level asked for (as find_candidates asks) and a long time limit, an exact formula
// still ends the search: no level far past its complexity runs, and no time-limit line appears.
TEST_P(ExactStop, EndsTheSearchWhenEveryLevelWasAskedFor) {
    const ExactStopCase& k = GetParam();
    std::vector<std::vector<double>> rows;
    std::vector<double> targets;
    for (int i = 0; i < 20; ++i) {
        const double x = 0.15 * i;
        rows.push_back({x});
        targets.push_back(k.truth(x));
    }
    SearchConfig config(10, 0.1, 1000);
    config.strategy = Strategy::thorough;
    config.time_limit = 600.0;
    config.disable_early_exit = true;
    SearchStats stats;
    std::vector<std::string> lines;
    SearchHooks hooks;
    hooks.progress = [&](std::string_view line) { lines.emplace_back(line); };
    hooks.stats = &stats;
    const SearchOutcome outcome = run_bfs(rows, targets, config, hooks);
    const auto& results = std::get<std::vector<SearchResult>>(outcome);
    ASSERT_FALSE(results.empty());
    EXPECT_LE(results.front().expression.complexity, k.exact_complexity);
    EXPECT_LE(results.front().error, 1e-10);
    // The line is exact among the seeds' affine forms: no level runs at all.
    if (!stats.levels.empty()) {
        EXPECT_LE(stats.levels.back().level, k.exact_complexity + 1);
    }
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("Time limit"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExactStop,
    ::testing::Values(ExactStopCase{"damped_cosine",
                                    [](double x) { return std::exp(-x) * std::cos(x); }, 6},
                      ExactStopCase{"line", [](double x) { return 2.5 * x + 1.3; }, 5}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kov

namespace kov {
namespace {

// ---- Parsimony with noise ----------------------------------------------------------------------

struct ParsimonyCase {
    const char* name;
    std::function<double(double, double)> truth;
    Build structure;  // the truth's structure
    Build small;      // a term that can only fit the noise
};

class Parsimony : public ::testing::TestWithParam<ParsimonyCase> {};

// On 100 rows with 1% noise the criterion prefers the true structure to the same structure plus a
// small term fitted to the noise, although the longer formula's error is lower.
TEST_P(Parsimony, ShortStructureBeatsTheSamePlusSmallTerms) {
    const ParsimonyCase& k = GetParam();
    const auto shared = std::make_shared<OperatorRegistry>(OperatorRegistry::with_builtins());
    std::vector<std::vector<double>> rows;
    std::vector<double> targets;
    test::PortableNoise noise(23);
    for (int j = 0; j < 100; ++j) {
        const double x0 = 1.0 + 4.0 * std::fmod(0.618034 * j, 1.0);
        const double x1 = 1.0 + 4.0 * std::fmod(0.414214 * j + 0.3, 1.0);
        rows.push_back({x0, x1});
        targets.push_back(k.truth(x0, x1));
    }
    double square_sum = 0.0;
    for (double t : targets) square_sum += t * t;
    const double rms = std::sqrt(square_sum / 100.0);
    for (double& t : targets) t += 0.01 * rms * noise.gaussian();
    const Expression f = k.structure(*shared);
    const Expression g = k.small(*shared);
    // The small term's least-squares coefficient on what the structure leaves.
    double gr = 0.0, gg = 0.0;
    for (std::size_t j = 0; j < rows.size(); ++j) {
        const std::vector<Complex> point{{rows[j][0], 0.0}, {rows[j][1], 0.0}};
        const double fv = eval(f, point, shared->operators())->re;
        const double gv = eval(g, point, shared->operators())->re;
        gr += gv * (targets[j] - fv);
        gg += gv * gv;
    }
    const Expression longer = b(id::plus, k.structure, b(id::times, n(gr / gg), k.small))(*shared);
    std::vector<SearchResult> results{SearchResult{longer, shared}, SearchResult{f, shared}};
    for (SearchResult& r : results) {
        double sse = 0.0;
        for (std::size_t j = 0; j < rows.size(); ++j) {
            const std::vector<Complex> point{{rows[j][0], 0.0}, {rows[j][1], 0.0}};
            const double residual = eval(r.expression, point, shared->operators())->re - targets[j];
            sse += residual * residual;
        }
        r.error = std::sqrt(sse / 100.0);
    }
    ASSERT_LT(results[0].error, results[1].error);
    SearchConfig config(10, 0.1, 1000);
    config.strategy = Strategy::thorough;
    attach_description_lengths(results, rows, targets, config);
    EXPECT_EQ(select_by_description_length(results), std::optional<std::size_t>(1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Parsimony,
    ::testing::Values(ParsimonyCase{"force", [](double q, double e) { return q * e; },
                                    b(id::times, v(0), v(1)), u(id::sin, v(0))},
                      ParsimonyCase{"wave_number", [](double w, double c) { return w / c; },
                                    b(id::divide, v(0), v(1)), u(id::tan, u(id::sin, v(1)))},
                      ParsimonyCase{"x_sin_x", [](double x, double) { return x * std::sin(x); },
                                    b(id::times, v(0), u(id::sin, v(0))),
                                    u(id::inv, u(id::cos, v(0)))}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kov

namespace kov {
namespace {

// The front with its gate: an unsound formula never takes a place, however small its error; one
// unsound only between the rows stands in only where nothing sound of its size was offered.
TEST(GatedFront, KeepsUnsoundFormulasOut) {
    const auto shared = std::make_shared<OperatorRegistry>(OperatorRegistry::with_builtins());
    ComplexRows rows;
    std::vector<double> targets;
    for (int j = 0; j < 30; ++j) {
        const double x1 = 0.1 * j;
        rows.push_back({{x1 + 1.0, 0.0}, {x1, 0.0}});
        targets.push_back(1.0);
    }
    ThoroughFront front;
    front.set_gate(std::make_shared<FrontGate>(rows, targets, shared));
    const Expression log_of_negative = u(id::log, u(id::neg, v(0)))(*shared);
    const Expression sound = u(id::exp, u(id::neg, v(0)))(*shared);
    const Expression between_rows = u(id::sqrt, b(id::subtract, v(0), v(1)))(*shared);
    const Expression root_of_sum = u(id::sqrt, b(id::plus, v(0), v(1)))(*shared);
    front.offer(log_of_negative, 0.0);
    front.offer(sound, 0.5);
    front.offer(between_rows, 0.0);
    SearchConfig config;
    const auto results = std::get<std::vector<SearchResult>>(front.finalize(shared, config, 0.0));
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].expression.formula, between_rows.formula);  // nothing else of its size
    EXPECT_EQ(results[1].expression.formula, sound.formula);
    // Sound, of the same size as the stand-in: it takes the place although less accurate.
    front.offer(root_of_sum, 0.25);
    const auto again = std::get<std::vector<SearchResult>>(front.finalize(shared, config, 0.0));
    EXPECT_EQ(again.front().expression.formula, root_of_sum.formula);
}

}  // namespace
}  // namespace kov
