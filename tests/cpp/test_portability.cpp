// The portable fallbacks of platform features must give the same bits as the native code, so that
// a build on another system (or with KOV_PORTABLE=ON) finds the same formulas.

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "core/wide_multiply.hpp"
#include "engine/entry/run_bfs.hpp"
#include "engine/levels/fingerprint_table.hpp"

namespace kov {
namespace {

struct ProductCase {
    std::uint64_t a, b, high, low;
};

class WideMultiply : public ::testing::TestWithParam<ProductCase> {};

TEST_P(WideMultiply, GivesTheFull128BitProduct) {
    const ProductCase& c = GetParam();
    const WideProduct product = multiply_wide(c.a, c.b);
    EXPECT_EQ(product.high, c.high);
    EXPECT_EQ(product.low, c.low);
    const WideProduct swapped = multiply_wide(c.b, c.a);
    EXPECT_EQ(swapped.high, c.high);
    EXPECT_EQ(swapped.low, c.low);
}

// Carries out of every 32-bit column, the extremes, and a pair of the hash's own constants.
INSTANTIATE_TEST_SUITE_P(
    Products, WideMultiply,
    ::testing::Values(ProductCase{0x0000000000000000ULL, 0x0000000000000000ULL,
                                  0x0000000000000000ULL, 0x0000000000000000ULL},
                      ProductCase{0x0000000000000001ULL, 0xffffffffffffffffULL,
                                  0x0000000000000000ULL, 0xffffffffffffffffULL},
                      ProductCase{0xffffffffffffffffULL, 0xffffffffffffffffULL,
                                  0xfffffffffffffffeULL, 0x0000000000000001ULL},
                      ProductCase{0x0000000100000000ULL, 0x0000000100000000ULL,
                                  0x0000000000000001ULL, 0x0000000000000000ULL},
                      ProductCase{0x00000000ffffffffULL, 0x00000000ffffffffULL,
                                  0x0000000000000000ULL, 0xfffffffe00000001ULL},
                      ProductCase{0xa0761d6478bd642fULL, 0xe7037ed1a0b428dbULL,
                                  0x90ccc56588c08119ULL, 0x8f3907f7b2b80c35ULL},
                      ProductCase{0x9e3779b97f4a7c15ULL, 0x0000000000000003ULL,
                                  0x0000000000000001ULL, 0xdaa66d2c7ddf743fULL},
                      ProductCase{0x8000000000000000ULL, 0x0000000000000002ULL,
                                  0x0000000000000001ULL, 0x0000000000000000ULL}));

// The digest decides which formulas count as duplicates; its bits are fixed on every platform.
TEST(Digest, IsTheSameOnEveryPlatform) {
    const Digest digest = digest_of({1, -2, 3, -4, 5, -6, 7, -8, 9, -10});
    EXPECT_EQ(digest.high, 0xff6ac7cb397701e8ULL);
    EXPECT_EQ(digest.low, 0x180520cc5a18d054ULL);
}

// FNV-1a over every level's formulas and every returned formula with its error bits.
class OutcomeHash {
public:
    void add(std::string_view text) {
        for (const char c : text) add_byte(static_cast<unsigned char>(c));
        add_byte(0);
    }
    void add(std::uint64_t word) {
        for (int i = 0; i < 8; ++i) add_byte(static_cast<unsigned char>(word >> (8 * i)));
    }
    [[nodiscard]] std::uint64_t value() const { return value_; }

private:
    void add_byte(unsigned char byte) { value_ = (value_ ^ byte) * 0x100000001b3ULL; }
    std::uint64_t value_ = 0xcbf29ce484222325ULL;
};

void hash_search(OutcomeHash& hash, const std::vector<std::vector<double>>& rows,
                 const std::vector<double>& targets, const SearchConfig& config) {
    SearchHooks hooks;
    hooks.on_level = [&](std::uint64_t level, std::span<const Expression> kept) {
        hash.add(level);
        for (const Expression& expression : kept) hash.add(expression.formula);
    };
    const SearchOutcome outcome = run_bfs(rows, targets, config, hooks);
    const auto* results = std::get_if<std::vector<SearchResult>>(&outcome);
    ASSERT_NE(results, nullptr);
    for (const SearchResult& result : *results) {
        hash.add(result.expression.formula);
        hash.add(std::bit_cast<std::uint64_t>(result.error));
    }
}

// Whole searches (expansion, deduplication, fitting, beam and front) give the same bits whatever
// platform features the build uses and whichever compiler and standard library built it: the
// test command runs this test in a native, a portable and a clang/libc++ build.
TEST(Search, FindsTheSameFormulasOnEveryPlatform) {
    OutcomeHash hash;
    std::vector<std::vector<double>> rows;
    std::vector<double> curve;
    std::vector<double> plane;
    for (int i = 1; i <= 12; ++i) {
        const double x = 0.25 * i;
        const double y = 1.5 - 0.1 * i;
        rows.push_back({x, y});
        curve.push_back(std::sin(x) + x * x / 3.0);
        plane.push_back(2.5 * x * y + 0.75);
    }
    SearchConfig exhaustive(5, 0.1, 300);
    exhaustive.disable_early_exit = true;
    hash_search(hash, rows, curve, exhaustive);
    hash_search(hash, rows, plane, SearchConfig(5, 0.1, 300));
    SearchConfig closed_form(5, 0.1, 1000);
    closed_form.fit_constants = false;
    hash_search(hash, {{0.0}}, {3.7}, closed_form);
    EXPECT_EQ(hash.value(), 0x5cf93733d17ba9c6ULL);
}

}  // namespace
}  // namespace kov
