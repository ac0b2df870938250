#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "ops/complex.hpp"

namespace kov {

// One mathematical operation that can appear in a formula, constants included. Implementations are
// immutable and called from many threads at once without locks. Callers pass at least `arity()`
// operands; implementations read exactly the first `arity()`.
class Operator {
public:
    virtual ~Operator() = default;

    virtual void debug_text(std::ostream& out) const = 0;
    [[nodiscard]] virtual std::string name() const = 0;
    [[nodiscard]] virtual std::uint8_t arity() const = 0;
    [[nodiscard]] virtual bool is_commutative() const { return false; }
    // No value where the operation is undefined at these operands. Allocates nothing.
    [[nodiscard]] virtual std::optional<Complex> eval(std::span<const Complex> operands) const = 0;
    [[nodiscard]] virtual std::string to_latex(std::span<const std::string> operands) const = 0;
    [[nodiscard]] virtual std::string to_python(std::span<const std::string> operands) const = 0;
    // name() alone for constants, otherwise name[a, b, ...].
    [[nodiscard]] virtual std::string to_mathematica(std::span<const std::string> operands) const;
};

struct OperatorMeta {
    std::string name;
    std::uint8_t arity = 0;
    bool is_commutative = false;
};

// The registry's operator objects in id order; an expression's operator ids index into it.
using OperatorList = std::vector<std::unique_ptr<Operator>>;

}  // namespace kov
