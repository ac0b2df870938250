#pragma once

#include "python/py_ref.hpp"

#include <optional>

#include "engine/search/result.hpp"

namespace kov::python {

// The SearchResult class, readied on first use; borrowed, null with an error set on failure.
[[nodiscard]] PyTypeObject* search_result_type();

// Moves one record of a search into a new SearchResult object. New reference, or null with an
// error set.
// `within_precision` is what constant recognition found out about the formula (none for other
// searches).
[[nodiscard]] PyObject* wrap_result(SearchResult&& record,
                                    std::optional<bool> within_precision = std::nullopt);

}  // namespace kov::python
