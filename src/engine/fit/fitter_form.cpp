#include "engine/fit/fitter_form.hpp"

#include <cstdint>

namespace kov::fitting {

std::size_t count_constants(const Expression& expression) {
    std::size_t count = 0;
    for (const Token& token : expression.tokens) {
        if (token.kind == TokenKind::Const) ++count;
    }
    return count;
}

ParameterForm make_parameter_form(const Expression& candidate) {
    ParameterForm result;
    result.form = candidate;
    for (std::size_t i = 0; i < result.form.tokens.size(); ++i) {
        Token& token = result.form.tokens[i];
        if (token.kind != TokenKind::Const) continue;
        const auto index = static_cast<std::uint8_t>(result.positions.size());
        // A purely imaginary constant such as I starts from its real part, 0.
        result.initial.push_back(token.value.re);
        result.positions.push_back(i);
        token = Token::param(index, token.value);
    }
    return result;
}

Expression make_fitted_form(const Expression& form, std::span<const std::size_t> positions,
                            std::span<const double> values) {
    Expression fitted = form;
    for (std::size_t k = 0; k < positions.size(); ++k) {
        fitted.tokens[positions[k]] = Token::real(values[k]);
    }
    return fitted;
}

}  // namespace kov::fitting
