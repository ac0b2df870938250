#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

namespace kov {

// The best affine map a·f + b of a candidate's values f onto the targets y, in closed form and one
// pass over the rows. The targets enter centred (y − mean y), and the values shifted by the first
// value seen, so that neither a large mean nor a large offset of f cancels away the variation the
// fit is about.
struct AffineFit {
    double scale = 0.0;   // a
    double offset = 0.0;  // b
    double sse = std::numeric_limits<double>::infinity();  // Σ (a f + b − y)², floored at 0
};

class AffineAccumulator {
public:
    void add(double value, double centred_target) {
        if (count_ == 0) shift_ = value;
        const double f = value - shift_;
        sum_f_ += f;
        sum_ff_ += f * f;
        sum_fy_ += f * centred_target;
        ++count_;
    }

    [[nodiscard]] std::size_t count() const { return count_; }

    // target_mean: mean of y; target_ss: Σ (y − mean y)² over the same rows.
    [[nodiscard]] AffineFit finish(double target_mean, double target_ss) const {
        AffineFit fit;
        if (count_ == 0) return fit;
        const double n = static_cast<double>(count_);
        const double mean_f = sum_f_ / n;
        const double s_ff = sum_ff_ - sum_f_ * mean_f;
        // A (numerically) constant f explains nothing beyond the mean.
        if (!(s_ff > 1e-300) || !(s_ff > 1e-13 * sum_ff_)) {
            fit.scale = 0.0;
            fit.offset = target_mean;
            fit.sse = target_ss;
            return fit;
        }
        const double s_fy = sum_fy_;  // Σ f·(y − ȳ): the centring already removed Σf·ȳ
        fit.scale = s_fy / s_ff;
        fit.offset = target_mean - fit.scale * (mean_f + shift_);
        fit.sse = std::fmax(target_ss - s_fy * fit.scale, 0.0);
        if (!std::isfinite(fit.sse) || !std::isfinite(fit.offset)) fit.sse = target_ss;
        return fit;
    }

private:
    double shift_ = 0.0;
    double sum_f_ = 0.0;
    double sum_ff_ = 0.0;
    double sum_fy_ = 0.0;
    std::size_t count_ = 0;
};

}  // namespace kov
