#include "engine/units/units_search.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/classic/classic_search.hpp"
#include "engine/fit/dense_solve.hpp"
#include "engine/search/time_limit.hpp"
#include "engine/select/model_selection.hpp"
#include "engine/thorough/thorough_search.hpp"
#include "engine/units/units_expressions.hpp"
#include "engine/units/units_reduction.hpp"
#include "ops/registry.hpp"

namespace kov {
namespace {

using Rows = std::vector<std::vector<double>>;

// The reduced search gets this share of a time limit; the search without units the rest when
// the reduced one is not exact.
constexpr double reduced_share = 0.5;
// The search without units must beat the consistent formulas by this factor in error to replace
// them: rounding alone must not undo the units.
constexpr double fallback_margin = 0.9;
// A closed form of the constant this close to its fitted value (relative) replaces it.
constexpr double closed_form_match = 1e-9;
// Within this factor of the noise a consistent formula is as good as any.
constexpr double noise_margin = 1.5;

// Real values of the expression on every row; none when a row has no finite real value.
std::optional<std::vector<double>> values_on(const Expression& expression, const Rows& rows,
                                             const OperatorRegistry& registry) {
    std::vector<double> out;
    out.reserve(rows.size());
    std::vector<Complex> point;
    for (const std::vector<double>& row : rows) {
        point.assign(row.size(), Complex{});
        for (std::size_t j = 0; j < row.size(); ++j) point[j] = Complex{row[j], 0.0};
        const std::optional<Complex> value = eval(expression, point, registry.operators());
        if (!value || !std::isfinite(value->re) || std::abs(value->im) > 1e-9 * std::abs(value->re))
            return std::nullopt;
        out.push_back(value->re);
    }
    return out;
}

double rms_between(const std::vector<double>& values, const std::vector<double>& targets) {
    double sum = 0.0;
    for (std::size_t j = 0; j < values.size(); ++j) {
        const double r = values[j] - targets[j];
        sum += r * r;
    }
    return std::sqrt(sum / static_cast<double>(values.size()));
}

double best_error(const std::vector<SearchResult>& results) {
    double best = std::numeric_limits<double>::infinity();
    for (const SearchResult& r : results) best = std::min(best, r.error);
    return best;
}

// The formulas each more accurate than every simpler one, most accurate first.
std::vector<SearchResult> pareto_list(std::vector<SearchResult> results) {
    std::stable_sort(results.begin(), results.end(), [](const auto& a, const auto& b) {
        if (a.expression.complexity != b.expression.complexity) {
            return a.expression.complexity < b.expression.complexity;
        }
        return a.error < b.error;
    });
    std::vector<SearchResult> kept;
    for (SearchResult& r : results) {
        if (kept.empty() || r.error < kept.back().error) kept.push_back(std::move(r));
    }
    std::reverse(kept.begin(), kept.end());
    return kept;
}

// With a dimensional constant the scale's powers come from the data: the least-squares power law
// of |target| in the repeating variables (the groups taken along), rounded to halves.
Monomial power_law_scale(const Rows& rows, const std::vector<double>& targets,
                         const DimensionalBasis& basis,
                         const std::vector<std::vector<double>>& group_values) {
    const std::size_t variables = rows.front().size();
    Monomial scale(variables);
    const std::size_t n = basis.repeating.size() + group_values.size() + 1;
    std::vector<double> a(n * n, 0.0), b(n, 0.0), x(n);
    for (std::size_t j = 0; j < rows.size(); ++j) {
        std::size_t k = 0;
        for (std::size_t v : basis.repeating) x[k++] = std::log(std::abs(rows[j][v]));
        for (const auto& g : group_values) x[k++] = std::log(std::abs(g[j]));
        x[k] = 1.0;
        const double y = std::log(std::abs(targets[j]));
        for (double value : x) {
            if (!std::isfinite(value)) return scale;
        }
        if (!std::isfinite(y)) return scale;
        for (std::size_t p = 0; p < n; ++p) {
            b[p] += x[p] * y;
            for (std::size_t q = 0; q < n; ++q) a[p * n + q] += x[p] * x[q];
        }
    }
    if (!cholesky_solve(a, b, n)) return scale;
    for (std::size_t k = 0; k < basis.repeating.size(); ++k) {
        scale[basis.repeating[k]] = Rational(static_cast<std::int64_t>(std::lround(2.0 * b[k])), 2);
    }
    return scale;
}

class UnitsSearch {
public:
    UnitsSearch(const Rows& rows, const std::vector<double>& targets, const SearchConfig& config,
                const SearchHooks& hooks)
        : rows_(rows),
          targets_(targets),
          config_(config),
          hooks_(hooks),
          units_(*config.units),
          deadline_(config.time_limit),
          registry_(std::make_shared<OperatorRegistry>(OperatorRegistry::with_builtins())) {
        record_ = std::make_shared<SearchUnits>();
        for (const auto& column : units_.inputs) {
            record_->inputs.push_back(unit_text(units_.dimensions, column));
        }
        record_->target = unit_text(units_.dimensions, units_.target);
    }

