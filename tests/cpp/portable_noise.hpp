#pragma once

// Gaussian noise with the same values under every standard library (std::normal_distribution's
// differ between libstdc++ and libc++), so that noisy test data is the same in every build.

#include <cmath>
#include <cstdint>
#include <numbers>

namespace kov::test {

class PortableNoise {
public:
    explicit PortableNoise(std::uint64_t seed) : state_(seed) {}

    // Uniform on (0, 1).
    double uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53; }

    // Standard normal, by Box–Muller.
    double gaussian() {
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        return radius * std::cos(2.0 * std::numbers::pi * uniform());
    }

private:
    std::uint64_t next() {  // splitmix64
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    std::uint64_t state_;
};

}  // namespace kov::test
