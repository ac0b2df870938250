#include "engine/bfs.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/fingerprint.hpp"
#include "engine/answers.hpp"
#include "engine/bfs_expand.hpp"
#include "engine/bfs_level.hpp"
#include "engine/bfs_level_build.hpp"
#include "engine/bfs_progress.hpp"
#include "engine/bfs_score.hpp"
#include "engine/fingerprint_table.hpp"
#include "engine/fitter_form.hpp"
#include "engine/optimizer.hpp"
#include "engine/pareto.hpp"
#include "engine/pool.hpp"
#include "engine/result_criterion.hpp"
#include "engine/thorough_search.hpp"
#include "engine/time_limit.hpp"
#include "engine/units_search.hpp"
#include "ops/complex_math.hpp"
#include "ops/registry.hpp"

namespace kov {

namespace {

using namespace bfs;
using Clock = std::chrono::steady_clock;

constexpr std::size_t max_variables = 255;

double seconds(Clock::duration elapsed) {
    return std::chrono::duration<double>(elapsed).count();
}

class Search {
public:
    Search(const std::vector<std::vector<double>>& rows, const std::vector<double>& targets,
           const SearchConfig& config, const SearchHooks& hooks)
        : targets_(targets),
          config_(config),
          hooks_(hooks),
          registry_(std::make_shared<OperatorRegistry>(OperatorRegistry::with_builtins())),
          front_(std::make_shared<ParetoFront>()),
          variables_(rows.front().size()),
          head_rows_(pick_head_rows(targets)),
          deadline_(config.time_limit),
          answers_(config.ranked_answers) {
        rows_.reserve(rows.size());
        for (const auto& row : rows) {
            auto& converted = rows_.emplace_back();
            converted.reserve(row.size());
            for (double value : row) converted.push_back(Complex{value, 0.0});
        }
        for (std::size_t id : registry_->ids_by_arity(1)) ops_.unary.push_back(narrow(id));
        for (std::size_t id : registry_->ids_by_arity(2)) ops_.binary.push_back(narrow(id));
        ops_.commutative.resize(registry_->size());
        for (std::size_t id = 0; id < registry_->size(); ++id) {
            ops_.commutative[id] = registry_->meta(id).is_commutative;
        }
        if (hooks_.should_cancel) poll_ = hooks_.should_cancel;
        if (deadline_.limited()) {
            poll_ = [this] {
                if (hooks_.should_cancel && hooks_.should_cancel()) return true;
                timed_out_ = deadline_.passed();
                return timed_out_;
            };
        }
    }

    SearchOutcome run() {
        levels_.resize(2);
        seed();
        report(1);
        if (!early_exit()) {
            print(seeded_line(levels_[1].size()));
            for (std::uint64_t level = 2; level <= config_.max_complexity; ++level) {
                const bool completed = run_level(level);
                if (!completed && !timed_out_) return SearchError::cancelled();
                // Out of time: the front keeps what the finished levels offered.
                if (!completed || (level < config_.max_complexity && deadline_.passed())) {
                    print(time_limit_line(deadline_.limit(), level));
                    break;
                }
                if (over_budget_ || early_exit()) break;
            }
        }
        if (answers_.capacity() == 0) {
            return finalize_result(std::move(front_), std::move(registry_), config_);
        }
        std::vector<SearchResult> ranked = answers_.results(registry_);
        if (ranked.empty()) return SearchError::no_formula_found(config_.max_complexity);
        return ranked;
    }

private:
    static std::uint8_t narrow(std::size_t id) { return static_cast<std::uint8_t>(id); }

    const OperatorList& operators() const { return registry_->operators(); }

    bool early_exit() {
        return check_early_exit(*front_, config_.disable_early_exit, config_.early_exit_tolerance);
    }

    void print(const std::string& line) const {
        if (hooks_.progress) hooks_.progress(line);
    }

    void report(std::uint64_t level) const {
        if (hooks_.on_level) hooks_.on_level(level, levels_[level].expressions);
    }

    void seed() {
        std::vector<Expression> seeds = seed_leaves(*registry_, config_, variables_);
        Level& level = levels_[1];
        for (Expression& seed : seeds) {
            const std::uint64_t position = next_position_++;
            const std::optional<Fingerprint> key = fingerprint(seed, operators());
            if (!key) continue;
            const auto inserted = table_.insert(digest_of(flatten(*key)), position);
            if (inserted.outcome != FingerprintTable::Outcome::Added) continue;
            const double error = compute_raw_error(seed, rows_, targets_, operators());
            if (std::isfinite(error) && is_answer(seed)) {
                update_pareto(*front_, seed, error);
                offer_answer(seed, error);
            }
            add_seed(level, std::move(seed), rows_);
        }
        tried_ = level.size();
        rank_formulas(level);
    }

