#include "engine/select/result_criterion.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/select/data_precision.hpp"
#include "engine/select/model_selection.hpp"

namespace kov {
namespace {

double root_mean_square(const std::vector<double>& values) {
    double sum = 0.0;
    for (double value : values) sum += value * value;
    return std::sqrt(sum / static_cast<double>(values.size()));
}

// Σ (Re f(row) − target)² over every row; infinite when a row has no value.
double sum_of_squares(const SearchResult& result, const std::vector<std::vector<Complex>>& rows,
                      const std::vector<double>& targets) {
    std::vector<Complex> stack;
    stack.reserve(result.expression.complexity);
    double sse = 0.0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        stack.clear();
        const std::optional<Complex> value = eval_internal(result.expression.tokens, rows[i], {},
                                                           result.registry->operators(), stack);
        if (!value) return std::numeric_limits<double>::infinity();
        const double residual = value->re - targets[i];
        sse += residual * residual;
    }
    return std::isfinite(sse) ? sse : std::numeric_limits<double>::infinity();
}

// The noise estimate compares rows as points of one space; ragged rows (which the binding allows)
// are not such points, and then the criterion uses the residual variance of each formula instead.
std::optional<double> noise_level(const std::vector<std::vector<double>>& rows,
                                  const std::vector<double>& targets, const SearchConfig& config) {
    if (config.noise) return config.noise;
    const std::size_t width = rows.front().size();
    const bool rectangular =
        std::all_of(rows.begin(), rows.end(), [&](const auto& row) { return row.size() == width; });
    if (width == 0 || !rectangular) return std::nullopt;
    const double estimate = estimate_noise(rows, targets);
    if (!std::isfinite(estimate)) return std::nullopt;
    return estimate;
}

}  // namespace

void attach_description_lengths(std::vector<SearchResult>& results,
                                const std::vector<std::vector<double>>& rows,
                                const std::vector<double>& targets, const SearchConfig& config) {
    if (results.empty() || rows.empty()) return;
    const NoiseModel noise{root_mean_square(targets), noise_level(rows, targets, config)};
    std::vector<std::vector<Complex>> complex_rows;
    complex_rows.reserve(rows.size());
    for (const auto& row : rows) {
        auto& converted = complex_rows.emplace_back();
        converted.reserve(row.size());
        for (double value : row) converted.push_back(Complex{value, 0.0});
    }
    std::size_t variables = 0;
    for (const auto& row : rows) variables = std::max(variables, row.size());
    // Hook (data_precision.hpp): for the thorough strategy's fits the rounding of tabled data
    // counts as noise; the classic strategy's values and constant recognition stay as they were.
    std::optional<DataPrecision> precision;
    if (config.strategy == Strategy::thorough && config.fit_constants) {
        precision.emplace(rows, targets);
    }
    for (SearchResult& result : results) {
        FormulaCost cost{sum_of_squares(result, complex_rows, targets), rows.size(), 0,
                         result.expression.complexity};
        count_numbers(result.expression, cost);
        // A token is one of the search's operators or one of its input variables.
        cost.alphabet_size = result.registry->size() + variables;
        // NaN means "not known" (old pickles): a value the arithmetic cannot give (overflowing
        // data) counts as no support at all.
        const NoiseModel own =
            precision ? precision->with_rounding(noise, result.expression, complex_rows,
                                                 result.registry->operators())
                      : noise;
        // Rounding is bounded: within every row's interval no formula explains the data better
        // (when the data hold no more noise than the rounding: sigma² at most half of the sum).
        if (precision && own.sigma &&
            (!noise.sigma || *noise.sigma * *noise.sigma * 2.0 <= *own.sigma * *own.sigma) &&
            precision->within_rounding(result.expression, complex_rows, targets,
                                       result.registry->operators())) {
            cost.sse = 0.0;
        }
        const double value = std::isfinite(cost.sse) ? description_length(cost, own)
                                                     : std::numeric_limits<double>::infinity();
        result.description_length =
            std::isnan(value) ? std::numeric_limits<double>::infinity() : value;
    }
}

std::optional<std::size_t> select_by_description_length(const std::vector<SearchResult>& results) {
    std::optional<std::size_t> chosen;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const double value = results[i].description_length;
        if (std::isnan(value)) continue;
        if (!chosen || value < results[*chosen].description_length) chosen = i;
    }
    return chosen;
}

}  // namespace kov
