#include "engine/bfs_score.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>

#include "engine/bfs_operand.hpp"
#include "engine/pool.hpp"
#include "ops/complex_math.hpp"
#include "ops/registry.hpp"

namespace kov::bfs {

namespace {

constexpr double fitting_threshold = 2.0;
constexpr std::uint32_t max_fitted_constants = 256;
constexpr double infinity = std::numeric_limits<double>::infinity();

// Adds the squared residuals of rows [begin, end) to `sum` in row order. The child's value on a
// row is its operator applied to the parents' cached values there; a stride of 0 repeats a
// parent's single value. False as soon as a row has no acceptable value.
using RowKernel = bool (*)(const Complex* a, std::size_t a_stride, const Complex* b,
                           std::size_t b_stride, const double* targets, std::size_t begin,
                           std::size_t end, double& sum);

template <std::size_t Op>
bool accumulate_rows(const Complex* a, std::size_t a_stride, const Complex* b, std::size_t b_stride,
                     const double* targets, std::size_t begin, std::size_t end, double& sum) {
    double total = sum;
    for (std::size_t j = begin; j < end; ++j) {
        const std::optional<Complex> value = apply_op<Op>(a[j * a_stride], b[j * b_stride]);
        if (!value || !is_acceptable_value(*value)) return false;
        const double residual = value->re - targets[j];
        total += residual * residual;
    }
    sum = total;
    return true;
}

template <std::size_t... Ids>
constexpr std::array<RowKernel, sizeof...(Ids)> make_kernels(std::index_sequence<Ids...>) {
    return {&accumulate_rows<Ids>...};
}

constexpr auto row_kernels = make_kernels(std::make_index_sequence<builtin_id::count>());

// The same for a child without variables: one value on every row.
bool accumulate_constant(Complex value, const double* targets, std::size_t begin, std::size_t end,
                         double& sum) {
    double total = sum;
    for (std::size_t j = begin; j < end; ++j) {
        const double residual = value.re - targets[j];
        total += residual * residual;
    }
    sum = total;
    return true;
}

// Beam order: score ascending (NaN last), then list position.
bool ranks_before(const Picked& x, const Picked& y) {
    if (score_less(x.score, y.score)) return true;
    if (score_less(y.score, x.score)) return false;
    return x.position < y.position;
}

void lower_to(std::atomic<double>& bound, double value) {
    double current = bound.load(std::memory_order_relaxed);
    while (value < current &&
           !bound.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
    }
}

struct WorkerState {
    std::vector<Picked> heap;  // worst on top
    std::optional<Picked> front;
    Expression scratch;
    std::uint64_t scored = 0;
    std::uint64_t fitted = 0;
    std::uint64_t abandoned = 0;
    double fitting_seconds = 0.0;
};

class LevelScorer {
public:
    LevelScorer(const ScoringSetup& setup, FitterSet& fitters)
        : setup_(setup),
          levels_(*setup.levels),
          targets_(setup.targets->data()),
          row_count_(setup.targets->size()),
          rows_as_double_(static_cast<double>(setup.targets->size())),
          priority_(*setup.priority_rows),
          fitters_(fitters),
          beam_width_(setup.config->beam_width),
          weight_(static_cast<double>(setup.level) * setup.config->complexity_penalty + 1) {
        // Abandoning a candidate needs the score and the front value to grow with the error.
        prune_ = std::isfinite(weight_) && weight_ > 0.0 && !priority_.empty();
        // With a zero or non-finite weight every front value is NaN: the first scored candidate
        // in list order keeps the entry.
        front_by_position_ = !(std::isfinite(weight_) && weight_ != 0.0);
    }

