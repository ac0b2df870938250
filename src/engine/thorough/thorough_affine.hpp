#pragma once

#include <cmath>
#include <cstddef>

namespace kov {

// Running sums for the best affine map a·f + b of values f onto targets y over any subset of the
// rows, in one pass. The targets come in centred on a fixed point (their mean over all rows) and
// the values shifted by the first value seen, so that large means cancel before the squares.
// Because the sums can be read after any prefix of the rows, the best SSE of a prefix is at hand
// too; it never exceeds that of all rows, which lets a ranking abandon a candidate early.
struct AffineSums {
    double shift = 0.0;
    double sum_f = 0.0;
    double sum_ff = 0.0;
    double sum_fy = 0.0;
    double sum_y = 0.0;
    double sum_yy = 0.0;
    std::size_t count = 0;

    void add(double value, double centred_target) {
        if (count == 0) shift = value;
        const double f = value - shift;
        sum_f += f;
        sum_ff += f * f;
        sum_fy += f * centred_target;
        sum_y += centred_target;
        sum_yy += centred_target * centred_target;
        ++count;
    }

    // Σ (y − mean y)² over the rows added.
    [[nodiscard]] double target_ss() const {
        if (count == 0) return 0.0;
        return std::fmax(sum_yy - sum_y * sum_y / static_cast<double>(count), 0.0);
    }

    // Σ (a f + b − y)² for the best a and b, floored at 0; a (numerically) constant f explains
    // nothing beyond the mean.
    [[nodiscard]] double sse() const {
        if (count == 0) return 0.0;
        const double n = static_cast<double>(count);
        const double s_ff = sum_ff - sum_f * sum_f / n;
        const double s_yy = target_ss();
        if (!(s_ff > 1e-300) || !(s_ff > 1e-13 * sum_ff)) return s_yy;
        const double s_fy = sum_fy - sum_f * sum_y / n;
        const double sse = s_yy - s_fy * s_fy / s_ff;
        return std::isfinite(sse) ? std::fmax(sse, 0.0) : s_yy;
    }

    // The best scale a (0 for a constant f) and offset b, given the centre of the targets.
    void solve(double target_centre, double& scale, double& offset) const {
        const double n = static_cast<double>(count);
        const double s_ff = sum_ff - sum_f * sum_f / n;
        const double mean_f = sum_f / n;
        const double mean_y = sum_y / n;
        if (!(s_ff > 1e-300) || !(s_ff > 1e-13 * sum_ff)) {
            scale = 0.0;
            offset = target_centre + mean_y;
            return;
        }
        scale = (sum_fy - sum_f * sum_y / n) / s_ff;
        offset = target_centre + mean_y - scale * (mean_f + shift);
    }
};

}  // namespace kov
