#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "core/expression.hpp"
#include "engine/fit/optimizer.hpp"
#include "engine/search/config.hpp"
#include "engine/search/result.hpp"
#include "engine/thorough/thorough_verify.hpp"
#include "ops/registry.hpp"

namespace kov {

// The best formula of each complexity a thorough search has seen, with its root-mean-square error
// on all rows. Unlike the classic front an entry may be replaced by a polished form even when
// polishing (snapping a constant) costs a little accuracy.
class ThoroughFront {
public:
    // With a gate, every formula offered or put in place is first cleaned and verified
    // (thorough_verify.hpp): an unsound one is dropped, one unsound only off the rows is kept
    // aside and listed only at a complexity where no sound formula was offered.
    void set_gate(std::shared_ptr<const FrontGate> gate) { gate_ = std::move(gate); }
    void offer(const Expression& expression, double error);
    void replace(std::uint64_t complexity, Expression expression, double error);
    [[nodiscard]] double best_error() const;
    [[nodiscard]] const std::map<std::uint64_t, std::pair<double, Expression>>& entries() const {
        return entries_;
    }
    // The Pareto list, most accurate first, or NoFormulaFound. Errors at or below `exact_floor`
    // count as exact: no formula more complex than the simplest exact one is listed.
    [[nodiscard]] SearchOutcome finalize(std::shared_ptr<const OperatorRegistry> registry,
                                         const SearchConfig& config, double exact_floor) const;

private:
    using Entries = std::map<std::uint64_t, std::pair<double, Expression>>;
    static void keep_better(Entries& entries, const Expression& expression, double error);

    Entries entries_;
    std::shared_ptr<const FrontGate> gate_;
    Entries set_aside_;  // formulas sound on the rows only, by complexity
};

// Real parts of the expression on every row; false when a row has no acceptable value.
bool real_values(const Expression& expression, const ComplexRows& rows,
                 const OperatorList& operators, std::vector<double>& out,
                 std::vector<Complex>& stack);

// Root-mean-square error of values against targets.
[[nodiscard]] double rms_error(std::span<const double> values, std::span<const double> targets);

// a·f + b written out: Times(a, f) and Plus(…, b) with Real tokens, Neg(f) for a = −1, nothing for
// a = 1 or b = 0, so that the complexity counts only the tokens present.
[[nodiscard]] Expression affine_form(const Expression& f, double scale, double offset);

// An affine form whose numbers became 1 (scale) or 0 (offset) without them: Times(1, f) is f,
// Plus(g, 0) is g, Times(-1, f) is Neg(f). Other expressions come back unchanged.
[[nodiscard]] Expression without_trivial_map(Expression expression);

// f, a·f, f + b and a·f + b with their least-squares numbers on the given values of f, each with
// its root-mean-square error.
[[nodiscard]] std::vector<ScoredExpression> affine_variants(const Expression& f,
                                                            std::span<const double> values,
                                                            std::span<const double> targets);

}  // namespace kov
