#include "ops/builtins.hpp"

#include <array>

#include "ops/complex_math.hpp"

namespace kov {

namespace {

// A rendering template: `before`, operand a, `between`, operand b, `after`. Unary templates leave
// `between` empty and read only operand a.
struct RenderTemplate {
    std::string_view before;
    std::string_view between;
    std::string_view after;
};

struct BuiltinInfo {
    std::string_view type_name;
    std::string_view name;
    std::uint8_t arity;
    bool commutative;
    RenderTemplate latex;
    RenderTemplate python;
};

// Indexed by id - builtin_id::kov.
constexpr std::array<BuiltinInfo, 16> builtin_table = {{
    {"Kov", "KOV", 2, false, {"e^{", "} - \\ln(", ")"}, {"(np.exp(", ") - np.log(", "))"}},
    // The Python forms of Neg, Inv and Divide group their operands: an operand such as (a)+(b)
    // would otherwise bind to the minus sign or the division alone and compute another function.
    {"Neg", "Neg", 1, false, {"(-", "", ")"}, {"(-(", "", "))"}},
    {"Inv", "Inv", 1, false, {"\\frac{1}{", "", "}"}, {"(1/(", "", "))"}},
    {"Plus", "Plus", 2, true, {"", " + ", ""}, {"(", ")+(", ")"}},
    {"Times", "Times", 2, true, {"", " \\cdot ", ""}, {"(", ")*(", ")"}},
    {"Subtract", "Subtract", 2, false, {"", " - ", ""}, {"(", ")-(", ")"}},
    {"Divide", "Divide", 2, false, {"\\frac{", "}{", "}"}, {"((", ")/(", "))"}},
    {"Exp", "Exp", 1, false, {"e^{", "", "}"}, {"np.exp(", "", ")"}},
    {"Log", "Log", 1, false, {"\\ln(", "", ")"}, {"np.log(", "", ")"}},
    {"Sqrt", "Sqrt", 1, false, {"\\sqrt{", "", "}"}, {"np.sqrt(", "", ")"}},
    {"Sin", "Sin", 1, false, {"\\sin(", "", ")"}, {"np.sin(", "", ")"}},
    {"Cos", "Cos", 1, false, {"\\cos(", "", ")"}, {"np.cos(", "", ")"}},
    {"Tan", "Tan", 1, false, {"\\tan(", "", ")"}, {"np.tan(", "", ")"}},
    {"ArcSin", "ArcSin", 1, false, {"\\arcsin(", "", ")"}, {"np.arcsin(", "", ")"}},
    {"ArcCos", "ArcCos", 1, false, {"\\arccos(", "", ")"}, {"np.arccos(", "", ")"}},
    {"ArcTan", "ArcTan", 1, false, {"\\arctan(", "", ")"}, {"np.arctan(", "", ")"}},
}};

constexpr const BuiltinInfo& info(std::size_t id) {
    return builtin_table[id - builtin_id::kov];
}

std::string render(const RenderTemplate& t, std::uint8_t arity,
                   std::span<const std::string> operands) {
    std::string out(t.before);
    out += operands[0];
    if (arity == 2) {
        out += t.between;
        out += operands[1];
    }
    out += t.after;
    return out;
}

}  // namespace

void ConstOp::debug_text(std::ostream& out) const {
    out << "ConstOp { name: \"" << name_ << "\", latex: \"" << latex_ << "\", python: \"" << python_
        << "\", value: Complex { re: " << value_.re << ", im: " << value_.im << " } }";
}

template <std::size_t Id>
void BuiltinOperator<Id>::debug_text(std::ostream& out) const {
    out << info(Id).type_name;
}

template <std::size_t Id>
std::string BuiltinOperator<Id>::name() const {
    return std::string(info(Id).name);
}

template <std::size_t Id>
std::uint8_t BuiltinOperator<Id>::arity() const {
    return info(Id).arity;
}

template <std::size_t Id>
bool BuiltinOperator<Id>::is_commutative() const {
    return info(Id).commutative;
}

template <std::size_t Id>
std::optional<Complex> BuiltinOperator<Id>::eval(std::span<const Complex> operands) const {
    // Unary operators must not read a second operand: callers may pass exactly one.
    if constexpr (info(Id).arity == 2) {
        return eval_builtin(Id, operands[0], operands[1]);
    } else {
        return eval_builtin(Id, operands[0], Complex{});
    }
}

template <std::size_t Id>
std::string BuiltinOperator<Id>::to_latex(std::span<const std::string> operands) const {
    return render(info(Id).latex, info(Id).arity, operands);
}

template <std::size_t Id>
std::string BuiltinOperator<Id>::to_python(std::span<const std::string> operands) const {
    return render(info(Id).python, info(Id).arity, operands);
}

template class BuiltinOperator<builtin_id::kov>;
template class BuiltinOperator<builtin_id::neg>;
template class BuiltinOperator<builtin_id::inv>;
template class BuiltinOperator<builtin_id::plus>;
template class BuiltinOperator<builtin_id::times>;
template class BuiltinOperator<builtin_id::subtract>;
template class BuiltinOperator<builtin_id::divide>;
template class BuiltinOperator<builtin_id::exp>;
template class BuiltinOperator<builtin_id::log>;
template class BuiltinOperator<builtin_id::sqrt>;
template class BuiltinOperator<builtin_id::sin>;
template class BuiltinOperator<builtin_id::cos>;
template class BuiltinOperator<builtin_id::tan>;
template class BuiltinOperator<builtin_id::arcsin>;
template class BuiltinOperator<builtin_id::arccos>;
template class BuiltinOperator<builtin_id::arctan>;

std::vector<std::unique_ptr<Operator>> builtin_constants() {
    std::vector<std::unique_ptr<Operator>> constants;
    constants.reserve(5);
    constants.push_back(std::make_unique<ConstOp>("0", "0", "0", cmath::zero_value));
    constants.push_back(std::make_unique<ConstOp>("1", "1", "1", cmath::one_value));
    constants.push_back(std::make_unique<ConstOp>("I", "i", "1j", cmath::imaginary_unit_value));
    constants.push_back(std::make_unique<ConstOp>("Pi", "\\pi", "np.pi", cmath::pi_value));
    constants.push_back(std::make_unique<ConstOp>("E", "e", "np.e", cmath::e_value));
    return constants;
}

std::vector<std::unique_ptr<Operator>> all_builtins() {
    std::vector<std::unique_ptr<Operator>> ops;
    ops.reserve(16);
    ops.push_back(std::make_unique<Kov>());
    ops.push_back(std::make_unique<Neg>());
    ops.push_back(std::make_unique<Inv>());
    ops.push_back(std::make_unique<Plus>());
    ops.push_back(std::make_unique<Times>());
    ops.push_back(std::make_unique<Subtract>());
    ops.push_back(std::make_unique<Divide>());
    ops.push_back(std::make_unique<Exp>());
    ops.push_back(std::make_unique<Log>());
    ops.push_back(std::make_unique<Sqrt>());
    ops.push_back(std::make_unique<Sin>());
    ops.push_back(std::make_unique<Cos>());
    ops.push_back(std::make_unique<Tan>());
    ops.push_back(std::make_unique<ArcSin>());
    ops.push_back(std::make_unique<ArcCos>());
    ops.push_back(std::make_unique<ArcTan>());
    return ops;
}

}  // namespace kov
