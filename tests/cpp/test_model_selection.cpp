#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "core/expression.hpp"
#include "engine/select/model_selection.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

TEST(DescriptionLength, NonFiniteErrorIsInfinite) {
    const NoiseModel noise{1.0, std::nullopt};
    EXPECT_EQ(description_length({inf, 10, 0, 3}, noise), inf);
    EXPECT_EQ(description_length({std::nan(""), 10, 0, 3}, noise), inf);
    EXPECT_TRUE(std::isfinite(description_length({0.0, 10, 2, 3}, noise)));
}

// Noise-free: an exact formula beats a more complex one that is exact as well, and one that is
// only nearly exact loses to an exact one even when it is shorter by a few tokens.
TEST(DescriptionLength, ExactFormulaWinsOnNoiseFreeData) {
    const NoiseModel noise{3.0, std::nullopt};
    const std::size_t n = 100;
    const double rounding = n * 1e-30;  // residuals of a few ulps at scale 3
    const double exact = description_length({rounding, n, 0, 5}, noise);
    EXPECT_LT(exact, description_length({0.0, n, 2, 9}, noise));
    EXPECT_LT(exact, description_length({n * 1e-6, n, 1, 3}, noise));
    // Two exact fits differing only in rounding: the shorter one wins.
    EXPECT_LT(description_length({n * 4e-28, n, 1, 5}, noise),
              description_length({0.0, n, 1, 7}, noise));
}

// Noisy: the true structure (SSE ≈ n·σ²) beats a longer formula with more constants that fits
// the noise a little better, with the noise known or estimated from the residuals.
TEST(DescriptionLength, TrueStructureWinsOnNoisyData) {
    const std::size_t n = 200;
    const double sigma = 0.01;
    const double truth_sse = n * sigma * sigma;
    const double overfit_sse = truth_sse * 0.9;
    for (const std::optional<double> known : {std::optional<double>{}, std::optional{sigma}}) {
        const NoiseModel noise{1.0, known};
        EXPECT_LT(description_length({truth_sse, n, 1, 5}, noise),
                  description_length({overfit_sse, n, 4, 13}, noise));
        // ... while a structure that misses the signal loses to it.
        EXPECT_LT(description_length({truth_sse, n, 1, 5}, noise),
                  description_length({truth_sse * 4, n, 0, 3}, noise));
    }
}

TEST(FormulaCost, CountsRealTokensAsFittedConstants) {
    Expression formula;
    formula.tokens = {Token::real(2.47), Token::var(1), Token::op(2, builtin_id::times),
                      Token::constant(builtin_id::pi, {3.141592653589793, 0.0}),
                      Token::op(2, builtin_id::plus)};
    const FormulaCost cost = formula_cost(formula, 0.5, 40, 2);
    EXPECT_EQ(cost.fitted_constants, 1u);
    EXPECT_EQ(cost.complexity, 5u);
    EXPECT_EQ(cost.rows, 40u);
    EXPECT_EQ(cost.alphabet_size, builtin_id::count + 2);
}

// A snapped number is named, not fitted: it leaves k and costs the naming of its choice, so that
// snapping can lower the description length.
TEST(FormulaCost, SimpleNumbersAreNamedNotFitted) {
    Expression formula;
    formula.tokens = {Token::real(2.0 * std::numbers::pi), Token::var(0),
                      Token::op(2, builtin_id::times), Token::real(1.3),
                      Token::op(2, builtin_id::plus)};
    const FormulaCost named = formula_cost(formula, 0.5, 100, 1);
    EXPECT_EQ(named.fitted_constants, 0u);
    EXPECT_GT(named.simple_constants, 0.0);
    formula.tokens[0] = Token::real(6.278);
    formula.tokens[3] = Token::real(1.2999999999999998);
    const FormulaCost fitted = formula_cost(formula, 0.5, 100, 1);
    EXPECT_EQ(fitted.fitted_constants, 2u);
    EXPECT_EQ(fitted.simple_constants, 0.0);
    const NoiseModel noise{1.0, 0.1};
    EXPECT_LT(description_length(named, noise), description_length(fitted, noise));
}

