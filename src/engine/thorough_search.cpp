#include "engine/thorough_search.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <set>

#include "core/fingerprint.hpp"
#include "engine/bfs_expand.hpp"
#include "engine/bfs_level.hpp"
#include "engine/bfs_level_build.hpp"
#include "engine/bfs_progress.hpp"
#include "engine/bfs_score.hpp"
#include "engine/constant_snapping.hpp"
#include "engine/data_precision.hpp"
#include "engine/fingerprint_table.hpp"
#include "engine/least_squares.hpp"
#include "engine/model_selection.hpp"
#include "engine/pool.hpp"
#include "engine/probe_key.hpp"
#include "engine/residual_structure.hpp"
#include "engine/thorough_front.hpp"
#include "engine/thorough_memory.hpp"
#include "engine/thorough_pairs.hpp"
#include "engine/thorough_rank.hpp"
#include "engine/thorough_terms.hpp"
#include "engine/time_limit.hpp"
#include "ops/complex_math.hpp"
#include "ops/registry.hpp"

namespace kov {

namespace {

using namespace bfs;
using Clock = std::chrono::steady_clock;

// Rows the levels cache and rank on; larger data is subsampled to this many.
constexpr std::size_t sample_limit = 128;
// Leading rows of the sample, spread over the targets, on which every candidate is screened.
constexpr std::size_t screening_rows = 16;
// Children generated per level at most (parents beyond a common rank cap are left out), unless
// beam_width parents per level give more; the memory budget bounds even those.
constexpr double children_budget = 5e6;
// Bytes the search's data may take together (levels, fingerprint set, candidates, pools): with
// the interpreter and its imports, a process well below 1.5 GB.
constexpr double memory_budget = 1e9;
// Expressions a level keeps at most, and its constants (no variables) kept apart.
constexpr std::size_t level_cap = 40000;
constexpr std::size_t constant_quota = 64;
// Best candidates per level offered to the front in affine form.
constexpr std::size_t offered_per_level = 96;
// Of those (and of the fits), the best confirmed on all rows when the data is subsampled.
constexpr std::size_t confirmed_per_level = 16;
// Rows the confirmations measure candidates on: evenly strided beyond this many, since telling
// the best of a few candidates needs no more; polishing measures the front's formulas on all rows.
constexpr std::size_t confirmation_limit = 1000;
// Best candidates per level with named constants whose constants become fitted numbers.
constexpr std::size_t fitted_per_level = 128;
constexpr std::uint32_t max_fitted_constants = 4;
// A formula within this factor of the noise is as good as the data can tell: the search stops.
// An estimated noise level is itself uncertain (and tends low on few rows): it gets this many of
// its standard errors more room.
constexpr double given_noise_margin = 1.1;
constexpr double estimate_standard_errors = 1.0;
// Errors below this fraction of the targets' RMS are rounding: such formulas count as exact.
constexpr double exact_fraction = 1e-12;
// Sums of two building blocks a·f + b·g + c: the best blocks of each level join a pool, the best
// of each new level are paired with the whole pool, and the best pairs are confirmed on all rows.
constexpr std::size_t pool_per_level = 64;
// Small blocks are the usual terms of a sum: more of them join.
constexpr std::size_t pool_per_small_level = 256;
constexpr std::uint64_t small_level = 4;
// Partners per level: as many as keep the pairing within this many multiply-adds, at least
// the best few thousand.
constexpr double pairing_budget = 1e9;
constexpr std::size_t partners_at_least = 2000;
constexpr std::size_t pairs_confirmed = 16;
// Sums of three or more blocks are picked, once this level is done, among the pool's blocks up
// to this complexity (single functions of a variable, x·y, sin(x²), …) and the products of the
// variables, as many whole degrees of those as give at most `most_products`.
constexpr std::uint64_t simple_block_complexity = 4;
constexpr std::size_t most_products = 84;
// Blocks up to this complexity may lend the ranking a target: what remains of the targets once
// the block's share is taken out, so that the other part of a sum survives until it is paired.
constexpr std::uint64_t residual_block_level = 3;
// Such a block must explain some of the targets, but not nearly all.
constexpr double residual_least_correlation = 0.3;
constexpr double residual_most_correlation = 0.9995;
// Levels a time-limited search may go to past max_complexity.
constexpr std::uint64_t deepest_level = 40;

// Noise above this fraction of the targets' standard deviation makes the noise floor loose: many
// formulas of simple numbers reach it, so reaching it says little about the structure. At 1% of
// the targets a wrong structure rarely gets there; at 10% many do.
constexpr double loose_floor_fraction = 0.05;

double spread_of(std::span<const double> values) {
    double mean = 0.0;
    for (double v : values) mean += v;
    mean /= static_cast<double>(values.size());
    double squares = 0.0;
    for (double v : values) squares += (v - mean) * (v - mean);
    return std::sqrt(squares / static_cast<double>(values.size()));
}

double seconds(Clock::duration elapsed) {
    return std::chrono::duration<double>(elapsed).count();
}

// `count` rows at evenly spaced ranks of the targets' order (extremes included), and the rest.
void spread_first(std::vector<std::uint32_t>& rows, const std::vector<double>& targets,
                  std::size_t count) {
    const std::size_t n = rows.size();
    if (n <= count) return;
    std::vector<std::uint32_t> order = rows;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t x, std::uint32_t y) { return targets[x] < targets[y]; });
    std::vector<std::uint8_t> taken(n, 0);
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t rank = i * (n - 1) / (count - 1);
        taken[rank] = 1;
        out.push_back(order[rank]);
    }
    std::vector<std::uint32_t> rest;
    for (std::size_t r = 0; r < n; ++r) {
        if (taken[r] == 0) rest.push_back(order[r]);
    }
    std::sort(rest.begin(), rest.end());
    out.insert(out.end(), rest.begin(), rest.end());
    rows = std::move(out);
}

