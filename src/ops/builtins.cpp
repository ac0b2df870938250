#include "ops/builtins.hpp"

#include <utility>

namespace kov {

std::string render_builtin(const RenderTemplate& form, std::uint8_t arity,
                           std::span<const std::string> operands) {
    std::string out(form.before);
    out += operands[0];
    if (arity == 2) {
        out += form.between;
        out += operands[1];
    }
    out += form.after;
    return out;
}

void ConstOp::debug_text(std::ostream& out) const {
    out << "ConstOp { name: \"" << name_ << "\", latex: \"" << latex_ << "\", python: \"" << python_
        << "\", value: Complex { re: " << value_.re << ", im: " << value_.im << " } }";
}

namespace {

template <std::size_t... Ids>
std::vector<std::unique_ptr<Operator>> operators(std::index_sequence<Ids...>) {
    std::vector<std::unique_ptr<Operator>> ops;
    ops.reserve(sizeof...(Ids));
    (ops.push_back(std::make_unique<BuiltinOperator<builtin_constant_count() + Ids>>()), ...);
    return ops;
}

}  // namespace

std::vector<std::unique_ptr<Operator>> builtin_constants() {
    std::vector<std::unique_ptr<Operator>> constants;
    constants.reserve(builtin_constant_count());
    for (std::size_t id = 0; id < builtin_constant_count(); ++id) {
        const BuiltinRow& row = builtin_table[id];
        constants.push_back(std::make_unique<ConstOp>(row.name, row.latex.before, row.python.before,
                                                      *row.function(Complex{}, Complex{})));
    }
    return constants;
}

std::vector<std::unique_ptr<Operator>> all_builtins() {
    return operators(std::make_index_sequence<builtin_id::count - builtin_constant_count()>{});
}

}  // namespace kov
