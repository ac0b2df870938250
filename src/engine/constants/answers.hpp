#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/expression.hpp"
#include "engine/fit/optimizer.hpp"
#include "engine/search/result.hpp"
#include "ops/registry.hpp"

namespace kov {

// Whether a value is real up to rounding: its imaginary part is at most 1e-12 times the larger of
// 1 and its modulus. Evaluating a real closed form in complex arithmetic leaves at most that.
[[nodiscard]] bool is_real_within_rounding(Complex value);

// Whether the expression has a value on every row and each is real up to rounding.
[[nodiscard]] bool is_real_on_rows(const Expression& expression, const ComplexRows& rows,
                                   const OperatorList& operators);

// The best answers of a search over all complexities, by error, then complexity, then the order
// offered. Two answers whose real parts agree on every row up to rounding are one value: only the
// better ranked is kept, so formulas that differ only by a term that vanishes (Plus(Pi, v_{0}) at
// v_{0} = 0) do not crowd out other candidates.
class RankedAnswers {
public:
    explicit RankedAnswers(std::size_t capacity) : capacity_(capacity) {}

    [[nodiscard]] std::size_t capacity() const { return capacity_; }

    // `values` are the real parts of the expression on the rows.
    void offer(const Expression& expression, double error, std::vector<double> values);

    // Best first. The list is empty when nothing was offered.
    [[nodiscard]] std::vector<SearchResult> results(
        const std::shared_ptr<const OperatorRegistry>& registry) const;

private:
    struct Entry {
        double error = 0.0;
        std::uint64_t order = 0;
        Expression expression;
        std::vector<double> values;
    };

    [[nodiscard]] static bool ranks_before(const Entry& x, const Entry& y);

    std::size_t capacity_;
    std::uint64_t offered_ = 0;
    std::vector<Entry> entries_;  // best first
};

}  // namespace kov
