#pragma once

#include <cstdint>

namespace kov {

// The full 128-bit product of two 64-bit words. Compilers with a 128-bit integer type (GCC and
// Clang on 64-bit targets) get it in one instruction; elsewhere, and in builds that force the
// portable code paths, it is assembled from four 32 x 32 -> 64-bit products. Both give the same
// bits, so hashing, and with it every search, does not depend on the choice.
struct WideProduct {
    std::uint64_t high;
    std::uint64_t low;
};

[[nodiscard]] constexpr WideProduct multiply_wide(std::uint64_t a, std::uint64_t b) noexcept {
#if KOV_HAVE_INT128
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
#else
    constexpr std::uint64_t half = 0xffffffffULL;
    const std::uint64_t a_low = a & half, a_high = a >> 32;
    const std::uint64_t b_low = b & half, b_high = b >> 32;
    const std::uint64_t low_low = a_low * b_low;
    const std::uint64_t high_low = a_high * b_low;
    const std::uint64_t low_high = a_low * b_high;
    const std::uint64_t high_high = a_high * b_high;
    // The middle column cannot overflow: each term is below 2**64 - 2**33 + 1 after the shifts.
    const std::uint64_t middle = (low_low >> 32) + (high_low & half) + low_high;
    return {high_high + (high_low >> 32) + (middle >> 32), (middle << 32) | (low_low & half)};
#endif
}

}  // namespace kov
