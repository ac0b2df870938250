// Residual structure: what neighbouring rows share is signal a formula missed; noise they do not.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "engine/select/residual_structure.hpp"
#include "portable_noise.hpp"

namespace kov {
namespace {

using Rows = std::vector<std::vector<double>>;

struct StructureCase {
    const char* name;
    std::size_t rows;
    std::size_t variables;
    // Residual at a row, given its inputs and its index.
    std::function<double(const std::vector<double>&, std::size_t)> residual;
    bool noise;
};

class ResidualStructureTest : public ::testing::TestWithParam<StructureCase> {};

TEST_P(ResidualStructureTest, TellsSignalFromNoise) {
    const StructureCase& c = GetParam();
    Rows rows;
    std::vector<double> residuals;
    for (std::size_t i = 0; i < c.rows; ++i) {
        std::vector<double> row;
        // Unsorted on purpose: the test must find the neighbours itself.
        for (std::size_t v = 0; v < c.variables; ++v) {
            row.push_back(-2.0 + 4.0 * std::fmod(0.618034 * i + 0.414214 * v * i + 0.1 * v, 1.0));
        }
        residuals.push_back(c.residual(row, i));
        rows.push_back(std::move(row));
    }
    const ResidualStructure test(rows);
    EXPECT_EQ(test.looks_like_noise(residuals), c.noise) << test.p_value(residuals);
    EXPECT_EQ(test.p_value(residuals), test.p_value(residuals));  // deterministic
}

double gaussian_at(std::size_t i) {
    test::PortableNoise noise(1000 + i);
    return noise.gaussian();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResidualStructureTest,
    ::testing::Values(
        // A wave of two periods on 21 rows: what a wrong formula leaves on few noise-free rows.
        StructureCase{
            "wave_on_few_rows", 21, 1,
            [](const std::vector<double>& x, std::size_t) { return std::sin(3.1 * x[0]); }, false},
        StructureCase{"slow_trend", 200, 1,
                      [](const std::vector<double>& x, std::size_t i) {
                          return x[0] * x[0] + 0.3 * gaussian_at(i);
                      },
                      false},
        StructureCase{"surface", 80, 2,
                      [](const std::vector<double>& x, std::size_t) { return x[0] * x[1]; }, false},
        StructureCase{"noise_on_few_rows", 20, 1,
                      [](const std::vector<double>&, std::size_t i) { return gaussian_at(i); },
                      true},
        StructureCase{"noise", 500, 1,
                      [](const std::vector<double>&, std::size_t i) { return gaussian_at(i); },
                      true},
        StructureCase{"noise_in_three_variables", 300, 3,
                      [](const std::vector<double>&, std::size_t i) { return gaussian_at(i); },
                      true},
        // Beyond the rows the test looks at: an evenly spread subset still sees the trend.
        StructureCase{"trend_in_many_rows", 5000, 1,
                      [](const std::vector<double>& x, std::size_t i) {
                          return std::cos(x[0]) + 0.5 * gaussian_at(i);
                      },
                      false},
        StructureCase{"constant", 50, 1,
                      [](const std::vector<double>&, std::size_t) { return 0.25; }, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResidualStructure, CannotTellOnTooFewRows) {
    const Rows rows = {{0.0}, {1.0}, {2.0}, {3.0}};
    EXPECT_EQ(ResidualStructure(rows).p_value(std::vector<double>{0.0, 1.0, 2.0, 3.0}), 1.0);
    EXPECT_EQ(ResidualStructure(Rows{}).p_value(std::vector<double>{}), 1.0);
}

TEST(ResidualStructure, MissingOrNonFiniteResidualsAreStructure) {
    Rows rows;
    std::vector<double> residuals;
    for (int i = 0; i < 30; ++i) {
        rows.push_back({static_cast<double>((i * 7) % 30)});
        residuals.push_back(gaussian_at(i));
    }
    const ResidualStructure test(rows);
    EXPECT_TRUE(test.looks_like_noise(residuals));
    std::vector<double> broken = residuals;
    broken[3] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(test.p_value(broken), 0.0);
    broken = residuals;
    broken.resize(10);
    EXPECT_EQ(test.p_value(broken), 0.0);
}

}  // namespace
}  // namespace kov