    std::optional<ScoringResult> run(const CandidateList& candidates,
                                     const std::function<bool()>& poll) {
        const std::size_t workers = worker_count();
        if (fitters_.size() < workers) fitters_.resize(workers);
        std::vector<WorkerState> states(workers);
        const std::size_t chunk = row_count_ >= 1000 ? 16 : 256;
        const bool completed = parallel_for(
            candidates.size(), chunk,
            [&](std::size_t begin, std::size_t end, std::size_t worker) {
                WorkerState& state = states[worker];
                for (std::size_t i = begin; i < end; ++i) {
                    score(candidates.child(i), i, state, worker);
                }
            },
            poll);
        if (!completed) return std::nullopt;

        ScoringResult result;
        std::vector<Picked> all;
        for (WorkerState& state : states) {
            result.scored += state.scored;
            result.fitted += state.fitted;
            result.abandoned += state.abandoned;
            result.fitting_seconds += state.fitting_seconds;
            all.insert(all.end(), state.heap.begin(), state.heap.end());
            if (state.front && (!result.front || front_before(*state.front, *result.front))) {
                result.front = state.front;
            }
        }
        std::sort(all.begin(), all.end(), ranks_before);
        if (all.size() > beam_width_) all.resize(beam_width_);
        result.beam = std::move(all);
        return result;
    }

private:
    bool front_before(const Picked& x, const Picked& y) const {
        if (front_by_position_) return x.position < y.position;
        if (x.front_value != y.front_value) return x.front_value < y.front_value;
        return x.position < y.position;
    }

    // True when a sum of squares of at least `lower` proves the candidate can neither be fitted,
    // nor enter the beam, nor improve the level's front entry. The sum is a lower bound of the
    // in-order sum because rounding is monotone and every term is non-negative.
    bool hopeless(double lower, bool fittable, const WorkerState& state) const {
        const double error = std::sqrt(lower / rows_as_double_);
        if (fittable && !(error >= fitting_threshold)) return false;
        const double score = error * weight_;
        if (beam_width_ != 0) {
            double bound = beam_bound_.load(std::memory_order_relaxed);
            if (state.heap.size() >= beam_width_) bound = std::min(bound, state.heap.front().score);
            if (!(score > bound)) return false;
        }
        double front_bound = front_bound_.load(std::memory_order_relaxed);
        if (state.front) front_bound = std::min(front_bound, state.front->front_value);
        return score / weight_ > front_bound;
    }

    void score(const Child& c, std::size_t position, WorkerState& state, std::size_t worker) {
        const std::uint64_t right_level = setup_.level - 1 - c.left_level;
        const Level& left_level = levels_[c.left_level];
        const Level& right_level_data = c.arity == 2 ? levels_[right_level] : left_level;
        const Node& left = left_level.nodes[c.a];
        const Node& right = c.arity == 2 ? right_level_data.nodes[c.b] : left;
        if (!left.rows_ok || !right.rows_ok) return;  // some row has no value: infinite error

        const std::uint32_t constants = left.const_count + (c.arity == 2 ? right.const_count : 0);
        const bool fittable =
            setup_.config->fit_constants && constants >= 1 && constants <= max_fitted_constants;

        const Complex* a = left_level.row_values(c.a);
        const Complex* b = c.arity == 2 ? right_level_data.row_values(c.b) : a;
        const std::size_t a_stride = left.constant ? 0 : 1;
        const std::size_t b_stride = right.constant ? 0 : 1;
        const bool constant_child = left.constant && right.constant;
        Complex constant_value{};
        if (constant_child) {
            const std::optional<Complex> value = eval_builtin(c.op, a[0], b[0]);
            if (!value || !is_acceptable_value(*value)) return;
            constant_value = *value;
        }
        const RowKernel kernel = row_kernels[c.op];
        const auto add_rows = [&](std::size_t begin, std::size_t end, double& sum) {
            if (constant_child)
                return accumulate_constant(constant_value, targets_, begin, end, sum);
            return kernel(a, a_stride, b, b_stride, targets_, begin, end, sum);
        };

        // The few rows farthest from the mean first: for a poor candidate they alone usually
        // prove it hopeless.
        std::array<double, 16> priority_terms{};
        const std::size_t priority_count = prune_ ? priority_.size() : 0;
        if (priority_count != 0) {
            double lower = 0.0;
            for (std::size_t q = 0; q < priority_count; ++q) {
                double term = 0.0;
                if (!add_rows(priority_[q], priority_[q] + 1, term)) return;
                priority_terms[q] = term;
                lower += term;
            }
            if (hopeless(lower, fittable, state)) {
                ++state.abandoned;
                return;
            }
        }

        double sum = 0.0;
        std::size_t next_priority = 0;
        std::size_t step = 16;
        for (std::size_t begin = 0; begin < row_count_;) {
            const std::size_t end = std::min(row_count_, begin + step);
            if (!add_rows(begin, end, sum)) return;
            begin = end;
            if (priority_count != 0 && end < row_count_) {
                while (next_priority < priority_count && priority_[next_priority] < end) {
                    ++next_priority;
                }
                double lower = sum;
                for (std::size_t q = next_priority; q < priority_count; ++q) {
                    lower += priority_terms[q];
                }
                if (hopeless(lower, fittable, state)) {
                    ++state.abandoned;
                    return;
                }
            }
            step = std::min<std::size_t>(step * 2, 1024);
        }
        const double raw_error = std::sqrt(sum / rows_as_double_);
        if (!std::isfinite(raw_error)) return;

        double error = raw_error;
        bool fitted = false;
        if (fittable && raw_error < fitting_threshold) {
            std::unique_ptr<ConstantFitter>& fitter = fitters_[worker];
            if (!fitter) {
                fitter = std::make_unique<ConstantFitter>(*setup_.rows, *setup_.targets,
                                                          *setup_.operators);
            }
            compose_tokens(c, state.scratch);
            const auto start = std::chrono::steady_clock::now();
            const ScoredExpression outcome = fitter->fit(state.scratch, raw_error);
            state.fitting_seconds +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            ++state.fitted;
            error = outcome.error;
            fitted = error < raw_error;
        }
        ++state.scored;

        Picked picked;
        picked.score = error * weight_;
        picked.front_value = picked.score / weight_;
        picked.raw_error = raw_error;
        picked.position = position;
        picked.candidate = c;
        picked.fitted = fitted;
        offer_to_beam(picked, state);
        if (!state.front || front_before(picked, *state.front)) {
            state.front = picked;
            if (!front_by_position_) lower_to(front_bound_, picked.front_value);
        }
    }