    SearchOutcome run() {
        const std::size_t variables = rows_.front().size();
        if (units_.inputs.size() != variables || units_.target.size() != units_.dimensions.size()) {
            return SearchError::invalid_input("The units must give one unit per input column.");
        }
        std::vector<bool> may_be_negative(variables, false);
        for (const auto& row : rows_) {
            for (std::size_t v = 0; v < variables; ++v) {
                if (row[v] < 0.0) may_be_negative[v] = true;
            }
        }
        DimensionalBasis basis;
        try {
            basis = dimensionless_basis(units_, may_be_negative);
        } catch (const std::exception&) {  // exponents beyond 64-bit fractions
            return without_units("the units' exponents are too large to reduce");
        }
        std::vector<Expression> groups;
        std::vector<std::vector<double>> group_values;
        for (const Monomial& group : basis.groups) {
            groups.push_back(monomial_expression(*registry_, group));
            std::optional<std::vector<double>> values = values_on(groups.back(), rows_, *registry_);
            if (!values) return without_units("a dimensionless group has no finite value");
            group_values.push_back(std::move(*values));
        }
        const bool dimensional_constant = !basis.scale;
        const Monomial scale =
            basis.scale ? *basis.scale : power_law_scale(rows_, targets_, basis, group_values);
        const std::optional<std::vector<double>> scale_values =
            values_on(monomial_expression(*registry_, scale), rows_, *registry_);
        std::vector<double> reduced_targets;
        if (scale_values) {
            for (std::size_t j = 0; j < rows_.size(); ++j) {
                reduced_targets.push_back(targets_[j] / (*scale_values)[j]);
            }
        }
        const bool finite =
            scale_values && std::all_of(reduced_targets.begin(), reduced_targets.end(),
                                        [](double v) { return std::isfinite(v); });
        if (!finite) return without_units("the target's scale is not finite on the data");

        // "y/(x0*x1) = f(x2/x1)"; without groups the quotient is a number.
        std::string note = "y/(" + monomial_text(scale) + ") = ";
        if (basis.groups.empty()) note += "a constant";
        for (std::size_t k = 0; k < basis.groups.size(); ++k) {
            note += (k ? ", " : "f(") + monomial_text(basis.groups[k]);
        }
        if (!basis.groups.empty()) note += ")";
        if (dimensional_constant) {
            note +=
                "; the target's units are not a product of the inputs' units, so a fitted "
                "constant carries units";
        }
        record_->note = note;
        print("[KOV-SR] Units: searching " + note);

        const MonomialForm scale_form = monomial_form(*registry_, scale);
        std::optional<std::vector<SearchResult>> reduced =
            groups.empty() ? constant_answers(reduced_targets, *scale_values)
                           : reduced_search(group_values, reduced_targets);
        if (!reduced) return SearchError::cancelled();
        std::vector<SearchResult> restored;
        for (const SearchResult& r : *reduced) {
            SearchResult out;
            out.expression = restore_formula(*registry_, r.expression, groups, scale_form);
            out.registry = registry_;
            const std::optional<std::vector<double>> values =
                values_on(out.expression, rows_, *registry_);
            if (!values) continue;
            out.error = rms_between(*values, targets_);
            restored.push_back(std::move(out));
        }
        restored = pareto_list(std::move(restored));
        if (good_enough(restored)) return labelled(std::move(restored), record_);

        const double units_error = best_error(restored);
        if (!restored.empty() && deadline_.limited() && deadline_.remaining() <= 0.0) {
            return labelled(std::move(restored), record_);
        }
        SearchOutcome plain = plain_search();
        auto* plain_results = std::get_if<std::vector<SearchResult>>(&plain);
        if (!plain_results)
            return restored.empty() ? plain : labelled(std::move(restored), record_);
        if (restored.empty() || best_error(*plain_results) < fallback_margin * units_error) {
            print(
                "[KOV-SR] Units: no formula consistent with the units fits as well as the search "
                "without them; returning the formulas found without units.");
            return labelled(std::move(*plain_results),
                            fallback_record("no formula consistent with the units fit the data as "
                                            "well as the search without them"));
        }
        return labelled(std::move(restored), record_);
    }

private:
    void print(const std::string& line) const {
        if (config_.verbose && hooks_.progress) hooks_.progress(line);
    }

