#include "python/render.hpp"

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "ops/builtin_table.hpp"
#include "ops/operator.hpp"
#include "python/format.hpp"

namespace kov::python {
namespace {

std::string indexed_name(const char* prefix, unsigned index) {
    return std::string(prefix) + "{" + std::to_string(index) + "}";
}

std::string composed(const std::string& name, std::span<const std::string> operands) {
    if (operands.empty()) return name;
    std::string text = name + "(";
    for (std::size_t i = 0; i < operands.size(); ++i) {
        if (i > 0) text += ", ";
        text += operands[i];
    }
    return text + ")";
}

// An operator or constant applied to its rendered operands in the requested form.
std::string apply(const OperatorRegistry& registry, std::size_t id,
                  std::span<const std::string> operands, Rendering rendering) {
    // Every id a search stores indexes its own registry; the guard only keeps a corrupted result
    // from reading past it.
    if (id >= registry.size()) return "?";
    switch (rendering) {
        case Rendering::Formula:
            return composed(registry.meta(id).name, operands);
        case Rendering::Latex:
            return registry.op(id).to_latex(operands);
        case Rendering::Python:
            return registry.op(id).to_python(operands);
    }
    return {};
}

// LaTeX forms of sums and differences (a + b, a - b, e^{a} - \ln(b)) carry no grouping of their
// own, so inside a product, after a minus sign or under a negation they would bind differently and
// show another function: a + b \cdot c for (a + b) c. Such operands are grouped there; the operator
// table says which forms are sums and which operands need it.
bool is_additive_latex(std::size_t id) {
    return id < builtin_table.size() && builtin_table[id].latex_is_sum;
}

bool needs_latex_group(std::size_t id, std::size_t operand_position) {
    if (id >= builtin_table.size()) return false;
    switch (builtin_table[id].latex_grouping) {
        case LatexGrouping::none:
            return false;
        case LatexGrouping::all_operands:
            return true;
        case LatexGrouping::second_operand:
            return operand_position == 1;
    }
    return false;
}

}  // namespace

std::string render(const SearchResult& result, Rendering rendering) {
    const std::vector<Token>& tokens = result.expression.tokens;
    if (tokens.empty() || !result.registry) return {};
    const OperatorRegistry& registry = *result.registry;
    std::vector<std::string> stack;
    stack.reserve(tokens.size());
    // Parallel to `stack`: whether the text is a LaTeX sum or difference at its top level.
    std::vector<bool> additive;
    additive.reserve(tokens.size());
    for (const Token& token : tokens) {
        additive.resize(stack.size());
        switch (token.kind) {
            case TokenKind::Const:
                stack.push_back(apply(registry, token.id, {}, rendering));
                break;
            case TokenKind::Real:
                stack.push_back(rendering == Rendering::Formula
                                    ? python_float_repr(token.value.re)
                                    : fixed_four_decimals(token.value.re));
                break;
            case TokenKind::Integer:
                // The same text in every rendering: "2" is a formula, LaTeX and Python alike.
                stack.push_back(std::to_string(static_cast<long long>(token.value.re)));
                break;
            case TokenKind::Var:
                stack.push_back(indexed_name("v_", token.index));
                break;
            case TokenKind::Param:
                stack.push_back(indexed_name("p_", token.index));
                break;
            case TokenKind::Op: {
                // The deepest of the top `arity` texts is operand 0. A search never builds a token
                // list that runs short; should one, the missing operands render empty.
                // An operator reads as many operands as it takes; a token claiming fewer would
                // make it read past the list, so the list is never shorter than that.
                const std::size_t takes =
                    token.id < registry.size() ? registry.meta(token.id).arity : 0;
                std::vector<std::string> operands(std::max<std::size_t>(token.arity, takes));
                const std::size_t available = std::min<std::size_t>(token.arity, stack.size());
                const std::size_t first = token.arity - available;
                for (std::size_t i = 0; i < available; ++i) {
                    const std::size_t from = stack.size() - available + i;
                    operands[first + i] = std::move(stack[from]);
                    if (rendering == Rendering::Latex && additive[from] &&
                        needs_latex_group(token.id, first + i)) {
                        operands[first + i] = "\\left(" + operands[first + i] + "\\right)";
                    }
                }
                stack.resize(stack.size() - available);
                stack.push_back(apply(registry, token.id, operands, rendering));
                additive.resize(stack.size());
                additive.back() = is_additive_latex(token.id);
                break;
            }
        }
    }
    return std::move(stack.back());
}

std::string display_formula(const SearchResult& result) {
    const std::vector<Token>& tokens = result.expression.tokens;
    const bool fitted = std::any_of(tokens.begin(), tokens.end(), [](const Token& token) {
        return token.kind == TokenKind::Real;
    });
    return fitted ? render(result, Rendering::Formula) : result.expression.formula;
}

}  // namespace kov::python
