#pragma once

#include "python/py_ref.hpp"

#include <optional>

#include "engine/search/config.hpp"
#include "engine/search/result.hpp"

namespace kov::python {

// Both classes report the module "builtins" (their type names carry no dot), so pickle cannot find
// them by name. Their __reduce__ names a private reconstructor of kov_sr._core instead, which
// pickle does find, and hands it everything needed to rebuild an equal object.

// (kov_sr._core._rebuild_result, (state,)): the state holds every token exactly, the composed
// formula text, the complexity, var_count, the error, the description length and, for a constant's
// answer, whether it is within the value's precision. With `with_version` (what pickle and copy
// get, through __reduce_ex__) the arguments are (state, version): the package's version, so that
// an older one loading the pickle can say that it is older. New reference, or null with an error.
[[nodiscard]] PyObject* reduce_result(const SearchResult& record,
                                      std::optional<bool> within_precision, bool with_version);

// (kov_sr._core._rebuild_searcher, (2, {option name: value})). The reconstructor also accepts the
// state of earlier versions, (max_complexity, complexity_penalty, beam_width).
[[nodiscard]] PyObject* reduce_searcher(const SearchConfig& config);

// Adds the two reconstructors to the module, outside __all__. False with a Python error set.
[[nodiscard]] bool add_reconstructors(PyObject* module);

}  // namespace kov::python
