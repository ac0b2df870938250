#pragma once

#include <string>

#include "engine/search/result.hpp"

namespace kov::python {

enum class Rendering {
    Formula,  // the composition format: Name(a), Name(a, b), constants by name, v_{i}
    Latex,
    Python,
};

// Walks the postfix tokens with a stack of texts, one text per token. Fitted numbers (Real tokens)
// are written as Python's float repr in the formula and with four decimals in LaTeX and Python.
// An empty token list gives the empty text.
[[nodiscard]] std::string render(const SearchResult& result, Rendering rendering);

// The text that `formula` and `repr` show. Fitting replaces constants by numbers but leaves the
// composed text naming the constants; showing that text would claim Times(Pi, E) for what computes
// 3.1623 * 3.1211. Fitted results therefore show their numbers; unfitted ones keep the text as
// composed, byte for byte.
[[nodiscard]] std::string display_formula(const SearchResult& result);

}  // namespace kov::python