// The rows the levels cache: all of them, or a well-spread deterministic subsample, with the
// rows the ranking screens on first.
std::vector<std::uint32_t> pick_sample(const std::vector<double>& targets) {
    std::vector<std::uint32_t> rows(targets.size());
    std::iota(rows.begin(), rows.end(), 0);
    spread_first(rows, targets, sample_limit);
    rows.resize(std::min(rows.size(), sample_limit));
    spread_first(rows, targets, screening_rows);
    return rows;
}

// A child's values on the cached rows from its parents'; false when a row has no acceptable
// value. One instantiation per operator so that each inlines.
using DeriveKernel = bool (*)(const Complex* a, std::size_t a_stride, const Complex* b,
                              std::size_t b_stride, std::size_t count, Complex* out);

template <std::size_t Op>
bool derive_rows(const Complex* a, std::size_t a_stride, const Complex* b, std::size_t b_stride,
                 std::size_t count, Complex* out) {
    bool ok = true;
    for (std::size_t j = 0; j < count; ++j) {
        const std::optional<Complex> value = apply_op<Op>(a[j * a_stride], b[j * b_stride]);
        ok = ok && value && is_acceptable_value(*value);
        out[j] = value.value_or(Complex{});
    }
    return ok;
}

template <std::size_t... Ids>
constexpr std::array<DeriveKernel, sizeof...(Ids)> make_derive_kernels(
    std::index_sequence<Ids...>) {
    return {&derive_rows<Ids>...};
}

constexpr auto derive_kernels = make_derive_kernels(std::make_index_sequence<builtin_id::count>());

FingerprintKeys probe_keys(const Node& node) {
    FingerprintKeys keys{};
    for (std::size_t p = 0; p < probe_count; ++p) {
        keys[2 * p] = probe_key(node.probes[p].re);
        keys[2 * p + 1] = probe_key(node.probes[p].im);
    }
    return keys;
}

// The expression with its tokens of one kind (named constants, or fitted numbers for a refit) as
// parameters, starting from their real parts.
Expression parameter_form(const Expression& expression, TokenKind kind,
                          std::vector<double>& initial) {
    Expression form = expression;
    initial.clear();
    for (Token& token : form.tokens) {
        if (token.kind != kind) continue;
        const double start = token.value.re;
        token = Token::param(static_cast<std::uint8_t>(initial.size()), Complex{start, 0.0});
        initial.push_back(start);
    }
    return form;
}

// The parameters as Real tokens holding the fitted numbers.
Expression with_numbers(const Expression& form, std::span<const double> params) {
    Expression out = form;
    for (Token& token : out.tokens) {
        if (token.kind == TokenKind::Param) token = Token::real(params[token.index]);
    }
    return out;
}

// What the levels are ranked against on the sample rows, each centred: the targets, then the
// targets times and divided by each variable (the first few; division only by a variable that
// keeps away from zero), so that a factor of a product or quotient survives until it is used.
std::vector<std::vector<double>> ranking_targets(const std::vector<std::vector<double>>& rows,
                                                 const std::vector<double>& targets,
                                                 const std::vector<std::uint32_t>& sample) {
    std::vector<std::vector<double>> out;
    const auto add = [&](const auto& value) {
        std::vector<double> y;
        double mean = 0.0;
        for (std::uint32_t j : sample) {
            y.push_back(value(j));
            mean += y.back();
        }
        mean /= static_cast<double>(y.size());
        for (double& v : y) v -= mean;
        if (std::all_of(y.begin(), y.end(), [](double v) { return std::isfinite(v); })) {
            out.push_back(std::move(y));
        }
    };
    add([&](std::uint32_t j) { return targets[j]; });
    const std::size_t variables = rows.front().size();
    for (std::size_t v = 0; v < variables && out.size() + 2 <= max_ranking_targets; ++v) {
        double smallest = std::numeric_limits<double>::infinity();
        double largest = 0.0;
        for (std::uint32_t j : sample) {
            if (v >= rows[j].size()) return out;
            smallest = std::fmin(smallest, std::fabs(rows[j][v]));
            largest = std::fmax(largest, std::fabs(rows[j][v]));
        }
        add([&](std::uint32_t j) { return targets[j] * rows[j][v]; });
        if (smallest > 1e-2 * largest)
            add([&](std::uint32_t j) { return targets[j] / rows[j][v]; });
    }
    return out;
}

std::uint32_t count_constants(const Expression& expression) {
    return static_cast<std::uint32_t>(
        std::count_if(expression.tokens.begin(), expression.tokens.end(),
                      [](const Token& t) { return t.kind == TokenKind::Const; }));
}

