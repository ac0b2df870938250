#include "engine/units/units_expressions.hpp"

#include <cstdint>
#include <cstdlib>

#include "engine/thorough/thorough_formula.hpp"
#include "ops/builtin_ids.hpp"

namespace kov {
namespace {

Expression multiply(const OperatorRegistry& registry, const Expression& a, const Expression& b) {
    if (a.tokens.empty()) return b;
    if (b.tokens.empty()) return a;
    return Expression::binary(registry, builtin_id::times, a, b);
}

Expression whole_power(const OperatorRegistry& registry, std::uint8_t variable,
                       std::int64_t power) {
    const Expression x = Expression::variable_leaf(variable);
    Expression out = x;
    for (std::int64_t i = 1; i < power; ++i) out = multiply(registry, out, x);
    return out;
}

// x^e for e > 0.
Expression power(const OperatorRegistry& registry, std::uint8_t variable, Rational e) {
    if (e.den() == 1) return whole_power(registry, variable, e.num());
    if (e.den() == 2) {
        return Expression::unary(registry, builtin_id::sqrt,
                                 whole_power(registry, variable, e.num()));
    }
    const Expression fraction = Expression::binary(
        registry, builtin_id::divide, Expression::integer_leaf(static_cast<std::int32_t>(e.num())),
        Expression::integer_leaf(static_cast<std::int32_t>(e.den())));
    const Expression log =
        Expression::unary(registry, builtin_id::log, Expression::variable_leaf(variable));
    return Expression::unary(registry, builtin_id::exp,
                             Expression::binary(registry, builtin_id::times, fraction, log));
}

}  // namespace

MonomialForm monomial_form(const OperatorRegistry& registry, const Monomial& monomial) {
    MonomialForm form;
    for (std::size_t i = 0; i < monomial.size(); ++i) {
        const Rational e = monomial[i];
        if (e.is_zero()) continue;
        const auto variable = static_cast<std::uint8_t>(i);
        Expression& side = e.num() > 0 ? form.numerator : form.denominator;
        side = multiply(registry, side, power(registry, variable, e.num() > 0 ? e : -e));
    }
    return form;
}

Expression monomial_expression(const OperatorRegistry& registry, const Monomial& monomial) {
    MonomialForm form = monomial_form(registry, monomial);
    if (form.denominator.tokens.empty()) {
        return form.numerator.tokens.empty() ? Expression::integer_leaf(1) : form.numerator;
    }
    if (form.numerator.tokens.empty()) {
        return Expression::unary(registry, builtin_id::inv, form.denominator);
    }
    return Expression::binary(registry, builtin_id::divide, form.numerator, form.denominator);
}

Expression restore_formula(const OperatorRegistry& registry, const Expression& reduced,
                           const std::vector<Expression>& replacements, const MonomialForm& scale) {
    std::vector<Expression> stack;
    for (const Token& token : reduced.tokens) {
        switch (token.kind) {
            case TokenKind::Var:
                stack.push_back(replacements.at(token.index));
                break;
            case TokenKind::Const:
                stack.push_back(Expression::constant_leaf(registry, token.id));
                break;
            case TokenKind::Integer:
                stack.push_back(
                    Expression::integer_leaf(static_cast<std::int32_t>(token.value.re)));
                break;
            case TokenKind::Real:
            case TokenKind::Param:
                stack.push_back(number(token.value.re));
                break;
            case TokenKind::Op: {
                if (token.arity == 1) {
                    Expression operand = std::move(stack.back());
                    stack.back() = Expression::unary(registry, token.id, operand);
                } else {
                    Expression second = std::move(stack.back());
                    stack.pop_back();
                    Expression first = std::move(stack.back());
                    stack.back() = Expression::binary(registry, token.id, first, second);
                }
                break;
            }
        }
    }
    Expression out = multiply(registry, stack.back(), scale.numerator);
    if (!scale.denominator.tokens.empty()) {
        out = Expression::binary(registry, builtin_id::divide, out, scale.denominator);
    }
    return out;
}

}  // namespace kov
