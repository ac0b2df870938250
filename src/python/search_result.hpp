#pragma once

#include "python/py_ref.hpp"

#include "engine/result.hpp"

namespace kov::python {

// The SearchResult class, readied on first use; borrowed, null with an error set on failure.
[[nodiscard]] PyTypeObject* search_result_type();

// Moves one record of a search into a new SearchResult object. New reference, or null with an
// error set.
[[nodiscard]] PyObject* wrap_result(SearchResult&& record);

}  // namespace kov::python
