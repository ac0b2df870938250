#include "engine/fit/fitter_columns.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "engine/fit/fitter_form.hpp"
#include "engine/fit/fitter_kernels.hpp"
#include "ops/builtin_ids.hpp"

// ConstantFitter runs the same fitting loop as fit_constants with the same operations on the same
// numbers, only organised differently:
//  - the parameter form is evaluated token by token over all rows at once (one column of values per
//    token), so each operator is dispatched once per column, not once per row;
//  - columns that depend on no parameter are computed once per fit, and columns that depend on a
//    parameter but on no variable are a single value shared by every row (such constant parts,
//    ArcCos(E) and the like, are common in the search's beam);
//  - a derivative probe recomputes only the tokens above the perturbed parameter;
//  - a failed round leaves the parameters unchanged, so the previous values, derivatives and
//    gradient are reused; after a successful round the trial evaluation becomes the base;
//  - a trial is abandoned as soon as a prefix of its in-order error sum proves it cannot succeed.
// A row that cannot be evaluated is tracked by a per-row flag that propagates to the root exactly
// as the token-by-token evaluator stops at the first failure.

namespace kov {

using fitting::absent_operand;
using fitting::builtin_arity;
using fitting::ColumnView;
using fitting::kernels;

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr std::size_t chunk_rows = 32;  // rows per step of a trial, between early-exit checks

constexpr std::uint32_t no_node = std::numeric_limits<std::uint32_t>::max();

bool same_bits(std::span<const double> a, std::span<const double> b) {
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (std::bit_cast<std::uint64_t>(a[k]) != std::bit_cast<std::uint64_t>(b[k])) return false;
    }
    return true;
}

}  // namespace

struct ConstantFitter::Impl {
    enum class NodeKind : std::uint8_t { Op, Parameter, Variable, Fixed };
    enum Arena : std::uint8_t { Base = 0, Trial = 1, Probe = 2 };

    struct Node {
        NodeKind kind = NodeKind::Op;
        bool per_row = false;  // depends on a variable
        bool depends = false;  // depends on a parameter
        std::uint8_t children = 0;
        std::array<std::uint32_t, 2> child{no_node, no_node};
        std::uint32_t parent = no_node;
        std::size_t op_id = 0;
        std::size_t leaf = 0;  // parameter index or variable index
        std::size_t slot = 0;  // offset in the fixed columns or in each parameter arena
        Complex value{};       // a fixed leaf's value
        // The KOV operand replaced by its precomputed part (exp(a) or ln(b)), or -1.
        int known_operand = -1;
        std::size_t known_slot = 0;
    };

    // One input variable as a column; rows too short for it have no value there.
    struct VariableColumn {
        bool built = false;
        std::vector<Complex> values;
        std::vector<std::uint8_t> ok;
    };

    enum class Shape { Fittable, Malformed, Unsupported };

    const ComplexRows* rows;
    std::vector<double> targets;
    const OperatorList* operators;
    std::size_t n;
    std::vector<VariableColumn> variables;

    // Per-fit scratch, kept between fits so that fitting allocates only when an expression needs
    // more room than any before it.
    std::vector<Node> nodes;
    std::vector<std::uint32_t> stack;
    std::vector<std::size_t> positions;
    std::vector<std::uint32_t> dependent_scalars;   // parameter-dependent, one value
    std::vector<std::uint32_t> dependent_columns;   // parameter-dependent, one value per row
    std::vector<std::vector<std::uint32_t>> above;  // per parameter: the nodes it feeds, ascending
    std::vector<std::size_t> probed_by;             // per node: the parameter of the current probe
    std::vector<Complex> fixed_values;
    std::vector<std::uint8_t> fixed_ok;
    std::vector<Complex> known_values;
    std::vector<std::uint8_t> known_ok;
    std::array<std::vector<Complex>, 3> values;
    std::array<std::vector<std::uint8_t>, 3> ok;
    std::vector<double> p, q, gradient, base_prediction, residual;
    std::uint32_t root = 0;

    Impl(const ComplexRows& rows_, std::span<const double> targets_, const OperatorList& operators_)
        : rows(&rows_),
          targets(targets_.begin(), targets_.end()),
          operators(&operators_),
          n(rows_.size()) {}