class ThoroughSearch {
public:
    ThoroughSearch(const std::vector<std::vector<double>>& rows, const std::vector<double>& targets,
                   const SearchConfig& config, const SearchHooks& hooks)
        : input_rows_(rows),
          targets_(targets),
          config_(config),
          hooks_(hooks),
          registry_(std::make_shared<OperatorRegistry>(OperatorRegistry::with_builtins())),
          variables_(rows.front().size()),
          deadline_(config.time_limit),
          memory_(share_memory(memory_budget)),
          table_(std::make_unique<FingerprintTable>()),
          // Constants to recognise (nothing fitted) are not tabled data: their digits are the
          // question, not noise.
          precision_(config.fit_constants ? DataPrecision(rows, targets) : DataPrecision({}, {})) {
        rows_.reserve(rows.size());
        for (const auto& row : rows) {
            auto& converted = rows_.emplace_back();
            for (double value : row) converted.push_back(Complex{value, 0.0});
        }
        if (rows_.size() > confirmation_limit) {
            for (std::size_t k = 0; k < confirmation_limit; ++k) {
                const std::size_t j = k * rows_.size() / confirmation_limit;
                strided_rows_.push_back(rows_[j]);
                strided_targets_.push_back(targets[j]);
            }
        }
        sample_ = pick_sample(targets);
        for (std::uint32_t j : sample_) sample_rows_.push_back(rows_[j]);
        ranking_targets_ = ranking_targets(rows, targets, sample_);
        double square_sum = 0.0;
        for (double t : targets) square_sum += t * t;
        const double rms = std::sqrt(square_sum / static_cast<double>(targets.size()));
        scale_ = rms > 0.0 && std::isfinite(rms) ? rms : 1.0;
        for (std::size_t id : registry_->ids_by_arity(1)) ops_.unary.push_back(narrow(id));
        for (std::size_t id : registry_->ids_by_arity(2)) ops_.binary.push_back(narrow(id));
        ops_.commutative.resize(registry_->size());
        for (std::size_t id = 0; id < registry_->size(); ++id) {
            ops_.commutative[id] = registry_->meta(id).is_commutative;
        }
        poll_ = [this] {
            if (hooks_.should_cancel && hooks_.should_cancel()) {
                cancelled_ = true;
                return true;
            }
            timed_out_ = deadline_.passed();
            return timed_out_;
        };
        std::vector<double> sample_targets;
        for (std::uint32_t j : sample_) sample_targets.push_back(targets[j]);
        unit_target_ = unit_vector(sample_targets);
        noise_ = config.noise ? *config.noise : estimate_noise(rows, targets);
        fitters_.resize(worker_count());
        // Hook (thorough_verify.hpp): fitted formulas reach the front cleaned and verified.
        if (config.fit_constants) {
            front_.set_gate(std::make_shared<FrontGate>(rows_, targets, registry_));
        }
    }

    SearchOutcome run() {
        levels_.resize(2);
        seed();
        if (config_.fit_constants && !offer_pairs(1)) {
            if (cancelled_) return SearchError::cancelled();
        }
        if (!should_stop()) {
            print(seeded_line(levels_[1].size()));
            for (std::uint64_t level = 2;; ++level) {
                if (!worth_running(level)) break;
                const bool completed = run_level(level);
                if (cancelled_) return SearchError::cancelled();
                if (!completed || deadline_.passed()) {
                    print(time_limit_line(deadline_.limit(), level));
                    break;
                }
                searched_level_ = level;
                if (should_stop()) break;
            }
        }
        polish();
        return front_.finalize(registry_, config_, exact_fraction * scale_);
    }

private:
    static std::uint8_t narrow(std::size_t id) { return static_cast<std::uint8_t>(id); }

    const OperatorList& operators() const { return registry_->operators(); }

    void print(const std::string& line) const {
        if (config_.verbose && hooks_.progress) hooks_.progress(line);
    }

    // Exact relative to the targets' scale, or down to the noise with a formula of simple numbers.
    bool should_stop() {
        // Hook: even when every level was asked for (find_candidates), a search stops once its
        // front holds an exact formula or one at the noise floor: nothing beyond it can join.
        const double best = front_.best_error();
        if (best <= config_.early_exit_tolerance * scale_) return true;
        return noise_floor_reached();
    }

    // Reaching the noise floor alone does not show the structure: a wrong one with a few fitted
    // numbers bends to fit the noise as well, and tends to come first, being shorter; and on few
    // noise-free rows the estimated "noise" may be curvature the rows do not resolve. A formula at
    // the floor whose numbers all snap to simple values while it stays there, and whose residuals
    // leave nothing that neighbouring rows share, is the data's formula as far as they can tell;
    // otherwise the search goes on. Each front entry is tried once.
    bool noise_floor_reached() {
        // Hook (data_precision.hpp): the rounding of tabled data is noise as well.
        if (!(noise_ > 0.0) && !precision_.rounded()) return false;
        const double margin =
            config_.noise ? given_noise_margin
                          : given_noise_margin * (1.0 + estimate_standard_errors *
                                                            noise_estimate_spread(rows_.size()));
        const double floor = margin * noise_;
        const bool loose_floor = noise_ > loose_floor_fraction * spread_of(targets_);
        std::vector<double> values;
        std::vector<Complex> stack;
        for (const auto& [complexity, entry] : front_.entries()) {
            const auto& [error, expression] = entry;
            // A shorter formula may still reach the floor: while the levels are searched whole,
            // the search goes on until every shorter one was looked at. Hook: so it does past
            // the budgets' cuts when the floor is loose (loose_floor_fraction): then sums of
            // blocks with simple numbers reach it long before the levels that hold the true,
            // shorter formula.
            if ((searched_whole_ || loose_floor) && searched_level_ + 1 < complexity) continue;
            // Hook (data_precision.hpp): on tabled data a formula of simple numbers within the
            // rounding of every row is as good as the data can tell.
            if (precision_.rounded()) {
                const Expression simple =
                    precision_.snap_within_rounding(expression, rows_, targets_, operators());
                FormulaCost numbers;
                count_numbers(simple, numbers);
                if (numbers.fitted_constants == 0 &&
                    precision_.within_rounding(simple, rows_, targets_, operators())) {
                    return true;
                }
            }
            const double rounding = precision_.rounding_sigma(expression, rows_, operators());
            const double entry_floor =
                rounding > 0.0 ? margin * std::hypot(noise_, rounding) : floor;
            if (error > entry_floor || !tried_at_floor_.insert({complexity, error}).second) {
                continue;
            }
            const Expression snapped = snap_constants(
                expression, rows_, targets_,
                precision_.with_rounding(snapping_noise(), expression, rows_, operators()),
                operators());
            FormulaCost cost;
            count_numbers(snapped, cost);
            if (cost.fitted_constants > 0) continue;
            if (!real_values(snapped, rows_, operators(), values, stack)) continue;
            if (rms_error(values, targets_) > entry_floor) continue;
            for (std::size_t j = 0; j < values.size(); ++j) values[j] -= targets_[j];
            if (!residual_structure_) residual_structure_.emplace(input_rows_);
            if (residual_structure_->looks_like_noise(values)) return true;
        }
        return false;
    }

