#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ops/complex.hpp"
#include "ops/operator.hpp"

namespace kov {

class OperatorRegistry;

// Integer comes last so that the numbers of the older kinds (stored in pickles) stay.
enum class TokenKind : std::uint8_t { Const, Real, Var, Param, Op, Integer };

// One postfix token. A flat struct rather than a variant: the evaluator switches on `kind` in its
// innermost loop and the unused fields cost nothing there.
//   Const: `id` (registry id of the constant operator) and `value` (its value, cached)
//   Real:  `value.re` (a fitted number; evaluates to (value.re, +0.0))
//   Var:   `index` (input variable)
//   Param: `index` (parameter slot) and `value` (used when the caller supplies fewer parameters)
//   Op:    `arity` and `id` (registry id of the operator)
//   Integer: `value.re` (an exact small integer seeded as a constant; never fitted, shown as "2")
struct Token {
    TokenKind kind = TokenKind::Const;
    std::uint8_t arity = 0;
    std::uint8_t index = 0;
    std::size_t id = 0;
    Complex value{};

    static Token constant(std::size_t id, Complex value) { return {TokenKind::Const, 0, 0, id, value}; }
    static Token real(double value) { return {TokenKind::Real, 0, 0, 0, {value, 0.0}}; }
    static Token var(std::uint8_t index) { return {TokenKind::Var, 0, index, 0, {}}; }
    static Token param(std::uint8_t index, Complex value) {
        return {TokenKind::Param, 0, index, 0, value};
    }
    static Token op(std::uint8_t arity, std::size_t id) { return {TokenKind::Op, arity, 0, id, {}}; }
    static Token integer(std::int32_t value) {
        return {TokenKind::Integer, 0, 0, 0, {static_cast<double>(value), 0.0}};
    }
};

// One candidate formula, stored flattened in postfix order. `formula`, `complexity` and
// `var_count` are fixed when the expression is composed; replacing Const tokens by Param or Real
// tokens leaves the text unchanged.
struct Expression {
    std::vector<Token> tokens;
    std::string formula;
    std::size_t complexity = 0;   // always tokens.size()
    std::uint8_t var_count = 0;   // highest variable index used plus one, 0 without variables

    // Composition rules. Names come from the registry's meta records.
    [[nodiscard]] static Expression constant_leaf(const OperatorRegistry& registry, std::size_t id);
    [[nodiscard]] static Expression variable_leaf(std::uint8_t index);
    [[nodiscard]] static Expression integer_leaf(std::int32_t value);
    [[nodiscard]] static Expression unary(const OperatorRegistry& registry, std::size_t op_id,
                                          const Expression& operand);
    [[nodiscard]] static Expression binary(const OperatorRegistry& registry, std::size_t op_id,
                                           const Expression& first, const Expression& second);
};

// Single left-to-right pass over a value stack. `stack` must be empty on entry; its contents are
// unspecified on return. Returns no value for: a variable index beyond `vars`, an operator with too
// few operands on the stack, an operator token whose arity is not its operator's, an operator that
// declines, an operator result that is non-finite or has a part of magnitude >= 1e15, and a final
// stack not holding exactly one value.
[[nodiscard]] std::optional<Complex> eval_internal(std::span<const Token> tokens,
                                                   std::span<const Complex> vars,
                                                   std::span<const Complex> params,
                                                   const OperatorList& operators,
                                                   std::vector<Complex>& stack);

[[nodiscard]] std::optional<Complex> eval(const Expression& expression,
                                          std::span<const Complex> vars,
                                          const OperatorList& operators);

[[nodiscard]] std::optional<Complex> eval_with_params(const Expression& expression,
                                                      std::span<const Complex> vars,
                                                      std::span<const Complex> params,
                                                      const OperatorList& operators);

// The evaluator's acceptance test for an operator result.
[[nodiscard]] inline bool is_acceptable_value(Complex value) {
    constexpr double limit = 1e15;
    // Written so that NaN fails: every comparison with NaN is false.
    return value.re < limit && value.re > -limit && value.im < limit && value.im > -limit;
}

}  // namespace kov
