#include "engine/levels/bfs_score.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>

#include "engine/constants/answers.hpp"
#include "engine/fit/fitter_form.hpp"
#include "engine/levels/bfs_operand.hpp"
#include "engine/levels/pool.hpp"
#include "ops/complex_math.hpp"
#include "ops/registry.hpp"

namespace kov::bfs {

namespace {

using fitting::fitting_threshold;
using fitting::max_fitted_constants;
constexpr double infinity = std::numeric_limits<double>::infinity();
// Head rows whose sum orders the candidates in the screening pass.
constexpr std::size_t screening_rows = 8;

// Squared residuals of the listed rows: stored by row in `terms` and added to `partial`. The
// child's value on a row is its operator applied to the parents' cached values there; a stride
// of 0 repeats a parent's single value. False as soon as a row has no acceptable value.
using RowKernel = bool (*)(const Complex* a, std::size_t a_stride, const Complex* b,
                           std::size_t b_stride, const double* targets, const std::uint32_t* rows,
                           std::size_t count, double* terms, double& partial);

template <std::size_t Op>
bool accumulate_rows(const Complex* a, std::size_t a_stride, const Complex* b, std::size_t b_stride,
                     const double* targets, const std::uint32_t* rows, std::size_t count,
                     double* terms, double& partial) {
    double total = partial;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t j = rows[k];
        const std::optional<Complex> value = apply_op<Op>(a[j * a_stride], b[j * b_stride]);
        if (!value || !is_acceptable_value(*value)) return false;
        const double residual = value->re - targets[j];
        const double term = residual * residual;
        terms[j] = term;
        total += term;
    }
    partial = total;
    return true;
}

template <std::size_t... Ids>
constexpr std::array<RowKernel, sizeof...(Ids)> make_kernels(std::index_sequence<Ids...>) {
    return {&accumulate_rows<Ids>...};
}

constexpr auto row_kernels = make_kernels(std::make_index_sequence<builtin_id::count>());

// The same for a child without variables: one value on every row.
void accumulate_constant(Complex value, const double* targets, const std::uint32_t* rows,
                         std::size_t count, double* terms, double& partial) {
    double total = partial;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t j = rows[k];
        const double residual = value.re - targets[j];
        const double term = residual * residual;
        terms[j] = term;
        total += term;
    }
    partial = total;
}

// A lower bound of the in-order sum of all n terms, from the sum `partial` of some of them added
// in any order. For non-negative terms the in-order sum is at least (1 - γ(n)) times the exact
// sum and `partial` at most (1 + γ(n)) times the exact sum of its terms, γ(n) = n u / (1 - n u)
// with u = 2^-53; the factor below covers both, the rounding of the product and that of the
// factor itself. Exact row order is thereby only needed for the final error.
double rigorous_lower(double partial, std::size_t n) {
    const double factor = 1.0 - (4.0 * static_cast<double>(n) + 16.0) * 0x1.0p-53;
    return partial * factor;
}

