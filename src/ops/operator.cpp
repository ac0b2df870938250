#include "ops/operator.hpp"

namespace kov {

std::string Operator::to_mathematica(std::span<const std::string> operands) const {
    std::string out = name();
    if (operands.empty()) return out;
    out += '[';
    for (std::size_t i = 0; i < operands.size(); ++i) {
        if (i > 0) out += ", ";
        out += operands[i];
    }
    out += ']';
    return out;
}

}  // namespace kov
