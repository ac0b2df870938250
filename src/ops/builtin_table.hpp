#pragma once

// The one description of the built-in operators: for each registry id its names, arity,
// commutativity, renderings and function. The operator objects, the registry's metadata, the
// evaluator's dispatch, the search's per-operator kernels and the LaTeX grouping are all built from
// this table; a dispatcher written out by hand for speed is checked against it (see the
// static_asserts below and tests/cpp/test_operators.cpp). HACKING.md lists the steps to add one.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "ops/builtin_ids.hpp"
#include "ops/complex.hpp"
#include "ops/complex_math.hpp"

namespace kov {

// A rendering template: `before`, operand a, `between`, operand b, `after`. Unary templates leave
// `between` empty and read only operand a; a constant's text is `before` alone.
struct RenderTemplate {
    std::string_view before;
    std::string_view between = {};
    std::string_view after = {};
};

// Which operands of an operator's LaTeX form need \left( \right) around a sum or difference: its
// form would otherwise bind differently (a + b \cdot c for (a + b) c).
enum class LatexGrouping : std::uint8_t { none, all_operands, second_operand };

// An operator's value at a (unary) or a and b (binary); constants ignore both. No value where the
// operator declines.
using BuiltinFunction = std::optional<Complex> (*)(Complex a, Complex b) noexcept;

struct BuiltinRow {
    std::size_t id;
    std::string_view type_name;  // the C++ type, for debug_text
    std::string_view name;       // display name: formula text Name(a, b), Mathematica Name[a, b]
    std::uint8_t arity;
    bool commutative;
    BuiltinFunction function;
    RenderTemplate latex;
    RenderTemplate python;
    bool latex_is_sum;  // the LaTeX form is a sum or difference at its top level
    LatexGrouping latex_grouping;
};

namespace builtin_functions {

template <auto Function>
constexpr BuiltinFunction unary =
    [](Complex a, Complex) noexcept -> std::optional<Complex> { return Function(a); };

template <auto Function>
constexpr BuiltinFunction binary =
    [](Complex a, Complex b) noexcept -> std::optional<Complex> { return Function(a, b); };

template <const Complex& Value>
constexpr BuiltinFunction constant =
    [](Complex, Complex) noexcept -> std::optional<Complex> { return Value; };

}  // namespace builtin_functions

namespace builtin_table_rows {
using builtin_functions::binary;
using builtin_functions::constant;
using builtin_functions::unary;
constexpr auto no_grouping = LatexGrouping::none;
constexpr auto group_all = LatexGrouping::all_operands;
constexpr auto group_second = LatexGrouping::second_operand;

// Indexed by registry id. The Python forms of Neg, Inv and Divide group their operands: an operand
// such as (a)+(b) would otherwise bind to the minus sign or the division alone.
// Two lines per operator, its fields in columns:
//   id, type name, display name, arity, commutative, function,
//       LaTeX template, Python template, LaTeX form is a sum, LaTeX grouping of sums
// clang-format off
inline constexpr std::array<BuiltinRow, builtin_id::count> rows{{
    {builtin_id::zero,           "ConstOp",  "0",        0, false, constant<cmath::zero_value>,
        {"0"},                      {"0"},                              false, no_grouping},
    {builtin_id::one,            "ConstOp",  "1",        0, false, constant<cmath::one_value>,
        {"1"},                      {"1"},                              false, no_grouping},
    {builtin_id::imaginary_unit, "ConstOp",  "I",        0, false, constant<cmath::i_value>,
        {"i"},                      {"1j"},                             false, no_grouping},
    {builtin_id::pi,             "ConstOp",  "Pi",       0, false, constant<cmath::pi_value>,
        {"\\pi"},                   {"np.pi"},                          false, no_grouping},
    {builtin_id::e,              "ConstOp",  "E",        0, false, constant<cmath::e_value>,
        {"e"},                      {"np.e"},                           false, no_grouping},
    {builtin_id::kov,            "Kov",      "KOV",      2, false, binary<cmath::kov>,
        {"e^{", "} - \\ln(", ")"},  {"(np.exp(", ") - np.log(", "))"},  true, no_grouping},
    {builtin_id::neg,            "Neg",      "Neg",      1, false, unary<cmath::neg>,
        {"(-", "", ")"},            {"(-(", "", "))"},                  false, group_all},
    {builtin_id::inv,            "Inv",      "Inv",      1, false, unary<cmath::inv>,
        {"\\frac{1}{", "", "}"},    {"(1/(", "", "))"},                 false, no_grouping},
    {builtin_id::plus,           "Plus",     "Plus",     2, true,  binary<cmath::plus>,
        {"", " + ", ""},            {"(", ")+(", ")"},                  true, no_grouping},
    {builtin_id::times,          "Times",    "Times",    2, true,  binary<cmath::times>,
        {"", " \\cdot ", ""},       {"(", ")*(", ")"},                  false, group_all},
    {builtin_id::subtract,       "Subtract", "Subtract", 2, false, binary<cmath::subtract>,
        {"", " - ", ""},            {"(", ")-(", ")"},                  true, group_second},
    {builtin_id::divide,         "Divide",   "Divide",   2, false, binary<cmath::divide>,
        {"\\frac{", "}{", "}"},     {"((", ")/(", "))"},                false, no_grouping},
    {builtin_id::exp,            "Exp",      "Exp",      1, false, unary<cmath::exp>,
        {"e^{", "", "}"},           {"np.exp(", "", ")"},               false, no_grouping},
    {builtin_id::log,            "Log",      "Log",      1, false, unary<cmath::ln>,
        {"\\ln(", "", ")"},         {"np.log(", "", ")"},               false, no_grouping},
    {builtin_id::sqrt,           "Sqrt",     "Sqrt",     1, false, unary<cmath::sqrt>,
        {"\\sqrt{", "", "}"},       {"np.sqrt(", "", ")"},              false, no_grouping},
    {builtin_id::sin,            "Sin",      "Sin",      1, false, unary<cmath::sin>,
        {"\\sin(", "", ")"},        {"np.sin(", "", ")"},               false, no_grouping},
    {builtin_id::cos,            "Cos",      "Cos",      1, false, unary<cmath::cos>,
        {"\\cos(", "", ")"},        {"np.cos(", "", ")"},               false, no_grouping},
    {builtin_id::tan,            "Tan",      "Tan",      1, false, unary<cmath::tan>,
        {"\\tan(", "", ")"},        {"np.tan(", "", ")"},               false, no_grouping},
    {builtin_id::arcsin,         "ArcSin",   "ArcSin",   1, false, unary<cmath::arcsin>,
        {"\\arcsin(", "", ")"},     {"np.arcsin(", "", ")"},            false, no_grouping},
    {builtin_id::arccos,         "ArcCos",   "ArcCos",   1, false, unary<cmath::arccos>,
        {"\\arccos(", "", ")"},     {"np.arccos(", "", ")"},            false, no_grouping},
    {builtin_id::arctan,         "ArcTan",   "ArcTan",   1, false, unary<cmath::arctan>,
        {"\\arctan(", "", ")"},     {"np.arctan(", "", ")"},            false, no_grouping},
}};
// clang-format on

}  // namespace builtin_table_rows

inline constexpr const std::array<BuiltinRow, builtin_id::count>& builtin_table =
    builtin_table_rows::rows;

// Rows sit at their ids, the constants come first and every operator has a function: a row added
// in the wrong place or without its function does not compile.
constexpr bool rows_are_well_formed() {
    bool constants_done = false;
    for (std::size_t i = 0; i < builtin_table.size(); ++i) {
        const BuiltinRow& row = builtin_table[i];
        if (row.id != i || row.function == nullptr || row.name.empty() || row.arity > 2) {
            return false;
        }
        if (row.arity != 0) constants_done = true;
        if (constants_done && row.arity == 0) return false;
    }
    return true;
}
static_assert(rows_are_well_formed(), "builtin_table: each row at its id, constants first");

constexpr std::size_t builtin_constant_count() {
    std::size_t count = 0;
    while (count < builtin_table.size() && builtin_table[count].arity == 0) ++count;
    return count;
}

// Operator `Id` at compile time: a direct call that inlines into the search's loops.
template <std::size_t Id>
[[nodiscard]] inline std::optional<Complex> eval_builtin(Complex a, Complex b) noexcept {
    static_assert(Id < builtin_id::count);
    constexpr BuiltinFunction function = builtin_table[Id].function;
    return function(a, b);
}

// The built-in operator with registry id `id` applied to a (unary) or a and b (binary); constants
// ignore both. Bit-identical to the virtual eval of the registry's built-ins, which call the same
// function of the table.
[[nodiscard]] inline std::optional<Complex> eval_builtin(std::size_t id, Complex a,
                                                         Complex b) noexcept {
    if (id >= builtin_table.size()) return std::nullopt;  // a caller's precondition violation
    return builtin_table[id].function(a, b);
}

}  // namespace kov
