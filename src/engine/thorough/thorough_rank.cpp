#include "engine/thorough/thorough_rank.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "engine/fit/affine_fit.hpp"
#include "engine/levels/bfs_operand.hpp"
#include "engine/levels/pool.hpp"
#include "engine/thorough/best_kept.hpp"
#include "engine/thorough/thorough_tuning.hpp"
#include "ops/complex_math.hpp"

namespace kov::bfs {

namespace {

// The child's real parts on the first `count` cached rows; false when a row has no acceptable
// value. One instantiation per operator so that each inlines.
using ValueKernel = bool (*)(const Complex* a, std::size_t a_stride, const Complex* b,
                             std::size_t b_stride, std::size_t count, double* out);

template <std::size_t Op>
bool real_rows(const Complex* a, std::size_t a_stride, const Complex* b, std::size_t b_stride,
               std::size_t count, double* out) {
    for (std::size_t j = 0; j < count; ++j) {
        const std::optional<Complex> value = apply_op<Op>(a[j * a_stride], b[j * b_stride]);
        if (!value || !is_acceptable_value(*value)) return false;
        out[j] = value->re;
    }
    return true;
}

template <std::size_t... Ids>
constexpr std::array<ValueKernel, sizeof...(Ids)> make_kernels(std::index_sequence<Ids...>) {
    return {&real_rows<Ids>...};
}

constexpr auto value_kernels = make_kernels(std::make_index_sequence<builtin_id::count>());

// Per target, over the first n rows: Σ y and Σ (y − mean y)².
struct TargetSums {
    std::vector<double> sum;
    std::vector<double> spread;
};

TargetSums target_sums(const std::vector<std::vector<double>>& targets, std::size_t n) {
    TargetSums sums;
    for (const std::vector<double>& y : targets) {
        double s = 0.0;
        double ss = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            s += y[j];
            ss += y[j] * y[j];
        }
        sums.sum.push_back(s);
        sums.spread.push_back(std::fmax(ss - s * s / static_cast<double>(n), 0.0));
    }
    return sums;
}

bool ranks_before(const AffinePick& x, const AffinePick& y) {
    if (x.sse != y.sse) return x.sse < y.sse;
    return x.position < y.position;
}

bool earlier(const AffinePick& x, const AffinePick& y) {
    return x.position < y.position;
}

struct WorkerState {
    std::vector<double> values;         // of the candidate being scored
    std::vector<AffinePick> heap;       // worst on top
    std::vector<AffinePick> constants;  // latest on top
    std::uint64_t scored = 0;
};

class AffineRanker {
public:
    AffineRanker(const std::vector<Level>& levels, std::uint64_t level,
                 const std::vector<std::vector<double>>& targets, std::size_t keep,
                 std::size_t constant_quota)
        : levels_(levels),
          level_(level),
          targets_(targets),
          rows_(targets.front().size()),
          screening_(std::min(thorough_tuning.screening_rows, rows_)),
          keep_(keep),
          constant_quota_(constant_quota),
          screening_sums_(target_sums(targets, screening_)),
          full_sums_(target_sums(targets, rows_)) {}

    std::optional<AffineRanking> run(const CandidateList& candidates,
                                     const std::function<bool()>& poll) {
        // First pass: every candidate on the screening rows; the best `screened` go on.
        states_.assign(worker_count(), WorkerState{});
        for (WorkerState& state : states_) state.values.resize(rows_);
        const std::size_t screened = keep_ == 0
                                         ? 0
                                         : std::max(thorough_tuning.screened_keep_multiple * keep_,
                                                    keep_ + thorough_tuning.screened_beyond_keep);
        bool completed = parallel_for(
            candidates.size(), thorough_tuning.screening_chunk,
            [&](std::size_t begin, std::size_t end, std::size_t worker) {
                for (std::size_t i = begin; i < end; ++i) {
                    screen(candidates.child(i), i, screened, states_[worker]);
                }
            },
            poll);
        if (!completed) return std::nullopt;
        AffineRanking ranking;
        std::vector<AffinePick> promising;
        for (WorkerState& state : states_) {
            ranking.scored += state.scored;
            promising.insert(promising.end(), state.heap.begin(), state.heap.end());
            ranking.constants.insert(ranking.constants.end(), state.constants.begin(),
                                     state.constants.end());
        }
        std::sort(promising.begin(), promising.end(), ranks_before);
        if (promising.size() > screened) promising.resize(screened);
        std::sort(ranking.constants.begin(), ranking.constants.end(), earlier);
        if (ranking.constants.size() > constant_quota_) {
            ranking.constants.resize(constant_quota_);
        }
        // Second pass: the promising ones on every cached row.
        std::vector<std::uint8_t> valid(promising.size(), 0);
        completed = parallel_for(
            promising.size(), thorough_tuning.ranking_chunk,
            [&](std::size_t begin, std::size_t end, std::size_t worker) {
                for (std::size_t i = begin; i < end; ++i) {
                    valid[i] = rescore(promising[i], states_[worker]) ? 1 : 0;
                }
            },
            poll);
        if (!completed) return std::nullopt;
        for (std::size_t i = 0; i < promising.size(); ++i) {
            if (valid[i] != 0) ranking.kept.push_back(promising[i]);
        }
        std::sort(ranking.kept.begin(), ranking.kept.end(), ranks_before);
        if (ranking.kept.size() > keep_) ranking.kept.resize(keep_);
        return ranking;
    }

private:
    struct Operands {
        const Complex* a = nullptr;
        const Complex* b = nullptr;
        std::size_t a_stride = 0;
        std::size_t b_stride = 0;
        bool constant = false;
    };