    // The estimated noise counts like a given one: a snap that costs no more than the noise is
    // what the data allow.
    NoiseModel snapping_noise() const {
        const std::optional<double> sigma =
            config_.noise ? config_.noise : (noise_ > 0.0 ? std::optional(noise_) : std::nullopt);
        return NoiseModel{scale_, sigma};
    }

    // Levels up to max_complexity always run; past it only with a time limit, while the next
    // level is predicted to finish in the time left.
    bool worth_running(std::uint64_t level) const {
        if (level <= config_.max_complexity) return true;
        if (!deadline_.limited() || level > deepest_level) return false;
        if (keep_count(level) == 0) return false;  // no memory left to keep what it finds
        const double cost = expansion_cost(level, parent_cap(level));
        const double predicted = last_level_seconds_ * cost / std::max(last_level_cost_, 1.0);
        return predicted < deadline_.remaining();
    }

    std::size_t size_of(std::uint64_t k) const { return levels_[k].size(); }

    // Parents level k can still give: all its expressions, or those before an earlier cap.
    std::size_t parents_of(std::uint64_t k) const {
        return std::min(size_of(k), parent_limits_[k]);
    }

    // Children the expansion of `level` generates when each level gives at most `cap` parents.
    double expansion_cost(std::uint64_t level, std::size_t cap) const {
        const auto capped = [&](std::uint64_t k) {
            return static_cast<double>(std::min(parents_of(k), cap));
        };
        // The level below is only ever a unary parent here: cheap, never capped.
        double cost = static_cast<double>(size_of(level - 1) * ops_.unary.size());
        for (std::uint64_t k = 1; k + 2 <= level; ++k) {
            cost += capped(k) * capped(level - 1 - k) * static_cast<double>(ops_.binary.size());
        }
        return cost;
    }

    // The largest common cap on the parents per level that keeps the expansion within budget,
    // never below beam_width unless the memory for a level's children requires.
    std::size_t parent_cap(std::uint64_t level) const {
        const std::size_t beam = std::max<std::size_t>(config_.beam_width, 1);
        const std::size_t memory_cap =
            largest_cap_within(level, static_cast<double>(memory_.children_per_level));
        return std::min(std::max(largest_cap_within(level, children_budget), beam), memory_cap);
    }

    // The largest cap (at least 1) whose expansion generates at most `budget` children.
    std::size_t largest_cap_within(std::uint64_t level, double budget) const {
        std::size_t largest = 1;
        for (std::uint64_t k = 1; k < level; ++k) largest = std::max(largest, size_of(k));
        if (expansion_cost(level, largest) <= budget) return largest;
        std::size_t low = 1;
        std::size_t high = largest;
        while (low + 1 < high) {
            const std::size_t middle = low + (high - low) / 2;
            if (expansion_cost(level, middle) <= budget) {
                low = middle;
            } else {
                high = middle;
            }
        }
        return low;
    }

    // Levels from 1 to level - 2 give at most `cap` parents from now on (a cap never grows back),
    // so the row values of their expressions past it are given back.
    void lower_parent_limits(std::uint64_t level, std::size_t cap) {
        for (std::uint64_t k = 1; k + 2 <= level; ++k) {
            if (cap >= parent_limits_[k]) continue;
            parent_limits_[k] = cap;
            kept_bytes_ -= release_row_values(levels_[k], cap);
        }
    }

    void seed() {
        std::vector<Expression> seeds;
        for (std::size_t id : registry_->ids_by_arity(0)) {
            seeds.push_back(Expression::constant_leaf(*registry_, id));
        }
        for (std::size_t j = 0; j < variables_; ++j) {
            seeds.push_back(Expression::variable_leaf(static_cast<std::uint8_t>(j)));
        }
        Level& level = levels_[1];
        std::vector<double> values;
        std::vector<Complex> stack;
        for (Expression& seed : seeds) {
            const std::uint64_t position = next_position_++;
            const std::optional<Fingerprint> key = fingerprint(seed, operators());
            if (!key) continue;
            std::array<std::int64_t, 10> keys{};
            for (std::size_t p = 0; p < key->size(); ++p) {
                keys[2 * p] = (*key)[p].first;
                keys[2 * p + 1] = (*key)[p].second;
            }
            if (table_->insert(digest_of(keys), position).outcome !=
                FingerprintTable::Outcome::Added) {
                continue;
            }
            if (real_values(seed, rows_, operators(), values, stack)) {
                for (ScoredExpression& variant : variants(seed, values, targets_)) {
                    front_.offer(variant.expression, variant.error);
                }
            }
            add_seed(level, std::move(seed));
        }
        rank_formulas(level);
        parent_limits_.assign(2, std::numeric_limits<std::size_t>::max());
        kept_bytes_ += level_bytes(level);
    }

