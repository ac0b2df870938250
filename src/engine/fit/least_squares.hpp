#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/expression.hpp"
#include "engine/fit/optimizer.hpp"

namespace kov {

struct LeastSquaresOptions {
    bool affine = true;       // also solve an outer a·f + b in closed form
    int max_iterations = 60;  // Levenberg–Marquardt iterations per starting point
    int starts = 4;           // starting points (the given one first), for non-convex problems
};

struct LeastSquaresFit {
    std::vector<double> params;  // by Param index
    double scale = 1.0;          // a (1 when affine is off)
    double offset = 0.0;         // b (0 when affine is off)
    double sse = std::numeric_limits<double>::infinity();
};

// Least-squares fit of the Param tokens of a formula (and of an outer a·f + b) to the targets:
// Levenberg–Marquardt on the Gauss–Newton matrix JᵀJ with Marquardt's diagonal damping, exact
// derivatives by forward mode through the tokens, and the affine pair eliminated in closed form
// at every step (variable projection: the Jacobian columns are projected off f and 1, so the
// steps are those of the reduced problem). The residual of a row is the real part of the value
// minus the target; a row that cannot be evaluated, or with a part of magnitude >= 1e15, makes
// the parameter point invalid. Deterministic.
//
// One instance per worker thread: it keeps scratch buffers between fits. It refers to `rows` and
// `operators` (the built-in registry's), which must outlive it, and copies the targets.
class LeastSquaresFitter {
public:
    LeastSquaresFitter(const ComplexRows& rows, std::span<const double> targets,
                       const OperatorList& operators);

    // `initial` gives the starting value of each Param index; missing ones start from the token's
    // own value. Rows may be a subset: `row_indices` empty means all rows.
    [[nodiscard]] LeastSquaresFit fit(const Expression& form, std::span<const double> initial,
                                      const LeastSquaresOptions& options = {},
                                      std::span<const std::uint32_t> row_indices = {});

private:
    struct Point {  // one parameter point with its residuals and reduced Jacobian
        std::vector<double> params;
        double scale = 1.0;
        double offset = 0.0;
        double sse = std::numeric_limits<double>::infinity();
    };

    [[nodiscard]] bool evaluate(const Expression& form, std::span<const double> params);
    void solve_affine(bool affine, Point& point);
    void build_normal_equations(const Point& point, bool affine);
    [[nodiscard]] Point run_start(const Expression& form, std::vector<double> start,
                                  const LeastSquaresOptions& options, double best_sse,
                                  bool is_first);

    const ComplexRows& rows_;
    std::vector<double> targets_;
    const OperatorList& operators_;

    // Per fit.
    std::vector<std::uint32_t> active_;  // rows in use
    std::size_t param_count_ = 0;
    double exact_sse_ = 0.0;  // an SSE at or below this is exact to rounding

    // Scratch, reused between fits.
    std::vector<double> values_;    // real part of f per active row
    std::vector<double> jacobian_;  // ∂ Re f / ∂ param, row-major (active row × param)
    // The evaluation runs token by token over all rows at once: stack slot s holds the values of
    // every active row, and (when it depends on the parameters) their gradients, parameter-major.
    std::vector<Complex> value_stack_;     // slot × row
    std::vector<Complex> gradient_stack_;  // slot × param × row
    std::vector<std::uint8_t> depends_stack_;
    std::vector<Complex> partials_;  // ∂/∂ operand 0, then ∂/∂ operand 1, per row
    std::vector<double> normal_;     // JᵀJ of the reduced problem
    std::vector<double> gradient_;   // Jᵀr
    std::vector<double> system_;
    std::vector<double> step_;
    std::vector<double> column_;
};

}  // namespace kov