    bool operands(const Child& c, Operands& out) const {
        const Level& left_level = levels_[c.left_level];
        const Level& right_level = c.arity == 2 ? levels_[level_ - 1 - c.left_level] : left_level;
        const Node& left = left_level.nodes[c.a];
        const Node& right = c.arity == 2 ? right_level.nodes[c.b] : left;
        if (!left.rows_ok || !right.rows_ok) return false;
        out.a = left_level.row_values(c.a);
        out.b = c.arity == 2 ? right_level.row_values(c.b) : out.a;
        out.a_stride = left.constant ? 0 : 1;
        out.b_stride = right.constant ? 0 : 1;
        out.constant = left.constant && right.constant;
        return true;
    }

    // The smallest share of a target's spread that the best affine map of the values leaves
    // unexplained, over the targets (1 for values without spread).
    double relative_error(const double* values, std::size_t n, const TargetSums& sums) const {
        double sum_f = 0.0;
        double sum_ff = 0.0;
        std::array<double, thorough_tuning.max_ranking_targets> sum_fy{};
        const double shift = values[0];
        const std::size_t count = targets_.size();
        for (std::size_t j = 0; j < n; ++j) {
            const double f = values[j] - shift;
            sum_f += f;
            sum_ff += f * f;
            for (std::size_t t = 0; t < count; ++t) sum_fy[t] += f * targets_[t][j];
        }
        const double rows = static_cast<double>(n);
        const double s_ff = sum_ff - sum_f * sum_f / rows;
        // The one-pass sums lose digits of s_ff to cancellation: below a share of sum_ff it is
        // rounding, and the values explain nothing.
        if (!(s_ff > double_underflow) || !(s_ff > thorough_tuning.one_pass_rounding * sum_ff)) {
            return 1.0;
        }
        double best = 1.0;
        for (std::size_t t = 0; t < count; ++t) {
            if (!(sums.spread[t] > 0.0)) continue;
            const double s_fy = sum_fy[t] - sum_f * sums.sum[t] / rows;
            const double left = (sums.spread[t] - s_fy * s_fy / s_ff) / sums.spread[t];
            if (left < best) best = std::fmax(left, 0.0);
        }
        return best;
    }

    // Ranked on the first cached rows (which are spread over the data).
    void screen(const Child& c, std::size_t position, std::size_t screened,
                WorkerState& state) const {
        Operands o;
        if (!operands(c, o)) return;
        AffinePick pick{0.0, position, c};
        if (o.constant) {
            const std::optional<Complex> value = eval_builtin(c.op, o.a[0], o.b[0]);
            if (!value || !is_acceptable_value(*value)) return;
            ++state.scored;
            offer_constant(pick, state);
            return;
        }
        if (screened == 0) return;
        double* values = state.values.data();
        if (!value_kernels[c.op](o.a, o.a_stride, o.b, o.b_stride, screening_, values)) return;
        ++state.scored;
        pick.sse = relative_error(values, screening_, screening_sums_);
        offer(pick, screened, state);
    }

    // Ranked on every cached row; false when a row has no acceptable value.
    bool rescore(AffinePick& pick, WorkerState& state) const {
        Operands o;
        if (!operands(pick.child, o)) return false;
        double* values = state.values.data();
        if (!value_kernels[pick.child.op](o.a, o.a_stride, o.b, o.b_stride, rows_, values)) {
            return false;
        }
        pick.sse = relative_error(values, rows_, full_sums_);
        return std::isfinite(pick.sse);
    }

    static void offer(const AffinePick& pick, std::size_t limit, WorkerState& state) {
        keep_best(state.heap, pick, limit, ranks_before);
    }

    void offer_constant(const AffinePick& pick, WorkerState& state) const {
        std::vector<AffinePick>& heap = state.constants;
        if (heap.size() < constant_quota_) {
            heap.push_back(pick);
            std::push_heap(heap.begin(), heap.end(), earlier);
        } else if (constant_quota_ > 0 && earlier(pick, heap.front())) {
            std::pop_heap(heap.begin(), heap.end(), earlier);
            heap.back() = pick;
            std::push_heap(heap.begin(), heap.end(), earlier);
        }
    }

    const std::vector<Level>& levels_;
    std::uint64_t level_;
    const std::vector<std::vector<double>>& targets_;
    std::size_t rows_;
    std::size_t screening_;
    std::size_t keep_;
    std::size_t constant_quota_;
    TargetSums screening_sums_;
    TargetSums full_sums_;
    std::vector<WorkerState> states_;
};

}  // namespace

std::optional<AffineRanking> rank_affine(const std::vector<Level>& levels, std::uint64_t level,
                                         const CandidateList& candidates,
                                         const std::vector<std::vector<double>>& targets,
                                         std::size_t keep, std::size_t constant_quota,
                                         const std::function<bool()>& poll) {
    AffineRanker ranker(levels, level, targets, keep, constant_quota);
    return ranker.run(candidates, poll);
}

}  // namespace kov::bfs