    void offer_to_beam(const Picked& picked, WorkerState& state) {
        if (beam_width_ == 0) return;
        std::vector<Picked>& heap = state.heap;
        if (heap.size() < beam_width_) {
            heap.push_back(picked);
            std::push_heap(heap.begin(), heap.end(), ranks_before);
        } else if (ranks_before(picked, heap.front())) {
            std::pop_heap(heap.begin(), heap.end(), ranks_before);
            heap.back() = picked;
            std::push_heap(heap.begin(), heap.end(), ranks_before);
        } else {
            return;
        }
        if (prune_ && heap.size() >= beam_width_) lower_to(beam_bound_, heap.front().score);
    }

    // Tokens only: fitting needs neither the text nor the registry.
    void compose_tokens(const Child& c, Expression& out) const {
        out.tokens.clear();
        out.formula.clear();
        const Expression& left = levels_[c.left_level].expressions[c.a];
        out.tokens.insert(out.tokens.end(), left.tokens.begin(), left.tokens.end());
        out.var_count = left.var_count;
        if (c.arity == 2) {
            const Expression& right = levels_[setup_.level - 1 - c.left_level].expressions[c.b];
            out.tokens.insert(out.tokens.end(), right.tokens.begin(), right.tokens.end());
            out.var_count = std::max(out.var_count, right.var_count);
        }
        out.tokens.push_back(Token::op(c.arity, c.op));
        out.complexity = out.tokens.size();
    }

    const ScoringSetup& setup_;
    const std::vector<Level>& levels_;
    const double* targets_;
    std::size_t row_count_;
    double rows_as_double_;
    const std::vector<std::size_t>& priority_;
    FitterSet& fitters_;
    std::uint64_t beam_width_;
    double weight_;
    bool prune_ = false;
    bool front_by_position_ = false;
    std::atomic<double> beam_bound_{infinity};
    std::atomic<double> front_bound_{infinity};
};

}  // namespace

std::optional<ScoringResult> score_level(const ScoringSetup& setup, const CandidateList& candidates,
                                         FitterSet& fitters, const std::function<bool()>& poll) {
    LevelScorer scorer(setup, fitters);
    return scorer.run(candidates, poll);
}

Expression compose(const std::vector<Level>& levels, std::uint64_t level, const Child& candidate,
                   const OperatorRegistry& registry) {
    const Expression& left = levels[candidate.left_level].expressions[candidate.a];
    if (candidate.arity == 1) return Expression::unary(registry, candidate.op, left);
    const Expression& right = levels[level - 1 - candidate.left_level].expressions[candidate.b];
    return Expression::binary(registry, candidate.op, left, right);
}

}  // namespace kov::bfs
