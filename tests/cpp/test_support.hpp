#pragma once

// Shared fixtures of the core's tests.

#include <limits>

#include "ops/registry.hpp"

namespace kov::test {

inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();
inline constexpr double inf = std::numeric_limits<double>::infinity();

// One built-in registry for the whole test binary: it is immutable once built.
inline const OperatorRegistry& builtins() {
    static const OperatorRegistry registry = OperatorRegistry::with_builtins();
    return registry;
}

}  // namespace kov::test