float round_down(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
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

// Answer order: front value ascending, then list position; NaN values are never answers.
bool answer_before(const Picked& x, const Picked& y) {
    if (x.front_value != y.front_value) return x.front_value < y.front_value;
    return x.position < y.position;
}

std::vector<double> integer_completions(const SearchConfig& config, std::size_t rows) {
    if (!config.rank_integer_completions || rows != 1) return {};
    std::vector<double> ks{1.0};
    for (const std::int32_t n : config.integer_seeds) ks.push_back(static_cast<double>(n));
    return ks;
}

struct WorkerState {
    std::vector<Picked> heap;     // worst on top
    std::vector<Picked> answers;  // worst on top
    std::optional<Picked> front;
    std::vector<double> terms;  // by row, for the in-order sum
    Expression scratch;
    std::uint64_t scored = 0;
    std::uint64_t fitted = 0;
    double fitting_seconds = 0.0;
};

// Everything about one candidate that its rows need.
struct Prepared {
    Child child;
    const Complex* a = nullptr;
    const Complex* b = nullptr;
    std::size_t a_stride = 0;
    std::size_t b_stride = 0;
    bool fittable = false;
    bool constant_child = false;
    Complex constant_value{};
    RowKernel kernel = nullptr;

    // Whether the child's value on each of the first `count` rows is real up to rounding.
    bool real_on_rows(std::size_t count, std::uint8_t op) const {
        if (constant_child) return is_real_within_rounding(constant_value);
        for (std::size_t j = 0; j < count; ++j) {
            const std::optional<Complex> value = eval_builtin(op, a[j * a_stride], b[j * b_stride]);
            if (!value || !is_real_within_rounding(*value)) return false;
        }
        return true;
    }

    bool add_rows(const double* targets, const std::uint32_t* rows, std::size_t count,
                  double* terms, double& partial) const {
        if (constant_child) {
            accumulate_constant(constant_value, targets, rows, count, terms, partial);
            return true;
        }
        return kernel(a, a_stride, b, b_stride, targets, rows, count, terms, partial);
    }
};

class LevelScorer {
public:
    LevelScorer(const ScoringSetup& setup, FitterSet& fitters)
        : setup_(setup),
          levels_(*setup.levels),
          targets_(setup.targets->data()),
          row_count_(setup.targets->size()),
          rows_as_double_(static_cast<double>(setup.targets->size())),
          head_(*setup.head_rows),
          fitters_(fitters),
          beam_width_(setup.config->beam_width),
          answers_(answers_per_level(setup.config->ranked_answers)),
          completions_(integer_completions(*setup.config, setup.targets->size())),
          weight_(static_cast<double>(setup.level) * setup.config->complexity_penalty + 1) {
        // Abandoning a candidate needs the score and the front value to grow with the error.
        // Ranked answers are kept beyond the beam and the front: nothing is abandoned for them.
        prune_ = std::isfinite(weight_) && weight_ > 0.0 && !head_.empty() && answers_ == 0;
        // With a zero or non-finite weight every front value is NaN: the first scored candidate
        // in list order keeps the entry.
        front_by_position_ = !(std::isfinite(weight_) && weight_ != 0.0);
        // Without pruning the head is scored in row order like every other row.
        const std::vector<std::uint32_t> no_head;
        const std::vector<std::uint32_t>& head = prune_ ? head_ : no_head;
        std::vector<std::uint8_t> in_head(row_count_, 0);
        for (std::uint32_t j : head) in_head[j] = 1;
        for (std::uint32_t j = 0; j < row_count_; ++j) {
            if (in_head[j] == 0) tail_.push_back(j);
        }
        head_count_ = head.size();
    }

    std::optional<ScoringResult> run(const CandidateList& candidates,
                                     const std::function<bool()>& poll) {
        const std::size_t workers = worker_count();
        if (fitters_.size() < workers) fitters_.resize(workers);
        states_.assign(workers, WorkerState{});
        for (WorkerState& state : states_) state.terms.assign(row_count_, 0.0);
        const std::size_t chunk = row_count_ >= 1000 ? 16 : 256;
        const bool screened = prune_ && beam_width_ != 0 && beam_width_ <= candidates.size() / 4;
        std::vector<std::uint8_t> settled;
        std::vector<float> lower;
        if (screened && !screen(candidates, chunk, settled, lower, poll)) return std::nullopt;
        const bool completed = parallel_for(
            candidates.size(), chunk,
            [&](std::size_t begin, std::size_t end, std::size_t worker) {
                WorkerState& state = states_[worker];
                for (std::size_t i = begin; i < end; ++i) {
                    if (screened) {
                        if (settled[i] != 0) continue;
                        const Child c = candidates.child(i);
                        if (hopeless(lower[i], fittable(c), state)) continue;
                        score(c, i, state, worker);
                    } else {
                        score(candidates.child(i), i, state, worker);
                    }
                }
            },
            poll);
        if (!completed) return std::nullopt;

        ScoringResult result;
        std::vector<Picked> all;
        for (WorkerState& state : states_) {
            result.scored += state.scored;
            result.fitted += state.fitted;
            result.fitting_seconds += state.fitting_seconds;
            all.insert(all.end(), state.heap.begin(), state.heap.end());
            result.answers.insert(result.answers.end(), state.answers.begin(), state.answers.end());
            if (state.front && (!result.front || front_before(*state.front, *result.front))) {
                result.front = state.front;
            }
        }
        std::sort(all.begin(), all.end(), ranks_before);
        if (all.size() > beam_width_) all.resize(beam_width_);
        result.beam = std::move(all);
        std::sort(result.answers.begin(), result.answers.end(), answer_before);
        if (result.answers.size() > answers_) result.answers.resize(answers_);
        return result;
    }

private:
    // A cheap first pass that orders the work without changing its outcome: the first head rows
    // of every candidate give a rigorous lower bound of its sum (kept, rounded down, as a float),
    // and the candidates with the lowest bounds are scored in full first. Their scores make the
    // beam's bound nearly final before the bulk is looked at, so that most candidates are then
    // abandoned on their stored bound alone. Marks rejected and already scored candidates settled.
    bool screen(const CandidateList& candidates, std::size_t chunk,
                std::vector<std::uint8_t>& settled, std::vector<float>& lower,
                const std::function<bool()>& poll) {
        const std::size_t count = candidates.size();
        settled.assign(count, 0);
        lower.assign(count, 0.0f);
        const std::size_t first = std::min<std::size_t>(count, 2 * beam_width_);
        std::vector<std::size_t> promising;
        if (!lowest_head_bounds(candidates, chunk, first, settled, lower, promising, poll)) {
            return false;
        }
        const bool completed = parallel_for(
            promising.size(), 8,
            [&](std::size_t begin, std::size_t end, std::size_t worker) {
                for (std::size_t k = begin; k < end; ++k) {
                    const std::size_t i = promising[k];
                    score(candidates.child(i), i, states_[worker], worker);
                    settled[i] = 1;
                }
            },
            poll);
        if (!completed) return false;
        bound_beam_by_best_scores();
        return true;
    }

    // Bounds every candidate's error from below on the first head rows (`lower`, settling the
    // rejected ones) and lists the `first` candidates with the lowest bounds, in position order.
    // False when cancelled.
    bool lowest_head_bounds(const CandidateList& candidates, std::size_t chunk, std::size_t first,
                            std::vector<std::uint8_t>& settled, std::vector<float>& lower,
                            std::vector<std::size_t>& promising,
                            const std::function<bool()>& poll) {
        const std::size_t rows = std::min(screening_rows, head_count_);
        using Bound = std::pair<double, std::size_t>;
        std::vector<std::vector<Bound>> best(states_.size());
        const bool completed = parallel_for(
            candidates.size(), chunk,
            [&](std::size_t begin, std::size_t end, std::size_t worker) {
                std::vector<Bound>& heap = best[worker];
                double* terms = states_[worker].terms.data();
                for (std::size_t i = begin; i < end; ++i) {
                    Prepared p;
                    double partial = 0.0;
                    if (!prepare(candidates.child(i), p) ||
                        !p.add_rows(targets_, head_.data(), rows, terms, partial)) {
                        settled[i] = 1;  // rejected
                        continue;
                    }
                    const double bound = rigorous_lower(partial, row_count_);
                    lower[i] = round_down(bound);
                    if (!(bound == bound)) continue;  // NaN: no use for ordering
                    if (heap.size() < first) {
                        heap.emplace_back(bound, i);
                        std::push_heap(heap.begin(), heap.end());
                    } else if (Bound{bound, i} < heap.front()) {
                        std::pop_heap(heap.begin(), heap.end());
                        heap.back() = {bound, i};
                        std::push_heap(heap.begin(), heap.end());
                    }
                }
            },
            poll);
        if (!completed) return false;

        std::vector<Bound> merged;
        for (const auto& heap : best) merged.insert(merged.end(), heap.begin(), heap.end());
        std::sort(merged.begin(), merged.end());
        if (merged.size() > first) merged.resize(first);
        for (const Bound& b : merged) promising.push_back(b.second);
        std::sort(promising.begin(), promising.end());
        return true;
    }

    // The workers' heaps together hold the best scores so far: their K-th is a bound.
    void bound_beam_by_best_scores() {
        std::vector<double> scores;
        for (const WorkerState& state : states_) {
            for (const Picked& picked : state.heap) scores.push_back(picked.score);
        }
        if (scores.size() >= beam_width_) {
            std::nth_element(scores.begin(), scores.begin() + (beam_width_ - 1), scores.end(),
                             score_less);
            lower_to(beam_bound_, scores[beam_width_ - 1]);
        }
    }

    bool fittable(const Child& c) const {
        if (!setup_.config->fit_constants) return false;
        std::uint32_t constants = levels_[c.left_level].nodes[c.a].const_count;
        if (c.arity == 2) {
            constants += levels_[c.right_level(setup_.level)].nodes[c.b].const_count;
        }
        return constants >= 1 && constants <= max_fitted_constants;
    }

    bool front_before(const Picked& x, const Picked& y) const {
        if (front_by_position_) return x.position < y.position;
        if (x.front_value != y.front_value) return x.front_value < y.front_value;
        return x.position < y.position;
    }

    // True when a sum of squares of at least `lower` proves the candidate can neither be fitted,
    // nor enter the beam, nor improve the level's front entry.
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

    // False when the candidate is rejected before any row: a parent lacks a value on some row,
    // or a child without variables has no acceptable value.
    bool prepare(const Child& c, Prepared& p) const {
        const Level& left_level = levels_[c.left_level];
        const Level& right_level = c.arity == 2 ? levels_[c.right_level(setup_.level)] : left_level;
        const Node& left = left_level.nodes[c.a];
        const Node& right = c.arity == 2 ? right_level.nodes[c.b] : left;
        if (!left.rows_ok || !right.rows_ok) return false;
        p.child = c;
        const std::uint32_t constants = left.const_count + (c.arity == 2 ? right.const_count : 0);
        p.fittable =
            setup_.config->fit_constants && constants >= 1 && constants <= max_fitted_constants;
        p.a = left_level.row_values(c.a);
        p.b = c.arity == 2 ? right_level.row_values(c.b) : p.a;
        p.a_stride = left.constant ? 0 : 1;
        p.b_stride = right.constant ? 0 : 1;
        p.constant_child = left.constant && right.constant;
        if (p.constant_child) {
            const std::optional<Complex> value = eval_builtin(c.op, p.a[0], p.b[0]);
            if (!value || !is_acceptable_value(*value)) return false;
            p.constant_value = *value;
        }
        p.kernel = row_kernels[c.op];
        return true;
    }

    // The raw error of the candidate, or nothing when it is rejected or abandoned. The head rows
    // come first, farthest target first, then the others in row order; the running sum (in that
    // order) bounds the in-order sum from below at each checkpoint, and the error itself is the
    // in-order sum of the stored terms.
    std::optional<double> raw_error(const Prepared& p, WorkerState& state) const {
        double* terms = state.terms.data();
        double partial = 0.0;
        std::size_t done = 0;
        std::size_t checkpoint = std::min(screening_rows, head_count_);
        while (done < head_count_) {
            if (!p.add_rows(targets_, head_.data() + done, checkpoint - done, terms, partial)) {
                return std::nullopt;
            }
            done = checkpoint;
            if (hopeless(rigorous_lower(partial, row_count_), p.fittable, state)) {
                return std::nullopt;
            }
            checkpoint = std::min(head_count_, checkpoint * 2);
        }
        std::size_t step = 64;
        for (std::size_t begin = 0; begin < tail_.size();) {
            const std::size_t count = std::min(step, tail_.size() - begin);
            if (!p.add_rows(targets_, tail_.data() + begin, count, terms, partial)) {
                return std::nullopt;
            }
            begin += count;
            if (prune_ && begin < tail_.size() &&
                hopeless(rigorous_lower(partial, row_count_), p.fittable, state)) {
                return std::nullopt;
            }
            step = std::min<std::size_t>(step * 2, 2048);
        }
        double sum = 0.0;
        for (std::size_t j = 0; j < row_count_; ++j) sum += terms[j];
        return std::sqrt(sum / rows_as_double_);
    }

    void score(const Child& c, std::size_t position, WorkerState& state, std::size_t worker) {
        Prepared p;
        if (!prepare(c, p)) return;
        const std::optional<double> raw = raw_error(p, state);
        if (!raw || !std::isfinite(*raw)) return;

        double error = *raw;
        bool fitted = false;
        ScoredExpression outcome;
        if (p.fittable && *raw < fitting_threshold) {
            std::unique_ptr<ConstantFitter>& fitter = fitters_[worker];
            if (!fitter) {
                fitter = std::make_unique<ConstantFitter>(*setup_.rows, *setup_.targets,
                                                          *setup_.operators);
            }
            compose_tokens(c, state.scratch);
            const auto start = std::chrono::steady_clock::now();
            outcome = fitter->fit(state.scratch, *raw);
            state.fitting_seconds +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            ++state.fitted;
            error = outcome.error;
            fitted = error < *raw;
        }
        ++state.scored;

        Picked picked;
        picked.score = error * weight_;
        picked.front_value = picked.score / weight_;
        if (!completions_.empty() && !fitted) {
            picked.score = std::min(error, completion_error(p, c.op)) * weight_;
        }
        picked.raw_error = *raw;
        picked.position = position;
        picked.candidate = c;
        picked.fitted = fitted;
        offer_to_beam(picked, state);
        // A candidate that is no answer still builds later levels, but neither the front nor the
        // answers see it.
        if (setup_.config->real_answers_only) {
            const bool real =
                fitted ? is_real_on_rows(outcome.expression, *setup_.rows, *setup_.operators)
                       : p.real_on_rows(row_count_, c.op);
            if (!real) return;
        }
        if (!state.front || front_before(picked, *state.front)) {
            state.front = picked;
            if (!front_by_position_) lower_to(front_bound_, picked.front_value);
        }
        offer_answer(picked, state);
    }

    // The least distance to the target that one operation with an integer, or Exp or Log,
    // reaches from the candidate's value on the single row.
    double completion_error(const Prepared& p, std::uint8_t op) const {
        const std::optional<Complex> value = p.constant_child
                                                 ? std::optional<Complex>(p.constant_value)
                                                 : eval_builtin(op, p.a[0], p.b[0]);
        if (!value) return infinity;
        const double x = value->re;
        const double t = targets_[0];
        double best = infinity;
        const auto consider = [&](double reached) {
            const double distance = std::fabs(reached - t);
            if (distance < best) best = distance;
        };
        for (const double k : completions_) {
            for (const double reached : {x + k, x - k, k - x, x * k, x / k, k / x}) {
                consider(reached);
            }
        }
        // One unary step as well: Divide(Log(2), 3) is one Exp from the cube root of 2. (Sqrt
        // and squaring as well would crowd the beam with blocks one step from the target.)
        consider(std::exp(x));
        if (x > 0.0) consider(std::log(x));
        return best;
    }

    void offer_answer(const Picked& picked, WorkerState& state) const {
        if (answers_ == 0 || !(picked.front_value == picked.front_value)) return;
        std::vector<Picked>& heap = state.answers;
        if (heap.size() < answers_) {
            heap.push_back(picked);
            std::push_heap(heap.begin(), heap.end(), answer_before);
        } else if (answer_before(picked, heap.front())) {
            std::pop_heap(heap.begin(), heap.end(), answer_before);
            heap.back() = picked;
            std::push_heap(heap.begin(), heap.end(), answer_before);
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
            const Expression& right = levels_[c.right_level(setup_.level)].expressions[c.b];
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
    const std::vector<std::uint32_t>& head_;
    std::size_t head_count_ = 0;       // head rows scored first (0 without pruning)
    std::vector<std::uint32_t> tail_;  // every other row, ascending
    FitterSet& fitters_;
    std::uint64_t beam_width_;
    std::size_t answers_;
    std::vector<double> completions_;  // 1 and the added integers, when ranking by completions
    double weight_;
    bool prune_ = false;
    bool front_by_position_ = false;
    std::vector<WorkerState> states_;
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
    const Expression& right = levels[candidate.right_level(level)].expressions[candidate.b];
    return Expression::binary(registry, candidate.op, left, right);
}

}  // namespace kov::bfs