std::vector<std::vector<double>> one_variable(const std::vector<double>& xs) {
    std::vector<std::vector<double>> rows;
    for (const double x : xs) rows.push_back({x});
    return rows;
}

struct NoiseCase {
    const char* name;
    double sigma;
    bool two_variables;
    int rows = 400;
};

class NoiseEstimate : public testing::TestWithParam<NoiseCase> {};

TEST_P(NoiseEstimate, RecoversTheNoiseLevel) {
    const NoiseCase c = GetParam();
    std::mt19937_64 random(7);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(1.0, 5.0);
    std::vector<std::vector<double>> rows;
    std::vector<double> targets;
    for (int i = 0; i < c.rows; ++i) {
        if (c.two_variables) {
            const double a = uniform(random);
            const double b = uniform(random);
            rows.push_back({a, b});
            targets.push_back(std::sqrt(a * a + b * b) + c.sigma * gauss(random));
        } else {
            // Unsorted on purpose: the estimator must find the neighbours itself.
            const double x = 10.0 * ((i * 37) % c.rows) / c.rows;
            rows.push_back({x});
            targets.push_back(x * std::sin(x) + c.sigma * gauss(random));
        }
    }
    const double estimate = estimate_noise(rows, targets);
    if (c.sigma == 0.0) {
        EXPECT_EQ(estimate, 0.0) << "smooth noise-free data shows no noise floor";
    } else {
        EXPECT_GT(estimate, 0.7 * c.sigma);
        EXPECT_LT(estimate, 1.3 * c.sigma);
    }
    EXPECT_EQ(estimate, estimate_noise(rows, targets));  // deterministic
}

INSTANTIATE_TEST_SUITE_P(Series, NoiseEstimate,
                         testing::Values(NoiseCase{"one_free", 0.0, false},
                                         NoiseCase{"one_noisy", 0.05, false},
                                         NoiseCase{"two_free", 0.0, true},
                                         NoiseCase{"two_noisy", 0.05, true},
                                         // More rows than the estimator looks at: a subset.
                                         NoiseCase{"many_noisy", 0.05, false, 25000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NoiseEstimate, UnresolvedSignalIsNotTakenForNoise) {
    // Fifteen rows over three periods of x·sin x: local polynomials cannot follow the signal,
    // so their residuals fall with every degree and show no floor.
    std::vector<double> xs;
    std::vector<double> ys;
    for (int i = 0; i < 15; ++i) {
        xs.push_back(10.0 * i / 15.0);
        ys.push_back(xs.back() * std::sin(xs.back()));
    }
    EXPECT_EQ(estimate_noise(one_variable(xs), ys), 0.0);
}

TEST(NoiseEstimate, FewRowsInTwoVariablesShowNoFloor) {
    // Twenty rows of a noise-free surface that bends between them: every neighbourhood a local
    // polynomial needs holds much of the data, so what it leaves is signal, not noise.
    std::vector<std::vector<double>> rows;
    std::vector<double> ys;
    for (int i = 0; i < 20; ++i) {
        const double x = -3.0 + 6.0 * ((i * 7) % 20) / 19.0;
        const double y = -3.0 + 6.0 * ((i * 13) % 20) / 19.0;
        rows.push_back({x, y});
        ys.push_back(x * y + std::sin((x - 1.0) * (y - 1.0)));
    }
    EXPECT_EQ(estimate_noise(rows, ys), 0.0);
}

TEST(NoiseEstimate, TooLittleDataGivesZero) {
    EXPECT_EQ(estimate_noise({}, {}), 0.0);
    const std::vector<double> three{1.0, 2.0, 0.5};
    EXPECT_EQ(estimate_noise(one_variable({0.0, 1.0, 2.0}), three), 0.0);
    // A constant input says nothing about neighbourhoods.
    EXPECT_EQ(estimate_noise(one_variable({1.0, 1.0, 1.0}), three), 0.0);
}

}  // namespace
}  // namespace kov
