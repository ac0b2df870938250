#pragma once

namespace kov {

// The scalar of all evaluation: a pair of IEEE-754 binary64 numbers. Real inputs enter with
// im == +0.0. The arithmetic on it lives with the operators (ops/complex_math.hpp) because the
// exact order of operations there decides signed zeros and branch cuts.
struct Complex {
    double re = 0.0;
    double im = 0.0;
};

}  // namespace kov
