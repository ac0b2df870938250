#pragma once

#include <cstddef>

namespace kov {

// Registry ids of the built-in operators as `OperatorRegistry::with_builtins` assigns them. They
// are stored in expressions and must not change between building and rendering.
namespace builtin_id {
inline constexpr std::size_t zero = 0;
inline constexpr std::size_t one = 1;
inline constexpr std::size_t imaginary_unit = 2;
inline constexpr std::size_t pi = 3;
inline constexpr std::size_t e = 4;
inline constexpr std::size_t kov = 5;
inline constexpr std::size_t neg = 6;
inline constexpr std::size_t inv = 7;
inline constexpr std::size_t plus = 8;
inline constexpr std::size_t times = 9;
inline constexpr std::size_t subtract = 10;
inline constexpr std::size_t divide = 11;
inline constexpr std::size_t exp = 12;
inline constexpr std::size_t log = 13;
inline constexpr std::size_t sqrt = 14;
inline constexpr std::size_t sin = 15;
inline constexpr std::size_t cos = 16;
inline constexpr std::size_t tan = 17;
inline constexpr std::size_t arcsin = 18;
inline constexpr std::size_t arccos = 19;
inline constexpr std::size_t arctan = 20;
inline constexpr std::size_t count = 21;
}  // namespace builtin_id

}  // namespace kov
