#include "engine/thorough_rank.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>

#include "engine/bfs_operand.hpp"
#include "engine/pool.hpp"
#include "engine/thorough_affine.hpp"
#include "ops/complex_math.hpp"

namespace kov::bfs {

namespace {

// Rows every candidate is ranked on first; the cache puts rows spread over the data there.
constexpr std::size_t screening_rows = 16;

// Adds the child's values on rows [begin, end) to the sums; false when a row has no acceptable
// value. One instantiation per operator so that each inlines.
using AffineKernel = bool (*)(const Complex* a, std::size_t a_stride, const Complex* b,
                              std::size_t b_stride, const double* targets, std::size_t begin,
                              std::size_t end, AffineSums& sums);

template <std::size_t Op>
bool affine_rows(const Complex* a, std::size_t a_stride, const Complex* b, std::size_t b_stride,
                 const double* targets, std::size_t begin, std::size_t end, AffineSums& sums) {
    for (std::size_t j = begin; j < end; ++j) {
        const std::optional<Complex> value = apply_op<Op>(a[j * a_stride], b[j * b_stride]);
        if (!value || !is_acceptable_value(*value)) return false;
        sums.add(value->re, targets[j]);
    }
    return true;
}

template <std::size_t... Ids>
constexpr std::array<AffineKernel, sizeof...(Ids)> make_kernels(std::index_sequence<Ids...>) {
    return {&affine_rows<Ids>...};
}

constexpr auto affine_kernels = make_kernels(std::make_index_sequence<builtin_id::count>());

bool ranks_before(const AffinePick& x, const AffinePick& y) {
    if (x.sse != y.sse) return x.sse < y.sse;
    return x.position < y.position;
}

bool earlier(const AffinePick& x, const AffinePick& y) {
    return x.position < y.position;
}

struct WorkerState {
    std::vector<AffinePick> heap;       // worst on top
    std::vector<AffinePick> constants;  // latest on top
    std::uint64_t scored = 0;
};

class AffineRanker {
public:
    AffineRanker(const std::vector<Level>& levels, std::uint64_t level,
                 std::span<const double> targets, std::size_t keep, std::size_t constant_quota)
        : levels_(levels),
          level_(level),
          targets_(targets),
          keep_(keep),
          constant_quota_(constant_quota) {}

    std::optional<AffineRanking> run(const CandidateList& candidates,
                                     const std::function<bool()>& poll) {
        // First pass: every candidate on the screening rows; the best `screened` go on.
        states_.assign(worker_count(), WorkerState{});
        const std::size_t screening = std::min(screening_rows, targets_.size());
        const std::size_t screened = keep_ == 0 ? 0 : std::max(2 * keep_, keep_ + 256);
        bool completed = parallel_for(
            candidates.size(), 256,
            [&](std::size_t begin, std::size_t end, std::size_t worker) {
                for (std::size_t i = begin; i < end; ++i) {
                    screen(candidates.child(i), i, screening, screened, states_[worker]);
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
            promising.size(), 64,
            [&](std::size_t begin, std::size_t end, std::size_t) {
                for (std::size_t i = begin; i < end; ++i) valid[i] = rescore(promising[i]) ? 1 : 0;
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

    // The affine SSE on the first `rows` cached rows (which are spread over the data).
    void screen(const Child& c, std::size_t position, std::size_t rows, std::size_t screened,
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
        AffineSums sums;
        if (!affine_kernels[c.op](o.a, o.a_stride, o.b, o.b_stride, targets_.data(), 0, rows,
                                  sums)) {
            return;
        }
        ++state.scored;
        pick.sse = sums.sse();
        offer(pick, screened, state);
    }

    // The affine SSE on every cached row; false when a row has no acceptable value.
    bool rescore(AffinePick& pick) const {
        Operands o;
        if (!operands(pick.child, o)) return false;
        AffineSums sums;
        if (!affine_kernels[pick.child.op](o.a, o.a_stride, o.b, o.b_stride, targets_.data(), 0,
                                           targets_.size(), sums)) {
            return false;
        }
        pick.sse = sums.sse();
        return std::isfinite(pick.sse);
    }

    static void offer(const AffinePick& pick, std::size_t limit, WorkerState& state) {
        std::vector<AffinePick>& heap = state.heap;
        if (heap.size() < limit) {
            heap.push_back(pick);
            std::push_heap(heap.begin(), heap.end(), ranks_before);
        } else if (ranks_before(pick, heap.front())) {
            std::pop_heap(heap.begin(), heap.end(), ranks_before);
            heap.back() = pick;
            std::push_heap(heap.begin(), heap.end(), ranks_before);
        }
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
    std::span<const double> targets_;
    std::size_t keep_;
    std::size_t constant_quota_;
    std::vector<WorkerState> states_;
};

}  // namespace

std::optional<AffineRanking> rank_affine(const std::vector<Level>& levels, std::uint64_t level,
                                         const CandidateList& candidates,
                                         std::span<const double> centred_targets, std::size_t keep,
                                         std::size_t constant_quota,
                                         const std::function<bool()>& poll) {
    AffineRanker ranker(levels, level, centred_targets, keep, constant_quota);
    return ranker.run(candidates, poll);
}

}  // namespace kov::bfs
