#include "engine/select/formula_cleanup.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "ops/builtin_ids.hpp"
#include "ops/operator.hpp"

namespace kov {

namespace {

// Largest change of a real value, relative to the targets' scale plus the value, that a cleanup
// may make: the removed parts change values by rounding at most.
constexpr double value_change = 1e-12;
// Imaginary terms tried for removal in one formula at most: each try evaluates it on the points.
constexpr int most_imaginary_tries = 8;

struct Node {
    Token token;
    int a = -1;
    int b = -1;
};

class Tree {
public:
    explicit Tree(const std::vector<Token>& tokens) {
        std::vector<int> stack;
        for (const Token& token : tokens) {
            Node node{token};
            if (token.kind == TokenKind::Op) {
                if (stack.size() < token.arity) return;
                if (token.arity == 2) {
                    node.b = stack.back();
                    stack.pop_back();
                }
                if (token.arity >= 1) {
                    node.a = stack.back();
                    stack.pop_back();
                }
            }
            nodes.push_back(node);
            stack.push_back(static_cast<int>(nodes.size()) - 1);
        }
        if (stack.size() == 1) root = stack.back();
        redirect.assign(nodes.size(), -1);
    }

    // The node that stands for `index` once parts were taken out.
    int follow(int index) const {
        while (index >= 0 && static_cast<std::size_t>(index) < redirect.size() &&
               redirect[index] >= 0) {
            index = redirect[index];
        }
        return index;
    }

    int negation(int operand) {
        operand = follow(operand);
        if (nodes[operand].token.kind == TokenKind::Op &&
            nodes[operand].token.id == builtin_id::neg) {
            return nodes[operand].a;
        }
        nodes.push_back(Node{Token::op(1, builtin_id::neg), operand});
        redirect.push_back(-1);
        return static_cast<int>(nodes.size()) - 1;
    }

    std::vector<Node> nodes;
    std::vector<int> redirect;  // per node: its replacement, or -1
    int root = -1;
};

bool is_op(const Node& node, std::size_t id) {
    return node.token.kind == TokenKind::Op && node.token.id == id;
}

// The node's value when it is a plain number (fitted, integer, or the constants 0 and 1).
std::optional<double> number(const Node& node) {
    const Token& t = node.token;
    if (t.kind == TokenKind::Real || t.kind == TokenKind::Integer) return t.value.re;
    if (t.kind == TokenKind::Const && (t.id == builtin_id::zero || t.id == builtin_id::one)) {
        return t.value.re;
    }
    return std::nullopt;
}

bool is_number(const Node& node, double value) {
    const std::optional<double> v = number(node);
    return v && *v == value;
}

class Simplifier {
public:
    explicit Simplifier(Tree& tree) : tree_(tree) {}

    int simplify(int index) {
        Node node = tree_.nodes[index];
        if (node.a >= 0) node.a = simplify(node.a);
        if (node.b >= 0) node.b = simplify(node.b);
        tree_.nodes[index] = node;
        const auto& n = tree_.nodes;
        if (node.token.kind != TokenKind::Op) return index;
        const std::size_t id = node.token.id;
        if (id == builtin_id::times) {
            if (is_number(n[node.a], 0.0)) return node.a;
            if (is_number(n[node.b], 0.0)) return node.b;
            if (is_number(n[node.a], 1.0)) return node.b;
            if (is_number(n[node.b], 1.0)) return node.a;
            if (is_number(n[node.a], -1.0)) return negation(node.b);
            if (is_number(n[node.b], -1.0)) return negation(node.a);
        } else if (id == builtin_id::divide) {
            if (is_number(n[node.a], 0.0)) return node.a;
            if (is_number(n[node.b], 1.0)) return node.a;
            if (is_number(n[node.b], -1.0)) return negation(node.a);
        } else if (id == builtin_id::plus) {
            if (is_number(n[node.a], 0.0)) return node.b;
            if (is_number(n[node.b], 0.0)) return node.a;
        } else if (id == builtin_id::subtract) {
            if (is_number(n[node.b], 0.0)) return node.a;
            if (is_number(n[node.a], 0.0)) return negation(node.b);
        } else if (id == builtin_id::neg) {
            if (is_op(n[node.a], builtin_id::neg)) return n[node.a].a;
        }
        return index;
    }

private:
    int negation(int operand) { return tree_.negation(operand); }

