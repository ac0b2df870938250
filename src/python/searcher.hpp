#pragma once

#include "python/py_ref.hpp"

namespace kov::python {

// The Searcher class, readied on first use; borrowed, null with an error set on failure.
[[nodiscard]] PyTypeObject* searcher_type();

}  // namespace kov::python