    // Exact relative to the targets, or within the noise.
    bool good_enough(const std::vector<SearchResult>& results) const {
        if (results.empty()) return false;
        double square = 0.0;
        for (double y : targets_) square += y * y;
        const double scale = std::sqrt(square / static_cast<double>(targets_.size()));
        const double best = best_error(results);
        if (best <= config_.early_exit_tolerance * scale) return true;
        const double noise = config_.noise ? *config_.noise : estimate_noise(rows_, targets_);
        return noise > 0.0 && best <= noise_margin * noise;
    }

    SearchConfig child_config(double share) const {
        SearchConfig child = config_;
        child.units = nullptr;
        if (deadline_.limited()) child.time_limit = std::max(1e-3, deadline_.remaining() * share);
        return child;
    }

    std::optional<std::vector<SearchResult>> reduced_search(
        const std::vector<std::vector<double>>& group_values, const std::vector<double>& targets) {
        Rows reduced(rows_.size(), std::vector<double>(group_values.size()));
        for (std::size_t j = 0; j < rows_.size(); ++j) {
            for (std::size_t k = 0; k < group_values.size(); ++k)
                reduced[j][k] = group_values[k][j];
        }
        SearchOutcome outcome = run_thorough(reduced, targets, child_config(reduced_share), hooks_);
        if (auto* results = std::get_if<std::vector<SearchResult>>(&outcome)) {
            return std::move(*results);
        }
        if (std::get<SearchError>(outcome).kind == SearchError::Kind::Cancelled)
            return std::nullopt;
        return std::vector<SearchResult>{};
    }

    // No groups: the target over its scale is one number. Its least-squares value, and the closed
    // forms near it that a search for the constant finds.
    std::optional<std::vector<SearchResult>> constant_answers(const std::vector<double>& ratios,
                                                              const std::vector<double>& scale) {
        double sy = 0.0, ss = 0.0;
        for (std::size_t j = 0; j < ratios.size(); ++j) {
            sy += ratios[j] * scale[j] * scale[j];
            ss += scale[j] * scale[j];
        }
        const double value = sy / ss;
        std::vector<SearchResult> out;
        SearchConfig constant = child_config(reduced_share);
        constant.strategy = Strategy::classic;
        constant.verbose = false;
        constant.fit_constants = false;
        constant.real_answers_only = true;
        constant.max_complexity = std::min<std::uint64_t>(config_.max_complexity, 9);
        for (std::int32_t k = 1; k <= 10; ++k) constant.integer_seeds.push_back(k);
        constant.rank_integer_completions = true;
        constant.ranked_answers = 5;
        constant.early_exit_tolerance = 1e-12;
        SearchOutcome answers = run_classic(Rows{std::vector<double>{}}, {value}, constant, hooks_);
        bool closed_form = false;
        if (auto* results = std::get_if<std::vector<SearchResult>>(&answers)) {
            for (SearchResult& r : *results) {
                closed_form = closed_form || r.error <= closed_form_match * std::abs(value);
                out.push_back(std::move(r));
            }
        } else if (std::get<SearchError>(answers).kind == SearchError::Kind::Cancelled) {
            return std::nullopt;
        }
        // The fitted number only where no closed form matches it: 2·π rather than 6.2832.
        if (!closed_form) {
            SearchResult fitted;
            fitted.expression.tokens.push_back(Token::real(value));
            fitted.expression.formula = std::to_string(value);
            fitted.expression.complexity = 1;
            out.push_back(std::move(fitted));
        }
        return out;
    }

    SearchOutcome plain_search() const {
        return run_thorough(rows_, targets_, child_config(1.0), hooks_);
    }

    SearchOutcome without_units(const std::string& reason) {
        print("[KOV-SR] Units: " + reason + "; searching without units.");
        SearchOutcome outcome = plain_search();
        if (auto* results = std::get_if<std::vector<SearchResult>>(&outcome)) {
            return labelled(std::move(*results), fallback_record(reason));
        }
        return outcome;
    }

    std::shared_ptr<const SearchUnits> fallback_record(const std::string& reason) const {
        auto record = std::make_shared<SearchUnits>(*record_);
        record->note = "not used: " + reason + "; searched without units";
        return record;
    }

    static std::vector<SearchResult> labelled(std::vector<SearchResult> results,
                                              std::shared_ptr<const SearchUnits> record) {
        for (SearchResult& r : results) r.units = record;
        return results;
    }

    const Rows& rows_;
    const std::vector<double>& targets_;
    const SearchConfig& config_;
    const SearchHooks& hooks_;
    const GivenUnits& units_;
    Deadline deadline_;
    std::shared_ptr<OperatorRegistry> registry_;
    std::shared_ptr<SearchUnits> record_;
};

}  // namespace

SearchOutcome run_thorough_with_units(const Rows& rows, const std::vector<double>& targets,
                                      const SearchConfig& config, const SearchHooks& hooks) {
    if (!config.units) return run_thorough(rows, targets, config, hooks);
    return UnitsSearch(rows, targets, config, hooks).run();
}

}  // namespace kov