    ScoredExpression fit(const Expression& candidate, double raw_error);
    // The outcome of a candidate this fitter does not run the steps for, or nothing.
    std::optional<ScoredExpression> fit_elsewhere(const Expression& candidate, double raw_error,
                                                  std::size_t m);
    // The damped steps from the parameters in p (whose error is err); p ends at the last
    // accepted step. Returns its error.
    double run_steps(double err);

    Shape analyse(const Expression& candidate, std::size_t parameter_count);
    void prepare_variable(std::size_t index);
    void prepare_storage();
    void choose_known_operands();
    void compute_fixed();
    void set_parameter(std::uint32_t v, Arena arena, double value);

    ColumnView view(std::uint32_t v, Arena arena) const;
    void evaluate(std::uint32_t v, Arena out, Arena operands, std::size_t begin, std::size_t end);
    void evaluate_all(Arena arena, std::span<const double> params);
    double base_error() const;
    void compute_gradient();
    bool try_step(double err, double& trial_err);
};

ConstantFitter::Impl::Shape ConstantFitter::Impl::analyse(const Expression& candidate,
                                                          std::size_t parameter_count) {
    const std::size_t count = candidate.tokens.size();
    nodes.assign(count, Node{});
    stack.clear();
    positions.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const Token& token = candidate.tokens[i];
        Node& node = nodes[i];
        switch (token.kind) {
            case TokenKind::Const:
                node.kind = NodeKind::Parameter;
                node.leaf = positions.size();
                node.depends = true;
                positions.push_back(i);
                break;
            case TokenKind::Param:
                // A Param token already in the candidate reads the parameter with its index when
                // there is one, and its own value otherwise.
                if (token.index < parameter_count) {
                    node.kind = NodeKind::Parameter;
                    node.leaf = token.index;
                    node.depends = true;
                } else {
                    node.kind = NodeKind::Fixed;
                    node.value = token.value;
                }
                break;
            case TokenKind::Real:
            case TokenKind::Integer:
                node.kind = NodeKind::Fixed;
                node.value = Complex{token.value.re, 0.0};
                break;
            case TokenKind::Var:
                node.kind = NodeKind::Variable;
                node.leaf = token.index;
                node.per_row = true;
                break;
            case TokenKind::Op: {
                if (token.id >= builtin_id::count || token.arity > 2 ||
                    token.arity < builtin_arity(token.id)) {
                    return Shape::Unsupported;
                }
                if (stack.size() < token.arity) return Shape::Malformed;
                node.kind = NodeKind::Op;
                node.op_id = token.id;
                node.children = token.arity;
                for (std::size_t c = token.arity; c-- > 0;) {
                    const std::uint32_t child = stack.back();
                    stack.pop_back();
                    node.child[c] = child;
                    nodes[child].parent = static_cast<std::uint32_t>(i);
                    node.per_row = node.per_row || nodes[child].per_row;
                    node.depends = node.depends || nodes[child].depends;
                }
                break;
            }
        }
        stack.push_back(static_cast<std::uint32_t>(i));
    }
    if (stack.size() != 1) return Shape::Malformed;
    root = stack.front();
    return Shape::Fittable;
}

void ConstantFitter::Impl::prepare_variable(std::size_t index) {
    if (variables.size() <= index) variables.resize(index + 1);
    VariableColumn& column = variables[index];
    if (column.built) return;
    column.values.assign(n, Complex{});
    column.ok.assign(n, 0);
    for (std::size_t j = 0; j < n; ++j) {
        const std::vector<Complex>& row = (*rows)[j];
        if (index < row.size()) {
            column.values[j] = row[index];
            column.ok[j] = 1;
        }
    }
    column.built = true;
}

