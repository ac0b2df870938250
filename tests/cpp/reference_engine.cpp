#include "reference_engine.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "core/fingerprint.hpp"
#include "engine/fit/optimizer.hpp"
#include "engine/select/pareto.hpp"
#include "ops/registry.hpp"

namespace kov {
namespace {

struct Scored {
    Expression expression;
    double score = 0.0;
};

// Ascending, NaN after every number; a valid strict weak order, so stable_sort keeps list order
// among equal scores and among NaNs.
bool score_less(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

bool same_score(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

// Largest unit in which the time is at least 1, integer part, then the remainder's decimals
// without trailing zeros.
std::string format_duration(std::chrono::nanoseconds elapsed) {
    struct Unit {
        std::int64_t ns;
        int digits;
        const char* name;
    };
    static constexpr Unit units[] = {
        {1'000'000'000, 9, "s"}, {1'000'000, 6, "ms"}, {1'000, 3, "\u00b5s"}, {1, 0, "ns"}};
    const std::int64_t ns = elapsed.count();
    for (const Unit& unit : units) {
        if (ns < unit.ns && unit.ns != 1) continue;
        std::string text = std::to_string(ns / unit.ns);
        if (const std::int64_t rest = ns % unit.ns; rest != 0) {
            std::string decimals = std::to_string(rest);
            decimals.insert(0, static_cast<std::size_t>(unit.digits) - decimals.size(), '0');
            while (decimals.back() == '0') decimals.pop_back();
            text += "." + decimals;
        }
        return text + unit.name;
    }
    return "0ns";
}

class ReferenceSearch {
public:
    ReferenceSearch(const std::vector<std::vector<double>>& rows,
                    const std::vector<double>& targets, const SearchConfig& config,
                    const SearchHooks& hooks, ReferenceTrace* trace)
        : targets_(targets),
          config_(config),
          hooks_(hooks),
          trace_(trace),
          registry_(std::make_shared<OperatorRegistry>(OperatorRegistry::with_builtins())),
          front_(std::make_shared<ParetoFront>()) {
        for (const auto& row : rows) {
            auto& converted = rows_.emplace_back();
            for (double value : row) converted.push_back({value, 0.0});
        }
        variable_count_ = rows.front().size();
    }

    SearchOutcome run() {
        levels_.resize(2);
        seed();
        report_level(1);
        if (!check_early_exit(*front_, config_.disable_early_exit, config_.early_exit_tolerance)) {
            print("[KOV-SR] Started search space exploration. Level 1 seeded with " +
                  std::to_string(levels_[1].size()) + " primary nodes.");
            for (std::uint64_t level = 2; level <= config_.max_complexity; ++level) {
                if (hooks_.should_cancel && hooks_.should_cancel()) {
                    return SearchError::cancelled();
                }
                run_level(level);
                if (check_early_exit(*front_, config_.disable_early_exit,
                                     config_.early_exit_tolerance)) {
                    break;
                }
            }
        }
        return finalize_result(std::move(front_), std::move(registry_), config_);
    }

private:
    const OperatorList& operators() const { return registry_->operators(); }

    // True when the expression is new to the search; the first one in list order wins.
    bool admit(const Expression& expression) {
        const std::optional<Fingerprint> key = fingerprint(expression, operators());
        return key && seen_.insert(*key).second;
    }

    void seed() {
        std::vector<Expression> seeds;
        for (std::size_t id : registry_->ids_by_arity(0)) {
            seeds.push_back(Expression::constant_leaf(*registry_, id));
        }
        for (std::size_t j = 0; j < variable_count_; ++j) {
            seeds.push_back(Expression::variable_leaf(static_cast<std::uint8_t>(j)));
        }
        for (Expression& seed : seeds) {
            if (!admit(seed)) continue;
            const double error = compute_raw_error(seed, rows_, targets_, operators());
            if (std::isfinite(error)) update_pareto(*front_, seed, error);
            levels_[1].push_back(std::move(seed));
        }
    }

    std::vector<Expression> expand(std::uint64_t level) {
        std::vector<Expression> candidates;
        for (const Expression& parent : levels_[level - 1]) {
            for (std::size_t op : registry_->ids_by_arity(1)) {
                Expression child = Expression::unary(*registry_, op, parent);
                if (admit(child)) candidates.push_back(std::move(child));
            }
        }
        for (std::uint64_t k = 1; k + 2 <= level; ++k) {
            const std::uint64_t r = level - 1 - k;
            for (const Expression& left : levels_[k]) {
                for (const Expression& right : levels_[r]) {
                    for (std::size_t op : registry_->ids_by_arity(2)) {
                        if (registry_->meta(op).is_commutative && k == r &&
                            left.formula > right.formula) {
                            continue;
                        }
                        Expression child = Expression::binary(*registry_, op, left, right);
                        if (admit(child)) candidates.push_back(std::move(child));
                    }
                }
            }
        }
        return candidates;
    }

    void run_level(std::uint64_t level) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<Expression> candidates = expand(level);

        std::vector<Scored> scored;
        for (const Expression& candidate : candidates) {
            std::optional<ScoredExpression> kept =
                score_candidate(candidate, rows_, targets_, *registry_, config_);
            if (!kept) continue;
            const double weight =
                static_cast<double>(kept->expression.complexity) * config_.complexity_penalty + 1;
            scored.push_back({std::move(kept->expression), kept->error * weight});
        }
        for (const Scored& entry : scored) {
            const double weight =
                static_cast<double>(entry.expression.complexity) * config_.complexity_penalty + 1;
            update_pareto(*front_, entry.expression, entry.score / weight);
        }
        std::stable_sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) {
            return score_less(a.score, b.score);
        });

        const std::uint64_t beam = config_.beam_width;
        ReferenceLevelTrace level_trace{level, candidates.size(), scored.size(), 0, false};
        if (scored.size() > beam) {
            level_trace.tie_at_cut =
                beam > 0 && same_score(scored[beam - 1].score, scored[beam].score);
            scored.resize(beam);
        }
        levels_.emplace_back();
        for (Scored& entry : scored) levels_[level].push_back(std::move(entry.expression));
        level_trace.kept = levels_[level].size();
        if (trace_) trace_->levels.push_back(level_trace);

        const auto elapsed = std::chrono::steady_clock::now() - start;
        print("[KOV-SR]   -> Level " + std::to_string(level) + " processed in " +
              format_duration(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed)) +
              ". Retaining top " + std::to_string(levels_[level].size()) + " candidates.");
        report_level(level);
    }

