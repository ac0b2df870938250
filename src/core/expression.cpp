#include "core/expression.hpp"

#include <algorithm>
#include <string>

#include "ops/operator.hpp"
#include "ops/registry.hpp"

namespace kov {

Expression Expression::constant_leaf(const OperatorRegistry& registry, std::size_t id) {
    // The value is cached in the token so that evaluation never calls the constant operator.
    const std::optional<Complex> value = registry.op(id).eval({});
    Expression leaf;
    leaf.tokens.push_back(Token::constant(id, value.value_or(Complex{})));
    leaf.formula = registry.meta(id).name;
    leaf.complexity = 1;
    leaf.var_count = 0;
    return leaf;
}

Expression Expression::variable_leaf(std::uint8_t index) {
    Expression leaf;
    leaf.tokens.push_back(Token::var(index));
    leaf.formula = "v_{" + std::to_string(index) + "}";
    leaf.complexity = 1;
    // index + 1 wraps to 0 for index 255; expressions address at most 255 variables (0-254).
    leaf.var_count = static_cast<std::uint8_t>(index + 1);
    return leaf;
}

Expression Expression::integer_leaf(std::int32_t value) {
    Expression leaf;
    leaf.tokens.push_back(Token::integer(value));
    leaf.formula = std::to_string(value);
    leaf.complexity = 1;
    leaf.var_count = 0;
    return leaf;
}

Expression Expression::unary(const OperatorRegistry& registry, std::size_t op_id,
                             const Expression& operand) {
    Expression node;
    node.tokens.reserve(operand.tokens.size() + 1);
    node.tokens = operand.tokens;
    node.tokens.push_back(Token::op(1, op_id));
    const std::string& name = registry.meta(op_id).name;
    node.formula.reserve(name.size() + operand.formula.size() + 2);
    node.formula += name;
    node.formula += '(';
    node.formula += operand.formula;
    node.formula += ')';
    node.complexity = node.tokens.size();
    node.var_count = operand.var_count;
    return node;
}

Expression Expression::binary(const OperatorRegistry& registry, std::size_t op_id,
                              const Expression& first, const Expression& second) {
    Expression node;
    node.tokens.reserve(first.tokens.size() + second.tokens.size() + 1);
    node.tokens.insert(node.tokens.end(), first.tokens.begin(), first.tokens.end());
    node.tokens.insert(node.tokens.end(), second.tokens.begin(), second.tokens.end());
    node.tokens.push_back(Token::op(2, op_id));
    const std::string& name = registry.meta(op_id).name;
    node.formula.reserve(name.size() + first.formula.size() + second.formula.size() + 4);
    node.formula += name;
    node.formula += '(';
    node.formula += first.formula;
    node.formula += ", ";
    node.formula += second.formula;
    node.formula += ')';
    node.complexity = node.tokens.size();
    node.var_count = std::max(first.var_count, second.var_count);
    return node;
}

std::optional<Complex> eval_internal(std::span<const Token> tokens, std::span<const Complex> vars,
                                     std::span<const Complex> params, const OperatorList& operators,
                                     std::vector<Complex>& stack) {
    for (const Token& token : tokens) {
        switch (token.kind) {
            case TokenKind::Const:
                stack.push_back(token.value);
                break;
            case TokenKind::Real:
            case TokenKind::Integer:
                stack.push_back(Complex{token.value.re, 0.0});
                break;
            case TokenKind::Var:
                if (token.index >= vars.size()) return std::nullopt;
                stack.push_back(vars[token.index]);
                break;
            case TokenKind::Param:
                stack.push_back(token.index < params.size() ? params[token.index] : token.value);
                break;
            case TokenKind::Op: {
                const Operator& op = *operators[token.id];
                const std::size_t arity = token.arity;
                // An operator reads exactly as many operands as it takes: a token that claims
                // another count (only a damaged sequence holds one) would let it read values
                // that were never pushed.
                if (stack.size() < arity || arity != op.arity()) return std::nullopt;
                // The operands are a view of the top of the stack, first operand pushed first.
                const std::span<const Complex> operands(stack.data() + (stack.size() - arity),
                                                        arity);
                const std::optional<Complex> result = op.eval(operands);
                if (!result || !is_acceptable_value(*result)) return std::nullopt;
                stack.resize(stack.size() - arity);
                stack.push_back(*result);
                break;
            }
        }
    }
    if (stack.size() != 1) return std::nullopt;
    return stack.front();
}

std::optional<Complex> eval(const Expression& expression, std::span<const Complex> vars,
                            const OperatorList& operators) {
    return eval_with_params(expression, vars, {}, operators);
}

std::optional<Complex> eval_with_params(const Expression& expression, std::span<const Complex> vars,
                                        std::span<const Complex> params,
                                        const OperatorList& operators) {
    std::vector<Complex> stack;
    stack.reserve(expression.complexity);
    return eval_internal(expression.tokens, vars, params, operators, stack);
}

}  // namespace kov