// Gives every node its slot and lists, for each parameter, the nodes that must be recomputed when
// only that parameter changes: the tokens above each of its leaves.
void ConstantFitter::Impl::prepare_storage() {
    std::size_t fixed_size = 0;
    std::size_t arena_size = 0;
    dependent_scalars.clear();
    dependent_columns.clear();
    for (std::uint32_t v = 0; v < nodes.size(); ++v) {
        Node& node = nodes[v];
        if (node.kind == NodeKind::Variable) {
            prepare_variable(node.leaf);
            continue;
        }
        const std::size_t width = node.per_row ? n : 1;
        if (node.depends) {
            node.slot = arena_size;
            arena_size += width;
            (node.per_row ? dependent_columns : dependent_scalars).push_back(v);
        } else {
            node.slot = fixed_size;
            fixed_size += width;
        }
    }
    fixed_values.resize(fixed_size);
    fixed_ok.resize(fixed_size);
    for (std::size_t a = 0; a < 3; ++a) {
        values[a].resize(arena_size);
        ok[a].resize(arena_size);
    }

    const std::size_t m = positions.size();
    if (above.size() < m) above.resize(m);
    for (std::size_t k = 0; k < m; ++k) above[k].clear();
    for (std::uint32_t v = 0; v < nodes.size(); ++v) {
        if (nodes[v].kind != NodeKind::Parameter) continue;
        std::vector<std::uint32_t>& list = above[nodes[v].leaf];
        for (std::uint32_t u = v; u != no_node; u = nodes[u].parent) list.push_back(u);
    }
    for (std::size_t k = 0; k < m; ++k) {
        // A parameter read by several tokens (only possible through Param tokens already in the
        // candidate) has overlapping paths.
        std::sort(above[k].begin(), above[k].end());
        above[k].erase(std::unique(above[k].begin(), above[k].end()), above[k].end());
    }
    probed_by.assign(nodes.size(), std::numeric_limits<std::size_t>::max());
    choose_known_operands();
}

// KOV spends most of its time on one operand alone (exp(a) or ln(b)). When that operand reaches no
// parameter, its part is computed once per fit.
void ConstantFitter::Impl::choose_known_operands() {
    std::size_t known_size = 0;
    for (Node& node : nodes) {
        if (node.kind != NodeKind::Op || !node.depends || node.children != 2) continue;
        const bool a_fixed = !nodes[node.child[0]].depends;
        const bool b_fixed = !nodes[node.child[1]].depends;
        if (node.op_id == builtin_id::kov && a_fixed) {
            node.known_operand = 0;
        } else if (node.op_id == builtin_id::kov && b_fixed) {
            node.known_operand = 1;
        } else {
            continue;
        }
        node.known_slot = known_size;
        known_size += nodes[node.child[node.known_operand]].per_row ? n : 1;
    }
    known_values.resize(known_size);
    known_ok.resize(known_size);
}

ColumnView ConstantFitter::Impl::view(std::uint32_t v, Arena arena) const {
    const Node& node = nodes[v];
    if (node.kind == NodeKind::Variable) {
        const VariableColumn& column = variables[node.leaf];
        return {column.values.data(), column.ok.data(), 1};
    }
    const std::size_t stride = node.per_row ? 1 : 0;
    if (!node.depends) {
        return {fixed_values.data() + node.slot, fixed_ok.data() + node.slot, stride};
    }
    return {values[arena].data() + node.slot, ok[arena].data() + node.slot, stride};
}

// Computes operator node v into `out` over rows [begin, end) (the single value when v is shared by
// all rows), reading parameter-dependent operands from `operands` except, for a probe, those that
// the probed parameter does not reach, which come from the base.
void ConstantFitter::Impl::evaluate(std::uint32_t v, Arena out, Arena operands, std::size_t begin,
                                    std::size_t end) {
    const Node& node = nodes[v];
    if (!node.per_row) {
        begin = 0;
        end = 1;
    }
    std::array<ColumnView, 2> args{absent_operand, absent_operand};
    for (std::size_t c = 0; c < node.children; ++c) {
        const std::uint32_t child = node.child[c];
        const bool probed = operands != Probe || probed_by[child] == probed_by[v];
        args[c] = view(child, probed ? operands : Base);
    }
    if (node.known_operand >= 0) {
        const std::size_t stride = nodes[node.child[node.known_operand]].per_row ? 1 : 0;
        args[node.known_operand] = {known_values.data() + node.known_slot,
                                    known_ok.data() + node.known_slot, stride};
    }
    Complex* out_values;
    std::uint8_t* out_ok;
    if (node.depends) {
        out_values = values[out].data() + node.slot;
        out_ok = ok[out].data() + node.slot;
    } else {
        out_values = fixed_values.data() + node.slot;
        out_ok = fixed_ok.data() + node.slot;
    }
    if (node.children == 2 && node.op_id == builtin_id::kov) {
        fitting::run_kov(args[0], node.known_operand == 0, args[1], node.known_operand == 1,
                         out_values, out_ok, begin, end);
    } else if (node.op_id == builtin_id::divide) {
        fitting::divide_rows(args[0], args[1], out_values, out_ok, begin, end);
    } else {
        kernels[node.op_id](args[0], args[1], out_values, out_ok, begin, end);
    }
}

