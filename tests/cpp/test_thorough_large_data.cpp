// The thorough search on more rows than it confirms candidates on: the errors it returns are those
// of all rows, and the answer does not depend on the thread count.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "bits.hpp"
#include "engine/entry/run_bfs.hpp"
#include "engine/levels/pool.hpp"
#include "portable_noise.hpp"

namespace kov {
namespace {

struct LargeData {
    std::vector<std::vector<double>> rows;
    std::vector<double> targets;
};

LargeData x_sin_x(int count) {
    LargeData data;
    test::PortableNoise noise(23);
    for (int i = 0; i < count; ++i) {
        const double x = -5.0 + 10.0 * noise.uniform();
        data.rows.push_back({x});
        data.targets.push_back(x * std::sin(x) + 0.03 * noise.gaussian());
    }
    return data;
}

std::vector<SearchResult> search(const LargeData& data) {
    SearchConfig config(6, 0.1, 1000);
    config.strategy = Strategy::thorough;
    return std::get<std::vector<SearchResult>>(run_bfs(data.rows, data.targets, config));
}

TEST(ThoroughLargeData, ErrorsAreThoseOfAllRows) {
    const LargeData data = x_sin_x(1500);
    for (const SearchResult& result : search(data)) {
        double squares = 0.0;
        for (std::size_t j = 0; j < data.rows.size(); ++j) {
            const double residual = result.eval_multi(data.rows[j]) - data.targets[j];
            squares += residual * residual;
        }
        const double error = std::sqrt(squares / static_cast<double>(data.rows.size()));
        EXPECT_NEAR(result.error, error, 1e-12 * (1.0 + error)) << result.expression.formula;
    }
}

TEST(ThoroughLargeData, SameResultForEveryThreadCount) {
    const LargeData data = x_sin_x(1500);
    std::vector<std::vector<SearchResult>> runs;
    for (std::size_t threads : {1u, 2u, 3u}) {
        set_worker_count(threads);
        runs.push_back(search(data));
    }
    set_worker_count(0);
    for (std::size_t t = 1; t < runs.size(); ++t) {
        ASSERT_EQ(runs[0].size(), runs[t].size());
        for (std::size_t i = 0; i < runs[0].size(); ++i) {
            EXPECT_EQ(runs[0][i].expression.formula, runs[t][i].expression.formula);
            EXPECT_EQ(test::bits_of(runs[0][i].error), test::bits_of(runs[t][i].error));
        }
    }
}

}  // namespace
}  // namespace kov
