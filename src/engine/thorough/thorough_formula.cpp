#include "engine/thorough/thorough_formula.hpp"

#include <cstdio>

#include "ops/registry.hpp"

namespace kov {

namespace {

// The built-in operators the thorough search composes with, made once.
const OperatorRegistry& builtins() {
    static const OperatorRegistry registry = OperatorRegistry::with_builtins();
    return registry;
}

}  // namespace

std::string number_text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

Expression number(double value) {
    Expression out;
    out.tokens.push_back(Token::real(value));
    out.formula = number_text(value);
    out.complexity = 1;
    return out;
}

Expression builtin_constant(std::size_t id) {
    return Expression::constant_leaf(builtins(), id);
}

Expression apply_builtin(std::size_t op, const Expression& operand) {
    return Expression::unary(builtins(), op, operand);
}

Expression apply_builtin(std::size_t op, const Expression& first, const Expression& second) {
    return Expression::binary(builtins(), op, first, second);
}

}  // namespace kov
