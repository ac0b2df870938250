#pragma once

#include <cmath>
#include <cstddef>
#include <span>

namespace kov {

// Solves the symmetric positive definite system A x = b in place by Cholesky factorisation.
// `a` holds the n×n matrix row-major and is overwritten by its factor; `b` becomes x. Returns false
// (leaving `b` unusable) when a pivot is not clearly positive: the caller then damps or gives up,
// which is how rank-deficient and ill-conditioned problems stay free of NaN.
[[nodiscard]] inline bool cholesky_solve(std::span<double> a, std::span<double> b, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        const double diagonal = a[j * n + j];
        double pivot = diagonal;
        for (std::size_t k = 0; k < j; ++k) pivot -= a[j * n + k] * a[j * n + k];
        // A pivot that rounding alone could have produced means a (numerically) singular matrix.
        if (!(pivot > 1e-13 * diagonal) || !(pivot > 0.0) || !std::isfinite(pivot)) return false;
        const double root = std::sqrt(pivot);
        a[j * n + j] = root;
        for (std::size_t i = j + 1; i < n; ++i) {
            double sum = a[i * n + j];
            for (std::size_t k = 0; k < j; ++k) sum -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = sum / root;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        double sum = b[i];
        for (std::size_t k = 0; k < i; ++k) sum -= a[i * n + k] * b[k];
        b[i] = sum / a[i * n + i];
    }
    for (std::size_t i = n; i-- > 0;) {
        double sum = b[i];
        for (std::size_t k = i + 1; k < n; ++k) sum -= a[k * n + i] * b[k];
        b[i] = sum / a[i * n + i];
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(b[i])) return false;
    }
    return true;
}

}  // namespace kov