    bool run_level(std::uint64_t level) {
        const auto start = Clock::now();
        LevelStats stats;
        stats.level = level;

        CandidateList candidates;
        ExpansionCounts counts;
        if (!expand_level(levels_, level, ops_, table_, next_position_, candidates, counts,
                          poll_)) {
            return false;
        }
        const auto expanded = Clock::now();
        const std::uint64_t unique = candidates.size();
        if (config_.formula_budget &&
            (tried_ >= *config_.formula_budget || unique > *config_.formula_budget - tried_)) {
            over_budget_ = true;
            return true;
        }
        tried_ += unique;

        ScoringSetup setup{&levels_, level, &rows_, &targets_, &operators(), &config_, &head_rows_};
        std::optional<ScoringResult> scored = score_level(setup, candidates, fitters_, poll_);
        if (!scored) return false;
        const auto scored_at = Clock::now();
        candidates = {};

        if (scored->front) {
            const Picked& best = *scored->front;
            update_pareto(*front_, kept_expression(level, best, 0), best.front_value);
        }
        for (const Picked& answer : scored->answers) {
            offer_answer(kept_expression(level, answer, 0), answer.front_value);
        }
        Level next = build_level(level, scored->beam);
        rank_formulas(next);
        levels_.push_back(std::move(next));

        const auto elapsed = Clock::now() - start;
        print(level_line(level, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed),
                         levels_[level].size()));
        report(level);

        if (hooks_.stats != nullptr) {
            stats.generated = counts.generated;
            stats.unique = unique;
            stats.fitted = scored->fitted;
            stats.scored = scored->scored;
            stats.kept = levels_[level].size();
            stats.expansion_seconds = seconds(expanded - start);
            stats.scoring_seconds = seconds(scored_at - expanded);
            stats.fitting_seconds = scored->fitting_seconds;
            hooks_.stats->levels.push_back(stats);
        }
        return true;
    }

    bool is_answer(const Expression& expression) const {
        return !config_.real_answers_only || is_real_on_rows(expression, rows_, operators());
    }

    void offer_answer(const Expression& expression, double error) {
        if (answers_.capacity() == 0) return;
        std::vector<double> values;
        values.reserve(rows_.size());
        for (const auto& row : rows_) {
            const std::optional<Complex> value = eval(expression, row, operators());
            values.push_back(value ? value->re : std::numeric_limits<double>::quiet_NaN());
        }
        answers_.offer(expression, error, std::move(values));
    }

    ConstantFitter& fitter(std::size_t worker) {
        if (fitters_.size() <= worker) fitters_.resize(worker + 1);
        if (!fitters_[worker]) {
            fitters_[worker] = std::make_unique<ConstantFitter>(rows_, targets_, operators());
        }
        return *fitters_[worker];
    }

    // The expression a scored candidate stands for: composed, and refitted when fitting won.
    Expression kept_expression(std::uint64_t level, const Picked& picked, std::size_t worker) {
        Expression expression = compose(levels_, level, picked.candidate, *registry_);
        if (!picked.fitted) return expression;
        return fitter(worker).fit(expression, picked.raw_error).expression;
    }

    Level build_level(std::uint64_t level, const std::vector<Picked>& kept) {
        // The last level is nobody's parent: its expressions are all it needs.
        const bool parents_more = level < config_.max_complexity;
        Level next = lay_out_level(
            levels_, level, kept.size(),
            [&](std::size_t i) -> const Child& { return kept[i].candidate; }, rows_.size(),
            parents_more);
        if (fitters_.size() < worker_count()) fitters_.resize(worker_count());
        parallel_for(kept.size(), 4, [&](std::size_t begin, std::size_t end, std::size_t worker) {
            for (std::size_t i = begin; i < end; ++i) {
                next.expressions[i] = kept_expression(level, kept[i], worker);
                if (!parents_more) continue;
                if (kept[i].fitted) {
                    evaluate_node(next.expressions[i], rows_, operators(), next, i);
                } else {
                    derive_node(levels_, level, kept[i].candidate, rows_.size(), next, i);
                }
            }
        });
        return next;
    }

    ComplexRows rows_;
    const std::vector<double>& targets_;
    const SearchConfig& config_;
    const SearchHooks& hooks_;
    std::shared_ptr<OperatorRegistry> registry_;
    std::shared_ptr<ParetoFront> front_;
    std::size_t variables_;
    std::vector<std::uint32_t> head_rows_;
    OperatorSets ops_;
    Deadline deadline_;
    bool timed_out_ = false;
    std::function<bool()> poll_;
    FingerprintTable table_;
    std::uint64_t next_position_ = 0;
    FitterSet fitters_;
    std::vector<Level> levels_;  // index = complexity; entry 0 stays empty
    RankedAnswers answers_;
    std::uint64_t tried_ = 0;  // distinct formulas scored so far, seeds included
    bool over_budget_ = false;
};

}  // namespace

SearchOutcome run_bfs(const std::vector<std::vector<double>>& rows,
                      const std::vector<double>& targets, const SearchConfig& config,
                      const SearchHooks& hooks) {
    if (rows.empty() || targets.empty() || rows.size() != targets.size()) {
        return SearchError::invalid_input(invalid_input_message);
    }
    if (rows.front().size() > max_variables) {
        return SearchError::invalid_input(too_many_variables_message);
    }
    if (config.max_complexity == 0) return SearchError::no_formula_found(0);
    SearchOutcome outcome = config.strategy == Strategy::thorough
                                ? run_thorough_with_units(rows, targets, config, hooks)
                                : Search(rows, targets, config, hooks).run();
    if (auto* results = std::get_if<std::vector<SearchResult>>(&outcome)) {
        attach_description_lengths(*results, rows, targets, config);
    }
    return outcome;
}

}  // namespace kov