    void add_seed(Level& level, Expression seed) {
        Node node;
        node.values = level.values.size();
        node.const_count = count_constants(seed);
        const Token& token = seed.tokens.front();
        if (token.kind == TokenKind::Const) {
            node.constant = true;
            node.probes.fill(token.value);
            level.values.push_back(token.value);
        } else {
            for (unsigned p = 0; p < probe_count; ++p) node.probes[p] = probe_value(p, token.index);
            for (const auto& row : sample_rows_) {
                if (token.index < row.size()) {
                    level.values.push_back(row[token.index]);
                } else {
                    node.rows_ok = false;
                    level.values.push_back(Complex{});
                }
            }
        }
        cache_operand_parts(node);
        level.nodes.push_back(node);
        level.expressions.push_back(std::move(seed));
    }

    // The forms of f the front is offered: with fitting off (a constant to recognise) only f.
    std::vector<ScoredExpression> variants(const Expression& f, std::span<const double> values,
                                           std::span<const double> targets) const {
        if (config_.fit_constants) return affine_variants(f, values, targets);
        std::vector<ScoredExpression> out;
        const double error = rms_error(values, targets);
        if (std::isfinite(error)) out.push_back({f, error});
        return out;
    }

    // Expressions the level may keep: a third of the memory left for the caches, or beam_width
    // while that much is left.
    std::size_t keep_count(std::uint64_t level) const {
        const double left = std::max(memory_.level_bytes - kept_bytes_, 0.0) /
                            expected_node_bytes(level, sample_rows_.size());
        const auto fits =
            static_cast<std::size_t>(std::min(left / 3.0, static_cast<double>(level_cap)));
        const auto beam =
            static_cast<std::size_t>(std::min(left, static_cast<double>(config_.beam_width)));
        return std::max(fits, beam);
    }

    // Starts the fingerprint set anew from the kept expressions when the keys of the level about
    // to be expanded (`new_keys` at most) would not fit beside the ones it holds.
    void bound_fingerprints(double new_keys) {
        if (static_cast<double>(table_->size()) + new_keys <=
            static_cast<double>(memory_.fingerprint_keys)) {
            return;
        }
        table_ = std::make_unique<FingerprintTable>();
        for (std::size_t k = 1; k < levels_.size(); ++k) {
            for (const Node& node : levels_[k].nodes) {
                if (node.probes_ok)
                    (void)table_->insert(digest_of(probe_keys(node)), next_position_++);
            }
        }
    }

