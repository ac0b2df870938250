// The thorough search's memory budget: its shares, the estimate of a kept expression's bytes, and
// giving back the row values of expressions that will never be parents again.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/levels/fingerprint_table.hpp"
#include "engine/thorough/thorough_memory.hpp"
#include "ops/builtin_ids.hpp"
#include "ops/registry.hpp"

namespace kov::bfs {
namespace {

class ShareMemoryTest : public ::testing::TestWithParam<double> {};

TEST_P(ShareMemoryTest, SharesStayWithinTheBudget) {
    const double total = GetParam();
    const ThoroughMemory memory = share_memory(total);
    const double fingerprints =
        static_cast<double>(memory.fingerprint_keys) * FingerprintTable::bytes_per_key();
    // A level's candidates are held twice while a round appends them.
    const double candidates =
        2.0 * static_cast<double>(memory.children_per_level * sizeof(Candidate));
    EXPECT_GT(memory.children_per_level, 0u);
    EXPECT_LE(memory.level_bytes + fingerprints + candidates, total);
    // After the set starts anew with every kept expression, a level's new keys still fit.
    const double most_kept = memory.level_bytes / expected_node_bytes(1, 1);
    EXPECT_LE(std::floor(most_kept) + static_cast<double>(memory.children_per_level),
              static_cast<double>(memory.fingerprint_keys));
}

INSTANTIATE_TEST_SUITE_P(Budgets, ShareMemoryTest, ::testing::Values(1e8, 1e9, 4e9));

// A chain Times(v_{0}, Times(v_{0}, … v_{0})) of the given complexity (odd).
Expression product_chain(const OperatorRegistry& registry, std::size_t complexity) {
    Expression e = Expression::variable_leaf(0);
    while (e.complexity < complexity) {
        e = Expression::binary(registry, builtin_id::times, Expression::variable_leaf(0), e);
    }
    return e;
}

struct EstimateCase {
    std::size_t complexity;
    std::size_t rows;
};

class NodeEstimateTest : public ::testing::TestWithParam<EstimateCase> {};

// The levels' budget is only kept if a built level takes no more than its estimate.
TEST_P(NodeEstimateTest, CoversABuiltLevel) {
    const EstimateCase c = GetParam();
    const OperatorRegistry registry = OperatorRegistry::with_builtins();
    constexpr std::size_t count = 200;
    Level level;
    level.expressions.assign(count, product_chain(registry, c.complexity));
    level.nodes.resize(count);
    level.values.resize(count * c.rows);
    for (std::size_t i = 0; i < count; ++i) level.nodes[i].values = i * c.rows;
    const double per_node = level_bytes(level) / static_cast<double>(count);
    EXPECT_LE(per_node, expected_node_bytes(c.complexity, c.rows));
    EXPECT_GE(per_node, 0.5 * expected_node_bytes(c.complexity, c.rows));
}

INSTANTIATE_TEST_SUITE_P(Cases, NodeEstimateTest,
                         ::testing::Values(EstimateCase{1, 1}, EstimateCase{3, 20},
                                           EstimateCase{9, 100}, EstimateCase{15, 128},
                                           EstimateCase{31, 16}));

struct ReleaseCase {
    const char* name;
    std::size_t first;
    std::size_t kept_values;  // values left
};

class ReleaseTest : public ::testing::TestWithParam<ReleaseCase> {};

// Four expressions with 3 rows each, then one without variables (one value).
Level small_level() {
    Level level;
    level.expressions.resize(5);
    level.nodes.resize(5);
    for (std::size_t i = 0; i < 5; ++i) level.nodes[i].values = 3 * i;
    level.nodes[4].constant = true;
    level.values.resize(13);  // exactly: what is given back is counted from the capacity
    for (std::size_t v = 0; v < 13; ++v) level.values[v] = Complex{double(v), 0.0};
    return level;
}

TEST_P(ReleaseTest, KeepsTheParentsAndGivesBackTheRest) {
    const ReleaseCase& c = GetParam();
    Level level = small_level();
    const double freed = release_row_values(level, c.first);
    ASSERT_EQ(level.values.size(), c.kept_values);
    EXPECT_EQ(freed, static_cast<double>((13 - c.kept_values) * sizeof(Complex)));
    for (std::size_t v = 0; v < c.kept_values; ++v) EXPECT_EQ(level.values[v].re, double(v));
    for (std::size_t i = 0; i < level.size(); ++i) {
        EXPECT_EQ(level.nodes[i].rows_ok, i < c.first) << i;
        EXPECT_LE(level.nodes[i].values, level.values.size()) << i;
    }
    EXPECT_EQ(level.nodes.size(), 5u);  // the nodes themselves stay
}

INSTANTIATE_TEST_SUITE_P(Cases, ReleaseTest,
                         ::testing::Values(ReleaseCase{"all", 0, 0}, ReleaseCase{"after_two", 2, 6},
                                           ReleaseCase{"only_the_constant", 4, 12},
                                           ReleaseCase{"nothing", 5, 13},
                                           ReleaseCase{"past_the_end", 9, 13}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kov::bfs
