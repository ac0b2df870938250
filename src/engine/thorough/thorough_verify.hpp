#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "engine/fit/optimizer.hpp"
#include "ops/registry.hpp"

namespace kov {

// How far a formula's values can be trusted where the data lives.
enum class Soundness {
    sound,           // the same real values in extended precision, on the rows and the box
    unsound_on_box,  // so on the rows, but not finite, not real or not stable between them
    unsound,         // on the rows its value rests on rounding, a branch cut or a dropped
                     // imaginary part: other careful arithmetic computes something else
};

// Checks a formula's values on (a stride of) the rows and on points spread over the rows'
// bounding box: in double as the engine computes them, and in extended precision with every
// operand that lies on a branch cut taken from either side. A sound formula's real parts agree
// between all three, and its imaginary part is negligible: a complex intermediate is allowed only
// where its imaginary part cancels (i·sin(x/i) is sinh x), never where the real-part rule alone
// drops it (Log of a negative number, Tan(ArcSin(x)) for x > 1).
class FormulaVerifier {
public:
    FormulaVerifier(const ComplexRows& rows, std::span<const double> targets,
                    const OperatorList& operators);

    [[nodiscard]] Soundness check(const Expression& expression) const;

    // The points checked: some rows, then the box's points.
    [[nodiscard]] const ComplexRows& points() const { return points_; }
    [[nodiscard]] std::size_t row_points() const { return row_points_; }
    [[nodiscard]] double scale() const { return scale_; }
    [[nodiscard]] const OperatorList& operators() const { return operators_; }

private:
    // Whether the formula is sound at one point.
    [[nodiscard]] bool sound_at(const Expression& expression, const std::vector<Complex>& point,
                                bool has_cuts, std::vector<Complex>& stack) const;

    ComplexRows points_;
    std::size_t row_points_ = 0;
    double scale_ = 1.0;
    const OperatorList& operators_;
};

// What the thorough search's front is offered, made fit to return: written without terms that do
// nothing (formula_cleanup.hpp) and checked by the verifier.
struct AdmittedFormula {
    Expression expression;
    Soundness soundness = Soundness::sound;
};

class FrontGate {
public:
    FrontGate(const ComplexRows& rows, std::span<const double> targets,
              std::shared_ptr<const OperatorRegistry> registry);

    [[nodiscard]] AdmittedFormula admit(const Expression& expression) const;

private:
    std::shared_ptr<const OperatorRegistry> registry_;
    FormulaVerifier verifier_;
};

}  // namespace kov
