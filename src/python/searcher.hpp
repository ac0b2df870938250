#pragma once

#include "python/py_ref.hpp"

#include "engine/search/config.hpp"

namespace kov::python {

// The Searcher class, readied on first use; borrowed, null with an error set on failure.
[[nodiscard]] PyTypeObject* searcher_type();

// A new Searcher holding `config`, already checked; null with an error set.
[[nodiscard]] PyObject* new_searcher(const SearchConfig& config);

// The settings of a Searcher, or null with a TypeError set when `object` is not one.
[[nodiscard]] const SearchConfig* searcher_config(PyObject* object);

}  // namespace kov::python
