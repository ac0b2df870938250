#include "engine/search/result.hpp"

#include <bit>
#include <cstdint>
#include <string>
#include <utility>

namespace kov {

double SearchResult::eval_multi(std::span<const double> values) const {
    std::vector<Complex> vars;
    vars.reserve(values.size());
    for (double value : values) vars.push_back(Complex{value, 0.0});
    const std::optional<Complex> result = eval(expression, vars, registry->operators());
    if (!result) return std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
    return result->re;
}

SearchError SearchError::no_formula_found(std::uint64_t max_complexity) {
    SearchError error;
    error.kind = Kind::NoFormulaFound;
    error.max_complexity = max_complexity;
    return error;
}

SearchError SearchError::invalid_input(std::string text) {
    SearchError error;
    error.kind = Kind::InvalidInput;
    error.text = std::move(text);
    return error;
}

SearchError SearchError::cancelled() {
    SearchError error;
    error.kind = Kind::Cancelled;
    error.text = "The search was cancelled.";
    return error;
}

std::string SearchError::message() const {
    if (kind == Kind::NoFormulaFound) {
        return "No formula found up to complexity " + std::to_string(max_complexity);
    }
    return text;
}

}  // namespace kov
