#include "engine/fit/fitted_expression.hpp"

#include <charconv>
#include <string>

#include "ops/builtin_ids.hpp"

namespace kov {

namespace {

Expression number_leaf(double value) {
    Expression leaf;
    leaf.tokens.push_back(Token::real(value));
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    leaf.formula = error == std::errc{} ? std::string(buffer, end) : std::string("nan");
    leaf.complexity = 1;
    return leaf;
}

}  // namespace

Expression fitted_expression(const Expression& form, const LeastSquaresFit& fit,
                             const OperatorRegistry& registry) {
    Expression out = form;
    for (Token& token : out.tokens) {
        if (token.kind != TokenKind::Param) continue;
        const double value =
            token.index < fit.params.size() ? fit.params[token.index] : token.value.re;
        token = Token::real(value);
    }
    if (fit.scale != 1.0) {
        out = Expression::binary(registry, builtin_id::times, number_leaf(fit.scale), out);
    }
    if (fit.offset != 0.0) {
        out = Expression::binary(registry, builtin_id::plus, out, number_leaf(fit.offset));
    }
    return out;
}

}  // namespace kov