    bool run_level(std::uint64_t level) {
        const auto start = Clock::now();
        LevelStats stats;
        stats.level = level;
        const std::size_t cap = parent_cap(level);
        lower_parent_limits(level, cap);
        const double cost = expansion_cost(level, cap);
        bound_fingerprints(cost);
        std::vector<std::size_t> limits(level, cap);
        for (std::uint64_t k = 1; k + 2 <= level; ++k) limits[k] = parents_of(k);
        limits[level - 1] = levels_[level - 1].size();

        CandidateList candidates;
        ExpansionCounts counts;
        if (!expand_level(levels_, level, ops_, *table_, next_position_, candidates, counts, poll_,
                          limits)) {
            return false;
        }
        const auto expanded = Clock::now();
        const std::size_t keep = keep_count(level);
        const std::optional<AffineRanking> ranking =
            rank_affine(levels_, level, candidates, ranking_targets_, keep, constant_quota, poll_);
        if (!ranking) return false;
        // Whole: every parent expanded and every distinct child kept.
        searched_whole_ = searched_whole_ && candidates.size() <= keep;
        for (std::uint64_t k = 1; k + 1 < level; ++k) {
            searched_whole_ = searched_whole_ && limits[k] >= size_of(k);
        }
        if (!offer_best(level, ranking->kept)) return false;
        if (config_.fit_constants && !fit_best(level, ranking->kept)) return false;
        const auto scored_at = Clock::now();

        std::vector<AffinePick> kept = ranking->kept;
        kept.insert(kept.end(), ranking->constants.begin(), ranking->constants.end());
        Level next = build_level(level, kept);
        rank_formulas(next);
        kept_bytes_ += level_bytes(next);
        levels_.push_back(std::move(next));
        parent_limits_.push_back(std::numeric_limits<std::size_t>::max());
        if (config_.fit_constants && !offer_pairs(level)) return false;
        if (config_.fit_constants && level == residual_block_level) add_residual_targets();
        if (config_.fit_constants && level == simple_block_complexity && !offer_sums())
            return false;

        const auto elapsed = Clock::now() - start;
        last_level_seconds_ = seconds(elapsed);
        last_level_cost_ = cost;
        print(level_line(level, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed),
                         levels_[level].size()));
        if (hooks_.on_level) hooks_.on_level(level, levels_[level].expressions);
        if (hooks_.stats != nullptr) {
            stats.generated = counts.generated;
            stats.unique = candidates.size();
            stats.scored = ranking->scored;
            stats.kept = levels_[level].size();
            stats.expansion_seconds = seconds(expanded - start);
            stats.scoring_seconds = seconds(scored_at - expanded);
            hooks_.stats->levels.push_back(stats);
        }
        return true;
    }

    // How many of a level's best forms are confirmed on all rows: all offered ones when the
    // sample is the data, else only the best few, so that large data costs little more.
    std::size_t confirmed(std::size_t offered) const {
        return sample_.size() == rows_.size() ? offered : std::min(offered, confirmed_per_level);
    }

    // The rows and targets confirmations measure on: all, or evenly strided ones of large data.
    const ComplexRows& confirmation_rows() const {
        return strided_rows_.empty() ? rows_ : strided_rows_;
    }
    std::span<const double> confirmation_targets() const {
        return strided_rows_.empty() ? std::span<const double>(targets_) : strided_targets_;
    }

    // The expressions evaluated on the confirmation rows and offered to the front in their affine
    // forms, in the given order so that the front does not depend on the thread count.
    bool confirm(const std::vector<Expression>& expressions) {
        std::vector<std::vector<ScoredExpression>> offers(expressions.size());
        const bool completed = parallel_for(
            expressions.size(), 2,
            [&](std::size_t begin, std::size_t end, std::size_t) {
                std::vector<double> values;
                std::vector<Complex> stack;
                for (std::size_t i = begin; i < end; ++i) {
                    if (!real_values(expressions[i], confirmation_rows(), operators(), values,
                                     stack)) {
                        continue;
                    }
                    offers[i] = variants(expressions[i], values, confirmation_targets());
                }
            },
            poll_);
        if (!completed) return false;
        for (const auto& list : offers) {
            for (const ScoredExpression& offer : list) front_.offer(offer.expression, offer.error);
        }
        return true;
    }

    // The level's best candidates by affine error on the sample.
    bool offer_best(std::uint64_t level, const std::vector<AffinePick>& ranked) {
        const std::size_t count = confirmed(std::min(ranked.size(), offered_per_level));
        std::vector<Expression> expressions(count);
        for (std::size_t i = 0; i < count; ++i) {
            expressions[i] = compose(levels_, level, ranked[i].child, *registry_);
        }
        return confirm(expressions);
    }

    // The level's best blocks (with variables) join the pool of blocks; the level's best few
    // thousand are each paired with every block of the pool, and the best sums a·f + b·g + c
    // are confirmed on all rows and offered to the front.
    bool offer_pairs(std::uint64_t level) {
        if (unit_target_.empty()) return true;
        const Level& current = levels_[level];
        std::vector<PairBlock> partners;
        std::vector<std::size_t> partner_index;
        std::vector<double> values(sample_.size());
        const std::size_t joining = level <= small_level ? pool_per_small_level : pool_per_level;
        const double pool_after = static_cast<double>(pool_.size() + joining);
        const std::size_t partner_limit =
            std::max(partners_at_least,
                     static_cast<std::size_t>(pairing_budget / (pool_after * values.size())));
        for (std::size_t i = 0; i < current.size() && partners.size() < partner_limit; ++i) {
            const Node& node = current.nodes[i];
            if (node.constant || !node.rows_ok) continue;
            const Complex* cached = current.row_values(i);
            for (std::size_t j = 0; j < values.size(); ++j) values[j] = cached[j].re;
            PairBlock block;
            if (!make_pair_block(values, unit_target_, block)) continue;
            block.complexity = static_cast<std::uint32_t>(current.expressions[i].complexity);
            partners.push_back(std::move(block));
            partner_index.push_back(i);
        }
        const std::size_t shared = std::min(partners.size(), joining);
        const std::size_t shared_begin = pool_.size();
        for (std::size_t i = 0; i < shared; ++i) {
            pool_.push_back(partners[i]);
            pool_expressions_.push_back(current.expressions[partner_index[i]]);
        }
        const std::optional<std::vector<PairPick>> picks =
            best_pairs(pool_, partners, shared_begin, shared, pairs_confirmed, poll_);
        if (!picks) return false;
        std::vector<std::vector<ScoredExpression>> offers(picks->size());
        const bool completed = parallel_for(
            picks->size(), 1,
            [&](std::size_t begin, std::size_t end, std::size_t) {
                std::vector<double> f_values;
                std::vector<double> g_values;
                std::vector<Complex> stack;
                for (std::size_t k = begin; k < end; ++k) {
                    const PairPick& pick = (*picks)[k];
                    const Expression& f = pool_expressions_[pick.first];
                    const Expression& g = current.expressions[partner_index[pick.second]];
                    if (!real_values(f, confirmation_rows(), operators(), f_values, stack) ||
                        !real_values(g, confirmation_rows(), operators(), g_values, stack)) {
                        continue;
                    }
                    offers[k] = pair_variants(f, f_values, g, g_values, confirmation_targets());
                }
            },
            poll_);
        if (!completed) return false;
        for (const auto& list : offers) {
            for (const ScoredExpression& offer : list) front_.offer(offer.expression, offer.error);
        }
        return true;
    }

    // Sums of three or more simple blocks: the products of the variables, then those and the
    // pool's smallest blocks. Larger blocks are too many to choose among on few rows: some of them
    // always fit the data by chance, and a forward selection that takes them misses the true sum.
    bool offer_sums() {
        if (unit_target_.empty()) return true;
        TermSearchOptions options;
        // Three rows at least per coefficient, so that a sum cannot simply pass through the data.
        options.most_terms = std::min(options.most_terms, targets_.size() / 3);
        if (options.most_terms < 3) return true;
        std::vector<Expression> products =
            monomials(static_cast<std::uint8_t>(variables_), most_products);
        std::vector<PairBlock> product_blocks;
        std::vector<const PairBlock*> candidates;
        std::vector<const Expression*> expressions;
        std::vector<double> values(sample_.size());
        std::vector<Complex> stack;
        std::vector<std::size_t> kept_products;
        for (std::size_t i = 0; i < products.size(); ++i) {
            if (!real_values(products[i], sample_rows_, operators(), values, stack)) continue;
            PairBlock block;
            if (!make_pair_block(values, unit_target_, block)) continue;
            block.complexity = static_cast<std::uint32_t>(products[i].complexity);
            product_blocks.push_back(std::move(block));
            kept_products.push_back(i);
        }
        for (std::size_t k = 0; k < product_blocks.size(); ++k) {
            candidates.push_back(&product_blocks[k]);
            expressions.push_back(&products[kept_products[k]]);
        }
        for (std::size_t p = 0; p < pool_.size(); ++p) {
            if (pool_[p].complexity > simple_block_complexity) continue;
            candidates.push_back(&pool_[p]);
            expressions.push_back(&pool_expressions_[p]);
        }
        // Polynomials first: among the products alone the chance fits of the other blocks cannot
        // lead the selection astray.
        std::optional<std::vector<TermSum>> sums = best_sums(
            std::span(candidates).first(product_blocks.size()), unit_target_, options, poll_);
        const std::optional<std::vector<TermSum>> mixed =
            sums ? best_sums(candidates, unit_target_, options, poll_) : std::nullopt;
        if (!mixed) return false;
        for (const TermSum& sum : *mixed) {
            if (std::none_of(sums->begin(), sums->end(),
                             [&](const TermSum& other) { return other.blocks == sum.blocks; })) {
                sums->push_back(sum);
            }
        }
        const std::optional<std::vector<ScoredExpression>> offers =
            confirm_sums(*sums, expressions, rows_, targets_, operators(), poll_);
        if (!offers) return false;
        for (const ScoredExpression& offer : *offers) front_.offer(offer.expression, offer.error);
        return true;
    }

    // The most telling small blocks of the pool, each taken out of the targets, rank the levels
    // from now on besides the targets themselves, in the free slots.
    void add_residual_targets() {
        if (ranking_targets_.empty()) return;
        std::vector<std::size_t> order;
        for (std::size_t p = 0; p < pool_.size(); ++p) {
            const double r = std::fabs(pool_[p].correlation);
            if (r >= residual_least_correlation && r <= residual_most_correlation) {
                order.push_back(p);
            }
        }
        std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            return std::fabs(pool_[x].correlation) > std::fabs(pool_[y].correlation);
        });
        const std::vector<double> base = ranking_targets_.front();
        std::vector<std::size_t> used;
        const auto alike = [&](std::size_t x, std::size_t y) {
            double dot = 0.0;
            for (std::size_t j = 0; j < base.size(); ++j)
                dot += pool_[x].unit[j] * pool_[y].unit[j];
            return std::fabs(dot) > residual_most_correlation;
        };
        for (std::size_t p : order) {
            if (ranking_targets_.size() >= max_ranking_targets) break;
            if (std::any_of(used.begin(), used.end(), [&](std::size_t u) { return alike(u, p); })) {
                continue;
            }
            used.push_back(p);
            double along = 0.0;
            for (std::size_t j = 0; j < base.size(); ++j) along += base[j] * pool_[p].unit[j];
            std::vector<double> residual(base.size());
            for (std::size_t j = 0; j < base.size(); ++j) {
                residual[j] = base[j] - along * pool_[p].unit[j];
            }
            ranking_targets_.push_back(std::move(residual));
        }
    }

    LeastSquaresFitter& fitter(std::size_t worker) {
        if (fitters_.size() <= worker) fitters_.resize(worker + 1);
        if (!fitters_[worker]) {
            fitters_[worker] = std::make_unique<LeastSquaresFitter>(rows_, targets_, operators());
        }
        return *fitters_[worker];
    }

    // The best candidates with named constants get them fitted (with an outer a·f + b) on the
    // sample rows; the best fits are confirmed on all rows and offered like the others.
    bool fit_best(std::uint64_t level, const std::vector<AffinePick>& ranked) {
        std::vector<std::size_t> chosen;
        for (std::size_t i = 0; i < ranked.size() && chosen.size() < fitted_per_level; ++i) {
            const Child& c = ranked[i].child;
            std::uint32_t constants = levels_[c.left_level].nodes[c.a].const_count;
            if (c.arity == 2) {
                constants += levels_[level - 1 - c.left_level].nodes[c.b].const_count;
            }
            if (constants >= 1 && constants <= max_fitted_constants) chosen.push_back(i);
        }
        std::vector<Expression> fitted(chosen.size());
        std::vector<double> sse(chosen.size(), std::numeric_limits<double>::infinity());
        if (fitters_.size() < worker_count()) fitters_.resize(worker_count());
        const bool completed = parallel_for(
            chosen.size(), 1,
            [&](std::size_t begin, std::size_t end, std::size_t worker) {
                std::vector<double> initial;
                for (std::size_t k = begin; k < end; ++k) {
                    const Expression f =
                        compose(levels_, level, ranked[chosen[k]].child, *registry_);
                    const Expression form = parameter_form(f, TokenKind::Const, initial);
                    const LeastSquaresFit fit = fitter(worker).fit(form, initial, {}, sample_);
                    if (!std::isfinite(fit.sse)) continue;
                    fitted[k] = with_numbers(form, fit.params);
                    sse[k] = fit.sse;
                }
            },
            poll_);
        if (!completed) return false;
        std::vector<std::size_t> order;
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            if (std::isfinite(sse[k])) order.push_back(k);
        }
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t x, std::size_t y) { return sse[x] < sse[y]; });
        order.resize(confirmed(order.size()));
        std::vector<Expression> best;
        for (std::size_t k : order) best.push_back(std::move(fitted[k]));
        return confirm(best);
    }

    // Every fitted number of the front refitted on all rows, then snapped to a simple value
    // where the description length allows; a map that became trivial (1·f, f + 0) is dropped.
    // Formulas confirmed on strided rows of large data are measured on all rows first.
    void polish() {
        const bool measured_on_all = strided_rows_.empty();
        std::vector<std::pair<std::uint64_t, ScoredExpression>> work;
        for (const auto& [complexity, entry] : front_.entries()) {
            const auto& tokens = entry.second.tokens;
            if (!measured_on_all || std::any_of(tokens.begin(), tokens.end(), [](const Token& t) {
                    return t.kind == TokenKind::Real;
                })) {
                work.emplace_back(complexity, ScoredExpression{entry.second, entry.first});
            }
        }
        const NoiseModel noise = snapping_noise();
        parallel_for(work.size(), 1, [&](std::size_t begin, std::size_t end, std::size_t worker) {
            std::vector<double> initial;
            std::vector<double> values;
            std::vector<Complex> stack;
            for (std::size_t k = begin; k < end; ++k) {
                ScoredExpression& best = work[k].second;
                if (!measured_on_all) {
                    best.error = real_values(best.expression, rows_, operators(), values, stack)
                                     ? rms_error(values, targets_)
                                     : std::numeric_limits<double>::infinity();
                }
                const Expression form = parameter_form(best.expression, TokenKind::Real, initial);
                if (initial.empty()) continue;
                LeastSquaresOptions options;
                options.affine = false;
                options.starts = 1;
                options.max_iterations = 100;
                const LeastSquaresFit fit = fitter(worker).fit(form, initial, options);
                if (std::isfinite(fit.sse)) {
                    Expression refitted = with_numbers(form, fit.params);
                    if (real_values(refitted, rows_, operators(), values, stack)) {
                        const double error = rms_error(values, targets_);
                        if (error < best.error) best = {std::move(refitted), error};
                    }
                }
                // Hook (data_precision.hpp): constants snap within the rounding of tabled data.
                Expression snapped = without_trivial_map(precision_.snap_within_rounding(
                    snap_constants(
                        best.expression, rows_, targets_,
                        precision_.with_rounding(noise, best.expression, rows_, operators()),
                        operators()),
                    rows_, targets_, operators()));
                if (real_values(snapped, rows_, operators(), values, stack)) {
                    const double error = rms_error(values, targets_);
                    if (std::isfinite(error)) best = {std::move(snapped), error};
                }
            }
        });
        for (auto& [complexity, polished] : work) {
            front_.replace(complexity, std::move(polished.expression), polished.error);
        }
    }

    Level build_level(std::uint64_t level, const std::vector<AffinePick>& kept) {
        Level next = lay_out_level(
            levels_, level, kept.size(),
            [&](std::size_t i) -> const Child& { return kept[i].child; }, sample_rows_.size(),
            true);
        parallel_for(kept.size(), 64, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t i = begin; i < end; ++i) {
                next.expressions[i] = compose(levels_, level, kept[i].child, *registry_);
                derive_node(level, kept[i].child, next, i);
            }
        });
        return next;
    }

    // A child's probes and cached row values: its operator applied to its parents'.
    void derive_node(std::uint64_t level, const Child& c, Level& next, std::size_t i) const {
        const ChildOperands x =
            derive_probes_and_operands(levels_, level, c, sample_rows_.size(), next, i);
        Node& node = next.nodes[i];
        node.rows_ok =
            derive_kernels[c.op](x.a, x.a_stride, x.b, x.b_stride, x.count, x.out) && node.rows_ok;
    }

    const std::vector<std::vector<double>>& input_rows_;
    ComplexRows rows_;
    const std::vector<double>& targets_;
    const SearchConfig& config_;
    const SearchHooks& hooks_;
    std::shared_ptr<OperatorRegistry> registry_;
    std::size_t variables_;
    Deadline deadline_;
    ThoroughMemory memory_;  // limits derived from the search's memory budget
    std::unique_ptr<FingerprintTable> table_;
    std::vector<std::uint32_t> sample_;
    ComplexRows sample_rows_;
    ComplexRows strided_rows_;  // of large data: the rows confirmations measure on
    std::vector<double> strided_targets_;
    std::vector<std::vector<double>> ranking_targets_;  // on the sample rows, centred
    double scale_ = 1.0;       // RMS of the targets: what "exact" is relative to
    double kept_bytes_ = 0.0;  // the levels' caches, counted from their sizes
    OperatorSets ops_;
    std::function<bool()> poll_;
    bool cancelled_ = false;
    bool timed_out_ = false;
    std::uint64_t next_position_ = 0;
    double last_level_seconds_ = 0.0;
    double last_level_cost_ = 0.0;
    ThoroughFront front_;
    double noise_ = 0.0;  // standard deviation of the targets' noise, given or estimated
    std::uint64_t searched_level_ = 1;  // the last level searched to its end
    bool searched_whole_ = true;        // no level so far was cut by the budgets
    std::set<std::pair<std::uint64_t, double>>
        tried_at_floor_;  // front entries snapped at the floor
    std::optional<ResidualStructure>
        residual_structure_;  // built at the first formula at the floor
    std::vector<std::unique_ptr<LeastSquaresFitter>> fitters_;  // one per worker
    std::vector<Level> levels_;                 // index = complexity; entry 0 stays empty
    std::vector<std::size_t> parent_limits_;    // per level: parents it may still give
    std::vector<double> unit_target_;           // on the sample rows, centred, unit length
    std::vector<PairBlock> pool_;               // building blocks of sums, best of each level
    std::vector<Expression> pool_expressions_;  // the same blocks' expressions
    DataPrecision precision_;                   // how finely the data were written down
};

}  // namespace

SearchOutcome run_thorough(const std::vector<std::vector<double>>& rows,
                           const std::vector<double>& targets, const SearchConfig& config,
                           const SearchHooks& hooks) {
    return ThoroughSearch(rows, targets, config, hooks).run();
}

}  // namespace kov
