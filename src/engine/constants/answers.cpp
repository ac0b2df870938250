#include "engine/constants/answers.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kov {

namespace {

constexpr double rounding = 1e-12;

bool same_value(const std::vector<double>& x, const std::vector<double>& y) {
    if (x.size() != y.size()) return false;
    for (std::size_t j = 0; j < x.size(); ++j) {
        const double scale = std::max({1.0, std::fabs(x[j]), std::fabs(y[j])});
        if (!(std::fabs(x[j] - y[j]) <= rounding * scale)) return false;
    }
    return true;
}

}  // namespace

bool is_real_within_rounding(Complex value) {
    const double modulus = std::hypot(value.re, value.im);
    return std::fabs(value.im) <= rounding * std::max(1.0, modulus);
}

bool is_real_on_rows(const Expression& expression, const ComplexRows& rows,
                     const OperatorList& operators) {
    std::vector<Complex> stack;
    stack.reserve(expression.complexity);
    for (const auto& row : rows) {
        stack.clear();
        const std::optional<Complex> value =
            eval_internal(expression.tokens, row, {}, operators, stack);
        if (!value || !is_real_within_rounding(*value)) return false;
    }
    return true;
}

bool RankedAnswers::ranks_before(const Entry& x, const Entry& y) {
    if (x.error != y.error) return x.error < y.error;
    if (x.expression.complexity != y.expression.complexity) {
        return x.expression.complexity < y.expression.complexity;
    }
    return x.order < y.order;
}

void RankedAnswers::offer(const Expression& expression, double error, std::vector<double> values) {
    if (capacity_ == 0 || !(error == error)) return;
    Entry entry{error, offered_++, Expression{}, std::move(values)};
    const auto place = [&](const Entry& e) { return ranks_before(entry, e); };
    if (entries_.size() >= capacity_ && !place(entries_.back())) return;
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (!same_value(it->values, entry.values)) continue;
        if (!place(*it)) return;
        entries_.erase(it);
        break;
    }
    entry.expression = expression;
    entries_.insert(std::find_if(entries_.begin(), entries_.end(), place), std::move(entry));
    if (entries_.size() > capacity_) entries_.pop_back();
}

std::vector<SearchResult> RankedAnswers::results(
    const std::shared_ptr<const OperatorRegistry>& registry) const {
    std::vector<SearchResult> list;
    list.reserve(entries_.size());
    for (const Entry& entry : entries_) list.push_back({entry.expression, registry, entry.error});
    return list;
}

}  // namespace kov
