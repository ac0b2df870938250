#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ops/builtin_ids.hpp"
#include "ops/builtin_table.hpp"
#include "ops/complex.hpp"
#include "ops/operator.hpp"

namespace kov {

// The template applied to the first `arity` operands (one or two).
[[nodiscard]] std::string render_builtin(const RenderTemplate& form, std::uint8_t arity,
                                         std::span<const std::string> operands);

// A named constant ("0", "1", "I", "Pi", "E" among the built-ins). Its texts are static.
class ConstOp final : public Operator {
public:
    ConstOp(std::string_view name, std::string_view latex, std::string_view python, Complex value)
        : name_(name), latex_(latex), python_(python), value_(value) {}

    void debug_text(std::ostream& out) const override;
    [[nodiscard]] std::string name() const override { return std::string(name_); }
    [[nodiscard]] std::uint8_t arity() const override { return 0; }
    [[nodiscard]] std::optional<Complex> eval(std::span<const Complex>) const override {
        return value_;
    }
    [[nodiscard]] std::string to_latex(std::span<const std::string>) const override {
        return std::string(latex_);
    }
    [[nodiscard]] std::string to_python(std::span<const std::string>) const override {
        return std::string(python_);
    }

private:
    std::string_view name_;
    std::string_view latex_;
    std::string_view python_;
    Complex value_;
};

// The sixteen operator types differ only in their registry id, which selects their row of
// builtin_table: names, arity, commutativity, renderings and function. They have no fields.
template <std::size_t Id>
class BuiltinOperator : public Operator {
    static constexpr const BuiltinRow& row = builtin_table[Id];
    static_assert(row.arity != 0, "constants are ConstOp objects");

public:
    void debug_text(std::ostream& out) const override { out << row.type_name; }
    [[nodiscard]] std::string name() const override { return std::string(row.name); }
    [[nodiscard]] std::uint8_t arity() const override { return row.arity; }
    [[nodiscard]] bool is_commutative() const override { return row.commutative; }
    [[nodiscard]] std::optional<Complex> eval(std::span<const Complex> operands) const override {
        // Unary operators must not read a second operand: callers may pass exactly one.
        if constexpr (row.arity == 2) {
            return eval_builtin<Id>(operands[0], operands[1]);
        } else {
            return eval_builtin<Id>(operands[0], Complex{});
        }
    }
    [[nodiscard]] std::string to_latex(std::span<const std::string> operands) const override {
        return render_builtin(row.latex, row.arity, operands);
    }
    [[nodiscard]] std::string to_python(std::span<const std::string> operands) const override {
        return render_builtin(row.python, row.arity, operands);
    }
};

// The operator types under the names the system gives them.
class Kov final : public BuiltinOperator<builtin_id::kov> {};
class Neg final : public BuiltinOperator<builtin_id::neg> {};
class Inv final : public BuiltinOperator<builtin_id::inv> {};
class Plus final : public BuiltinOperator<builtin_id::plus> {};
class Times final : public BuiltinOperator<builtin_id::times> {};
class Subtract final : public BuiltinOperator<builtin_id::subtract> {};
class Divide final : public BuiltinOperator<builtin_id::divide> {};
class Exp final : public BuiltinOperator<builtin_id::exp> {};
class Log final : public BuiltinOperator<builtin_id::log> {};
class Sqrt final : public BuiltinOperator<builtin_id::sqrt> {};
class Sin final : public BuiltinOperator<builtin_id::sin> {};
class Cos final : public BuiltinOperator<builtin_id::cos> {};
class Tan final : public BuiltinOperator<builtin_id::tan> {};
class ArcSin final : public BuiltinOperator<builtin_id::arcsin> {};
class ArcCos final : public BuiltinOperator<builtin_id::arccos> {};
class ArcTan final : public BuiltinOperator<builtin_id::arctan> {};

// The named constants in registration order (ids 0-4), from their rows of builtin_table.
[[nodiscard]] std::vector<std::unique_ptr<Operator>> builtin_constants();

// The operator types in registration order (ids 5-20): Kov, Neg, Inv, Plus, Times, Subtract,
// Divide, Exp, Log, Sqrt, Sin, Cos, Tan, ArcSin, ArcCos, ArcTan; one per row of builtin_table.
[[nodiscard]] std::vector<std::unique_ptr<Operator>> all_builtins();

}  // namespace kov