    void print(const std::string& line) const {
        if (hooks_.progress) hooks_.progress(line);
    }

    void report_level(std::uint64_t level) const {
        if (hooks_.on_level) hooks_.on_level(level, levels_[level]);
    }

    ComplexRows rows_;
    const std::vector<double>& targets_;
    const SearchConfig& config_;
    const SearchHooks& hooks_;
    ReferenceTrace* trace_;
    std::size_t variable_count_ = 0;
    std::shared_ptr<OperatorRegistry> registry_;
    std::shared_ptr<ParetoFront> front_;
    std::set<Fingerprint> seen_;
    std::vector<std::vector<Expression>> levels_;  // index = complexity; entry 0 stays empty
};

}  // namespace

SearchOutcome run_bfs_reference(const std::vector<std::vector<double>>& rows,
                                const std::vector<double>& targets, const SearchConfig& config,
                                const SearchHooks& hooks, ReferenceTrace* trace) {
    if (rows.empty() || rows.size() != targets.size()) {
        return SearchError::invalid_input(invalid_input_message);
    }
    if (rows.front().size() > 255) return SearchError::invalid_input(too_many_variables_message);
    if (config.max_complexity == 0) return SearchError::no_formula_found(0);
    return ReferenceSearch(rows, targets, config, hooks, trace).run();
}

}  // namespace kov
