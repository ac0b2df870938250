// The portable fallbacks of platform features must give the same bits as the native code, so that
// a build on another system (or with KOV_PORTABLE=ON) finds the same formulas.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "core/wide_multiply.hpp"
#include "engine/fingerprint_table.hpp"

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

}  // namespace
}  // namespace kov
