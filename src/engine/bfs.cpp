#include "engine/bfs.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "core/fingerprint.hpp"
#include "engine/bfs_progress.hpp"
#include "engine/optimizer.hpp"
#include "engine/pareto.hpp"
#include "ops/registry.hpp"

namespace kov {

namespace {

constexpr std::size_t max_variables = 255;

struct Scored {
    Expression expression;
    double score = 0.0;
};

// Ascending with NaN after every number.
bool score_less(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
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
          variables_(rows.front().size()) {
        rows_.reserve(rows.size());
        for (const auto& row : rows) {
            auto& converted = rows_.emplace_back();
            converted.reserve(row.size());
            for (double value : row) converted.push_back(Complex{value, 0.0});
        }
    }

    SearchOutcome run() {
        levels_.resize(2);
        seed();
        report(1);
        if (!early_exit()) {
            print(seeded_line(levels_[1].size()));
            for (std::uint64_t level = 2; level <= config_.max_complexity; ++level) {
                if (cancelled()) return SearchError::cancelled();
                run_level(level);
                if (early_exit()) break;
            }
        }
        return finalize_result(std::move(front_), std::move(registry_), config_);
    }

private:
    const OperatorList& operators() const { return registry_->operators(); }

    bool cancelled() const { return hooks_.should_cancel && hooks_.should_cancel(); }

    bool early_exit() {
        return check_early_exit(*front_, config_.disable_early_exit, config_.early_exit_tolerance);
    }

    void print(const std::string& line) const {
        if (hooks_.progress) hooks_.progress(line);
    }

    void report(std::uint64_t level) const {
        if (hooks_.on_level) hooks_.on_level(level, levels_[level]);
    }

    bool admit(const Expression& expression) {
        const std::optional<Fingerprint> key = fingerprint(expression, operators());
        return key && seen_.insert(*key).second;
    }

    void seed() {
        std::vector<Expression> seeds;
        for (std::size_t id : registry_->ids_by_arity(0)) {
            seeds.push_back(Expression::constant_leaf(*registry_, id));
        }
        for (std::size_t j = 0; j < variables_; ++j) {
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
        const std::vector<Expression> candidates = expand(level);
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
        if (scored.size() > config_.beam_width) scored.resize(config_.beam_width);
        levels_.emplace_back();
        for (Scored& entry : scored) levels_[level].push_back(std::move(entry.expression));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        print(level_line(level, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed),
                         levels_[level].size()));
        report(level);
    }

    ComplexRows rows_;
    const std::vector<double>& targets_;
    const SearchConfig& config_;
    const SearchHooks& hooks_;
    std::shared_ptr<OperatorRegistry> registry_;
    std::shared_ptr<ParetoFront> front_;
    std::size_t variables_;
    std::set<Fingerprint> seen_;
    std::vector<std::vector<Expression>> levels_;
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
    return Search(rows, targets, config, hooks).run();
}

}  // namespace kov