// The columns that no parameter reaches, once per fit.
void ConstantFitter::Impl::compute_fixed() {
    for (std::uint32_t v = 0; v < nodes.size(); ++v) {
        const Node& node = nodes[v];
        if (node.depends || node.kind == NodeKind::Variable) continue;
        if (node.kind == NodeKind::Fixed) {
            fixed_values[node.slot] = node.value;
            fixed_ok[node.slot] = 1;
        } else {
            evaluate(v, Base, Base, 0, n);
        }
    }
    for (const Node& node : nodes) {
        if (node.known_operand < 0) continue;
        const std::uint32_t operand = node.child[node.known_operand];
        const ColumnView from = view(operand, Base);
        const std::size_t width = nodes[operand].per_row ? n : 1;
        Complex* to = known_values.data() + node.known_slot;
        std::uint8_t* to_ok = known_ok.data() + node.known_slot;
        for (std::size_t j = 0; j < width; ++j) {
            const Complex z = from.values[j];
            to_ok[j] = from.ok[j];
            to[j] = z;
            if (!from.ok[j]) continue;
            if (node.known_operand == 0) {
                to[j] = cmath::exp(z);
            } else {
                const std::optional<Complex> l = cmath::ln(z);
                to_ok[j] = l.has_value();
                if (l) to[j] = *l;
            }
        }
    }
}

void ConstantFitter::Impl::set_parameter(std::uint32_t v, Arena arena, double value) {
    const std::size_t slot = nodes[v].slot;
    values[arena][slot] = Complex{value, 0.0};
    ok[arena][slot] = 1;
}

// The values of every parameter-dependent token at `params`. Shared values first: they never read a
// per-row column.
void ConstantFitter::Impl::evaluate_all(Arena arena, std::span<const double> params) {
    for (const std::uint32_t v : dependent_scalars) {
        if (nodes[v].kind == NodeKind::Parameter) {
            set_parameter(v, arena, params[nodes[v].leaf]);
        } else {
            evaluate(v, arena, arena, 0, 1);
        }
    }
    for (const std::uint32_t v : dependent_columns) evaluate(v, arena, arena, 0, n);
}

double ConstantFitter::Impl::base_error() const {
    const ColumnView r = view(root, Base);
    double sum = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        if (!r.ok[j * r.stride]) return infinity;
        sum += fitting::squared_difference(r.values[j * r.stride].re, targets[j]);
    }
    return std::sqrt(sum / static_cast<double>(n));
}

// Forward-difference gradient at p. Each probe recomputes only the tokens above the perturbed
// parameter; everything else is read from the base values.
void ConstantFitter::Impl::compute_gradient() {
    const ColumnView r = view(root, Base);
    for (std::size_t j = 0; j < n; ++j) {
        const double f = r.ok[j * r.stride] ? r.values[j * r.stride].re : 0.0;
        base_prediction[j] = f;
        residual[j] = f - targets[j];
    }
    for (std::size_t k = 0; k < positions.size(); ++k) {
        for (const std::uint32_t v : above[k]) probed_by[v] = k;
        for (const std::uint32_t v : above[k]) {
            if (nodes[v].kind == NodeKind::Parameter) {
                set_parameter(v, Probe, p[k] + fitting::difference_step);
            } else {
                evaluate(v, Probe, Probe, 0, n);
            }
        }
        const ColumnView g = view(root, Probe);
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const double probed = g.ok[j * g.stride] ? g.values[j * g.stride].re : 0.0;
            sum += fitting::difference_quotient(probed, base_prediction[j]) * residual[j];
        }
        gradient[k] = sum;
    }
}

