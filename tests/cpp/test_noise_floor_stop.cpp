// The thorough search's noise-floor stop: never on smooth noise-free data of few rows (where
// unresolved curvature looks like noise), always soon on noisy data with a formula at the noise.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "engine/entry/run_bfs.hpp"
#include "engine/select/model_selection.hpp"
#include "portable_noise.hpp"

namespace kov {
namespace {

struct StopCase {
    const char* name;
    std::function<double(double)> truth;
    double low;
    double high;
    int rows;
    double noise;  // relative to the RMS of the targets
    bool grid;     // evenly spaced rows, else a low-discrepancy spread
    bool stops;    // the noise floor must end the search before its last level
};

struct StopRun {
    std::size_t levels = 0;  // levels searched after seeding
    double relative_error = 0.0;
};

constexpr std::uint64_t max_complexity = 6;

StopRun run(const StopCase& c) {
    std::vector<std::vector<double>> rows;
    std::vector<double> targets;
    double squares = 0.0;
    for (int i = 0; i < c.rows; ++i) {
        const double spread = c.grid ? i / (c.rows - 1.0) : std::fmod(0.618034 * (i + 1), 1.0);
        const double x = c.low + (c.high - c.low) * spread;
        rows.push_back({x});
        targets.push_back(c.truth(x));
        squares += targets.back() * targets.back();
    }
    const double rms = std::sqrt(squares / c.rows);
    test::PortableNoise noise(17);
    for (double& y : targets) y += c.noise * rms * noise.gaussian();

    SearchConfig config(max_complexity, 0.1, 1000);
    config.strategy = Strategy::thorough;
    SearchStats stats;
    SearchHooks hooks;
    hooks.stats = &stats;
    const SearchOutcome outcome = run_bfs(rows, targets, config, hooks);
    StopRun out;
    out.levels = stats.levels.size();
    out.relative_error = std::get<std::vector<SearchResult>>(outcome).front().error / rms;
    return out;
}

class NoiseFloorStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(NoiseFloorStop, FiresOnlyOnNoise) {
    const StopCase& c = GetParam();
    const StopRun result = run(c);
    if (c.stops) {
        EXPECT_LT(result.levels, max_complexity - 1) << "the noise floor did not end the search";
        EXPECT_LT(result.relative_error, 2.0 * c.noise);
    } else {
        // An exact formula may end the search early; nothing else may.
        EXPECT_TRUE(result.levels == max_complexity - 1 || result.relative_error < 1e-10)
            << "stopped after " << result.levels << " levels at relative error "
            << result.relative_error;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoiseFloorStop,
    ::testing::Values(
        // Noise-free, few rows: local polynomials cannot resolve all of the curvature.
        StopCase{"wave_on_a_grid",
                 [](double x) { return 0.3 * x * std::sin(2 * std::numbers::pi * x); }, -1.0, 1.0,
                 21, 0.0, true, false},
        StopCase{"sextic",
                 [](double x) { return x * (1 + x * (1 + x * (1 + x * (1 + x * (1 + x))))); }, -1.0,
                 1.0, 20, 0.0, false, false},
        StopCase{"two_logarithms", [](double x) { return std::log(x + 1) + std::log(x * x + 1); },
                 0.0, 2.0, 20, 0.0, false, false},
        StopCase{"three_periods", [](double x) { return x * std::sin(x); }, 0.0, 10.0, 15, 0.0,
                 true, false},
        // Noisy, with the formula within reach: the search ends at the noise.
        StopCase{"x_sin_x", [](double x) { return x * std::sin(x); }, -5.0, 5.0, 100, 0.01, false,
                 true},
        StopCase{"x_sin_x_more_rows", [](double x) { return x * std::sin(x); }, -5.0, 5.0, 2000,
                 0.01, false, true},
        StopCase{"shifted_square", [](double x) { return x * x + 1.0; }, -2.0, 2.0, 60, 0.01, false,
                 true},
        StopCase{"decay", [](double x) { return std::exp(-x); }, 0.0, 3.0, 40, 0.05, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Twenty-one noise-free rows of two periods: the high degrees that follow the wave are local
// enough in one variable, so its curvature is not taken for noise.
TEST(NoiseEstimate, CurvatureOnFewRowsOfOneVariableIsNotNoise) {
    std::vector<std::vector<double>> rows;
    std::vector<double> wave;
    for (int i = 0; i <= 20; ++i) {
        const double x = -1.0 + 0.1 * i;
        rows.push_back({x});
        wave.push_back(0.3 * x * std::sin(2 * std::numbers::pi * x));
    }
    EXPECT_EQ(estimate_noise(rows, wave), 0.0);
}

}  // namespace
}  // namespace kov
