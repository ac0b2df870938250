#pragma once

#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <stdexcept>

namespace kov {

// An exact fraction of 64-bit integers, always in lowest terms with a positive denominator. The
// dimension matrices it serves hold exponents of a few units, so overflow means bad input: it
// throws std::overflow_error rather than wrapping.
class Rational {
public:
    constexpr Rational() = default;
    constexpr Rational(std::int64_t whole) : num_(whole) {}  // NOLINT: numbers convert freely
    Rational(std::int64_t num, std::int64_t den) : num_(num), den_(den) { normalize(); }

    [[nodiscard]] std::int64_t num() const { return num_; }
    [[nodiscard]] std::int64_t den() const { return den_; }
    [[nodiscard]] bool is_zero() const { return num_ == 0; }
    [[nodiscard]] double value() const {
        return static_cast<double>(num_) / static_cast<double>(den_);
    }

    friend Rational operator+(Rational a, Rational b) {
        return {add(mul(a.num_, b.den_), mul(b.num_, a.den_)), mul(a.den_, b.den_)};
    }
    friend Rational operator-(Rational a) { return {-a.num_, a.den_}; }
    friend Rational operator-(Rational a, Rational b) { return a + (-b); }
    friend Rational operator*(Rational a, Rational b) {
        return {mul(a.num_, b.num_), mul(a.den_, b.den_)};
    }
    friend Rational operator/(Rational a, Rational b) {
        if (b.num_ == 0) throw std::domain_error("division by a zero fraction");
        return {mul(a.num_, b.den_), mul(a.den_, b.num_)};
    }
    friend bool operator==(Rational a, Rational b) = default;

private:
    static std::int64_t mul(std::int64_t a, std::int64_t b) {
        std::int64_t out = 0;
        if (__builtin_mul_overflow(a, b, &out)) throw std::overflow_error("fraction overflow");
        return out;
    }
    static std::int64_t add(std::int64_t a, std::int64_t b) {
        std::int64_t out = 0;
        if (__builtin_add_overflow(a, b, &out)) throw std::overflow_error("fraction overflow");
        return out;
    }
    void normalize() {
        if (den_ == 0) throw std::domain_error("fraction with a zero denominator");
        if (den_ < 0) {
            num_ = -num_;
            den_ = -den_;
        }
        const std::int64_t divisor = std::gcd(num_, den_);
        if (divisor > 1) {
            num_ /= divisor;
            den_ /= divisor;
        }
    }

    std::int64_t num_ = 0;
    std::int64_t den_ = 1;
};

}  // namespace kov
