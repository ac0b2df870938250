#pragma once

#include "python/py_ref.hpp"

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/constants/precision.hpp"
#include "engine/search/config.hpp"
#include "engine/search/result.hpp"
#include "python/conversion.hpp"

namespace kov::python {

// What a caller asks of constant recognition.
struct ConstantRequest {
    double value = 0.0;
    bool integers = false;      // seed the whole numbers 2 to 9 as extra constants
    std::optional<int> digits;  // significant digits the value is known to; none: all of them
    std::uint64_t count = 0;    // candidates wanted; 0: one answer
};

// Binds (value, *, integers=False, digits=None) and, when `with_count`, count=10, then checks them.
// Empty optional with a Python error set.
[[nodiscard]] std::optional<ConstantRequest> parse_constant_request(PyObject* args,
                                                                    PyObject* kwargs,
                                                                    const char* format,
                                                                    bool with_count);

// The search that answers a request under a Searcher's settings.
struct ConstantSearch {
    Matrix rows;
    Vector targets;
    SearchConfig config;
    Precision precision;
};

[[nodiscard]] ConstantSearch plan_constant_search(const SearchConfig& settings,
                                                  const ConstantRequest& request);

// The most accurate answer, or every ranked candidate as a list, each marked with whether it is
// within the value's precision. New reference, or null with an error set.
[[nodiscard]] PyObject* wrap_constant_answer(std::vector<SearchResult>&& results,
                                             const ConstantSearch& plan);
[[nodiscard]] PyObject* wrap_constant_candidates(std::vector<SearchResult>&& results,
                                                 const ConstantSearch& plan);

}  // namespace kov::python