// Evaluates the trial values q into the trial arena and reports whether their error is below err.
// The error sum only grows (or turns NaN) as rows are added, so once a prefix of it reaches err the
// step has failed and the remaining rows are skipped; a row without a value fails it at once.
bool ConstantFitter::Impl::try_step(double err, double& trial_err) {
    for (const std::uint32_t v : dependent_scalars) {
        if (nodes[v].kind == NodeKind::Parameter) {
            set_parameter(v, Trial, q[nodes[v].leaf]);
        } else {
            evaluate(v, Trial, Trial, 0, 1);
        }
    }
    const ColumnView r = view(root, Trial);
    const double rows_count = static_cast<double>(n);
    double sum = 0.0;
    for (std::size_t begin = 0; begin < n; begin += chunk_rows) {
        const std::size_t end = std::min(n, begin + chunk_rows);
        for (const std::uint32_t v : dependent_columns) evaluate(v, Trial, Trial, begin, end);
        for (std::size_t j = begin; j < end; ++j) {
            if (!r.ok[j * r.stride]) return false;
            sum += fitting::squared_difference(r.values[j * r.stride].re, targets[j]);
        }
        if (!(std::sqrt(sum / rows_count) < err)) return false;
    }
    trial_err = std::sqrt(sum / rows_count);
    return trial_err < err;
}

std::optional<ScoredExpression> ConstantFitter::Impl::fit_elsewhere(const Expression& candidate,
                                                                    double raw_error,
                                                                    std::size_t m) {
    if (m == 0 || m > fitting::max_fitted_constants) return ScoredExpression{candidate, raw_error};
    if (operators->size() != builtin_id::count) {
        return fit_constants(candidate, raw_error, *rows, targets, *operators);
    }
    switch (analyse(candidate, m)) {
        case Shape::Unsupported:
            return fit_constants(candidate, raw_error, *rows, targets, *operators);
        case Shape::Malformed:
            // No row has a value at any parameters: every step fails and the error stays infinite
            // (NaN without rows), which never beats the raw error.
            return ScoredExpression{candidate, raw_error};
        case Shape::Fittable:
            break;
    }
    // Without rows the error is 0/0 = NaN at any parameters, so no step can succeed.
    if (n == 0) return ScoredExpression{candidate, raw_error};
    return std::nullopt;
}

double ConstantFitter::Impl::run_steps(double err) {
    const std::size_t m = p.size();
    double damping = fitting::initial_damping;
    bool gradient_current = false;
    for (int round = 0; round < fitting::round_limit; ++round) {
        if (!gradient_current) {
            compute_gradient();
            gradient_current = true;
        }
        for (std::size_t k = 0; k < m; ++k) {
            q[k] = fitting::damped_step(p[k], gradient[k], damping);
        }
        // Trial equal to p: its error equals err, so the step fails; a larger damping only shrinks
        // the step, which then still rounds away, so every later round fails the same way.
        if (same_bits(q, p)) break;
        double trial_err = 0.0;
        if (try_step(err, trial_err)) {
            std::swap(values[Base], values[Trial]);
            std::swap(ok[Base], ok[Trial]);
            std::swap(p, q);
            damping /= fitting::damping_change;
            gradient_current = false;
            const bool converged = err - trial_err < fitting::convergence_threshold;
            err = trial_err;
            if (converged) break;
        } else {
            damping *= fitting::damping_change;
        }
    }
    return err;
}

ScoredExpression ConstantFitter::Impl::fit(const Expression& candidate, double raw_error) {
    const std::size_t m = fitting::count_constants(candidate);
    if (std::optional<ScoredExpression> outcome = fit_elsewhere(candidate, raw_error, m)) {
        return std::move(*outcome);
    }
    prepare_storage();
    compute_fixed();
    p.resize(m);
    q.resize(m);
    gradient.resize(m);
    base_prediction.resize(n);
    residual.resize(n);
    for (std::size_t k = 0; k < m; ++k) p[k] = candidate.tokens[positions[k]].value.re;

    evaluate_all(Base, p);
    const double start_err = base_error();
    // Nothing compares below NaN: every step would fail and the candidate would be kept.
    if (std::isnan(start_err)) return {candidate, raw_error};
    const double err = run_steps(start_err);
    if (raw_error > err) return {fitting::make_fitted_form(candidate, positions, p), err};
    return {candidate, raw_error};
}

ConstantFitter::ConstantFitter(const ComplexRows& rows, std::span<const double> targets,
                               const OperatorList& operators)
    : impl_(std::make_unique<Impl>(rows, targets, operators)) {}

ConstantFitter::~ConstantFitter() = default;
ConstantFitter::ConstantFitter(ConstantFitter&&) noexcept = default;
ConstantFitter& ConstantFitter::operator=(ConstantFitter&&) noexcept = default;

ScoredExpression ConstantFitter::fit(const Expression& candidate, double raw_error) {
    return impl_->fit(candidate, raw_error);
}

}  // namespace kov
