#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/expression.hpp"
#include "ops/registry.hpp"

namespace kov {

// How a search with units used them: the units as text and what became of them.
struct SearchUnits {
    std::vector<std::string> inputs;  // one unit per input column, e.g. "kg*m/s^2"
    std::string target;
    std::string note;  // the dimensionless groups searched, or why the units were not used
};

// One formula a search returns. Owns its expression; shares the registry of the search so it can be
// evaluated and rendered long after the search has ended, from any thread.
struct SearchResult {
    Expression expression;
    std::shared_ptr<const OperatorRegistry> registry;
    double error = 0.0;
    // The model-selection criterion on the search's data, in nats: lower is better. NaN when not
    // known (results pickled before it existed).
    double description_length = std::numeric_limits<double>::quiet_NaN();
    // The units the search was given; null without units.
    std::shared_ptr<const SearchUnits> units = nullptr;

    // Real part of the formula at the point (values[i] is variable i, imaginary parts 0.0), or a
    // quiet NaN where evaluation fails. Surplus values are ignored.
    [[nodiscard]] double eval_multi(std::span<const double> values) const;
};

struct SearchError {
    enum class Kind {
        NoFormulaFound,  // carries max_complexity
        InvalidInput,    // carries text
        Cancelled,       // the caller's cancellation check asked the search to stop
    };
    Kind kind = Kind::NoFormulaFound;
    std::uint64_t max_complexity = 0;
    std::string text;

    [[nodiscard]] static SearchError no_formula_found(std::uint64_t max_complexity);
    [[nodiscard]] static SearchError invalid_input(std::string text);
    [[nodiscard]] static SearchError cancelled();

    // "No formula found up to complexity {}" or the carried text.
    [[nodiscard]] std::string message() const;
};

using SearchOutcome = std::variant<std::vector<SearchResult>, SearchError>;

}  // namespace kov