    Tree& tree_;
};

std::string number_text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

// The subtree at `index` as an expression, its text written as the search composes it.
Expression build(const Tree& tree, int index, const OperatorRegistry& registry) {
    const Node& node = tree.nodes[tree.follow(index)];
    const Token& t = node.token;
    switch (t.kind) {
        case TokenKind::Op:
            if (t.arity == 1)
                return Expression::unary(registry, t.id, build(tree, node.a, registry));
            return Expression::binary(registry, t.id, build(tree, node.a, registry),
                                      build(tree, node.b, registry));
        case TokenKind::Var:
            return Expression::variable_leaf(t.index);
        case TokenKind::Const:
            return Expression::constant_leaf(registry, t.id);
        case TokenKind::Integer:
            return Expression::integer_leaf(static_cast<std::int32_t>(t.value.re));
        case TokenKind::Real:
        case TokenKind::Param: {
            Expression leaf;
            leaf.tokens.push_back(t);
            leaf.formula = number_text(t.value.re);
            leaf.complexity = 1;
            return leaf;
        }
    }
    return {};
}

bool has_variables(const Tree& tree, int index) {
    const Node& node = tree.nodes[tree.follow(index)];
    if (node.token.kind == TokenKind::Var) return true;
    return (node.a >= 0 && has_variables(tree, node.a)) ||
           (node.b >= 0 && has_variables(tree, node.b));
}

// Sums (Plus, Subtract) with an operand that holds no variable and whose value is purely
// imaginary, each with what the sum is without it: the other operand, or its negation.
std::vector<std::pair<int, int>> imaginary_terms(Tree& tree, int root,
                                                 const OperatorRegistry& registry) {
    std::vector<std::pair<int, int>> out;
    std::vector<int> todo{root};
    std::vector<Complex> stack;
    while (!todo.empty()) {
        const int at = tree.follow(todo.back());
        todo.pop_back();
        const Node node = tree.nodes[at];
        if (node.a >= 0) todo.push_back(node.a);
        if (node.b >= 0) todo.push_back(node.b);
        if (!is_op(node, builtin_id::plus) && !is_op(node, builtin_id::subtract)) continue;
        for (int position = 0; position < 2; ++position) {
            const int operand = position == 0 ? node.a : node.b;
            if (has_variables(tree, operand)) continue;
            stack.clear();
            const std::optional<Complex> value = eval_internal(
                build(tree, operand, registry).tokens, {}, {}, registry.operators(), stack);
            if (!value || value->re != 0.0 || value->im == 0.0) continue;
            const int other = position == 0 ? node.b : node.a;
            const bool negated = position == 0 && is_op(node, builtin_id::subtract);
            out.emplace_back(at, negated ? tree.negation(other) : other);
        }
    }
    return out;
}

bool same_values(const Expression& original, const Expression& cleaned, const ComplexRows& points,
                 const OperatorList& operators, double scale) {
    std::vector<Complex> stack;
    for (const auto& point : points) {
        stack.clear();
        const std::optional<Complex> before =
            eval_internal(original.tokens, point, {}, operators, stack);
        if (!before) continue;
        stack.clear();
        const std::optional<Complex> after =
            eval_internal(cleaned.tokens, point, {}, operators, stack);
        if (!after) return false;
        if (std::fabs(after->re - before->re) > value_change * (scale + std::fabs(before->re))) {
            return false;
        }
    }
    return true;
}

}  // namespace

Expression cleaned_formula(const Expression& formula, const OperatorRegistry& registry,
                           const ComplexRows& points, double scale) {
    Tree tree(formula.tokens);
    if (tree.root < 0) return formula;
    Simplifier simplifier(tree);
    const int root = simplifier.simplify(tree.root);
    Expression best = build(tree, root, registry);
    if (best.tokens.size() == formula.tokens.size()) {
        best = formula;
    } else if (!same_values(formula, best, points, registry.operators(), scale)) {
        return formula;
    }
    // Imaginary terms one at a time, each kept out only where the values stay.
    for (int tries = 0; tries < most_imaginary_tries; ++tries) {
        bool removed = false;
        for (const auto& [sum, replacement] : imaginary_terms(tree, root, registry)) {
            tree.redirect[sum] = replacement;
            Expression without = build(tree, root, registry);
            if (same_values(formula, without, points, registry.operators(), scale)) {
                best = std::move(without);
                removed = true;
                break;
            }
            tree.redirect[sum] = -1;
        }
        if (!removed) break;
    }
    return best;
}

}  // namespace kov
