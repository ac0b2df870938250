// Products of powers fitted in logarithms: the written form, and structures the thorough search
// must reach through them at a depth where the levels alone cannot build them.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "engine/entry/run_bfs.hpp"
#include "engine/levels/pool.hpp"
#include "engine/thorough/thorough_products.hpp"
#include "test_support.hpp"

namespace kov {
namespace {

using Factor = ProductSearch::Factor;

struct FormCase {
    const char* name;
    std::vector<Factor> factors;
    const char* formula;
};

class ProductFormTest : public ::testing::TestWithParam<FormCase> {};

TEST_P(ProductFormTest, WritesPowersWithTheGrammarsOperators) {
    const FormCase& c = GetParam();
    EXPECT_EQ(ProductSearch::product_form(test::builtins(), c.factors).formula, c.formula);
}

Factor x(std::uint8_t i, int halves) {
    return {Expression::variable_leaf(i), halves};
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ProductFormTest,
    ::testing::Values(
        FormCase{"square_over", {x(0, 4), x(1, -2)}, "Divide(Times(v_{0}, v_{0}), v_{1})"},
        FormCase{"roots_share_one_sqrt",
                 {x(0, 2), x(1, 1), x(2, -1)},
                 "Times(v_{0}, Sqrt(Divide(v_{1}, v_{2})))"},
        FormCase{
            "only_divisors", {x(0, -2), x(1, -3)}, "Inv(Times(Times(v_{0}, v_{1}), Sqrt(v_{1})))"},
        FormCase{"root_below", {x(0, 2), x(1, -1)}, "Divide(v_{0}, Sqrt(v_{1}))"}),
    [](const auto& info) { return std::string(info.param.name); });

struct StructureCase {
    const char* name;
    std::size_t variables;
    std::uint64_t max_complexity;  // below what the levels would need for the formula
    std::function<double(const std::vector<double>&)> truth;
};

class ProductStructureTest : public ::testing::TestWithParam<StructureCase> {};

TEST_P(ProductStructureTest, IsFoundExactly) {
    const StructureCase& c = GetParam();
    std::vector<std::vector<double>> rows;
    std::vector<double> targets;
    for (int i = 1; i <= 60; ++i) {
        std::vector<double> row;
        // Each variable strides by its own irrational step, so that none follows another.
        constexpr double primes[] = {2.0, 3.0, 5.0, 7.0, 11.0, 13.0};
        for (std::size_t v = 0; v < c.variables; ++v) {
            row.push_back(1.0 + 4.0 * std::fmod(std::sqrt(primes[v]) * i + 0.1, 1.0));
        }
        targets.push_back(c.truth(row));
        rows.push_back(std::move(row));
    }
    SearchConfig config(c.max_complexity, 0.1, 1000);
    config.strategy = Strategy::thorough;
    const SearchOutcome outcome = run_bfs(rows, targets, config, {});
    const auto& results = std::get<std::vector<SearchResult>>(outcome);
    ASSERT_FALSE(results.empty());
    double scale = 0.0;
    for (double t : targets) scale = std::fmax(scale, std::fabs(t));
    EXPECT_LE(results.front().error, 1e-9 * scale) << results.front().expression.formula;
}

INSTANTIATE_TEST_SUITE_P(
    Structures, ProductStructureTest,
    ::testing::Values(
        // 17 tokens: only the fit in logarithms reaches it at level 1.
        StructureCase{"monomial_of_five", 5, 2,
                      [](const auto& r) {
                          return 0.4 * r[0] * r[0] * r[0] * r[1] * std::sqrt(r[2]) /
                                 (r[3] * r[4] * r[4]);
                      }},
        // A monomial times a difference the third level builds.
        StructureCase{"monomial_times_difference", 5, 3,
                      [](const auto& r) { return r[0] * r[1] * (r[2] - r[3]) / r[4]; }},
        // Over the square root of a sum (a half power of a block).
        StructureCase{"over_root_of_sum", 3, 3,
                      [](const auto& r) { return r[0] * r[1] / std::sqrt(r[1] + r[2]); }},
        // Three blocks of the third level, none a monomial.
        StructureCase{"three_blocks", 3, 3,
                      [](const auto& r) { return (r[0] - r[1]) * (r[0] + r[2]) / (r[1] + r[2]); }},
        // A square root of a sum of squares of differences, found with the first level.
        StructureCase{"root_of_square_sum", 4, 2,
                      [](const auto& r) {
                          return r[0] * std::sqrt((r[1] - r[2]) * (r[1] - r[2]) + r[3] * r[3]);
                      }},
        // exp(M) − 1 of a small monomial as a divisor.
        StructureCase{
            "over_exponential_minus_one", 2, 2,
            [](const auto& r) { return r[0] * r[0] * r[0] / (std::exp(r[0] / r[1]) - 1.0); }},
        // A sum of two small monomials with fitted numbers.
        StructureCase{
            "sum_of_two_monomials", 4, 2,
            [](const auto& r) { return 0.5 * r[0] * r[1] * r[1] + r[2] * r[2] / (2.0 * r[3]); }},
        // exp(c·M) of a small monomial M, found with the first level.
        StructureCase{"exponential_of_monomial", 4, 2,
                      [](const auto& r) {
                          return 1.5 * r[0] * std::exp(-0.5 * r[1] * r[2] / (r[3] * r[3]));
                      }},
        // exp(u) from the block u the third level builds.
        StructureCase{"times_exponential", 3, 3,
                      [](const auto& r) { return 2.0 * r[0] * std::exp(-0.5 * r[1] / r[2]); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProductSearch, SameResultForEveryThreadCount) {
    std::vector<std::vector<double>> rows;
    std::vector<double> targets;
    for (int i = 1; i <= 200; ++i) {  // more rows than the sample: the subsample is used too
        const double x0 = 1.0 + 4.0 * std::fmod(std::sqrt(2.0) * i, 1.0);
        const double x1 = 1.0 + 4.0 * std::fmod(std::sqrt(3.0) * i, 1.0);
        const double x2 = 1.0 + 4.0 * std::fmod(std::sqrt(5.0) * i, 1.0);
        rows.push_back({x0, x1, x2});
        targets.push_back(x0 * (x1 + x2) * std::exp(-x1 / x2) + 0.01 * std::sin(37.0 * i));
    }
    SearchConfig config(4, 0.1, 1000);
    config.strategy = Strategy::thorough;
    config.disable_early_exit = true;
    std::vector<std::vector<SearchResult>> runs;
    for (std::size_t threads : {1u, 2u, 3u}) {
        set_worker_count(threads);
        runs.push_back(std::get<std::vector<SearchResult>>(run_bfs(rows, targets, config, {})));
    }
    set_worker_count(0);
    for (std::size_t t = 1; t < runs.size(); ++t) {
        ASSERT_EQ(runs[0].size(), runs[t].size());
        for (std::size_t i = 0; i < runs[0].size(); ++i) {
            EXPECT_EQ(runs[0][i].expression.formula, runs[t][i].expression.formula);
            EXPECT_EQ(runs[0][i].error, runs[t][i].error);
        }
    }
}

}  // namespace
}  // namespace kov
