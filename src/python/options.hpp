#pragma once

#include "python/py_ref.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "engine/search/config.hpp"

namespace kov::python {

// The values of an option that the surfaces built on Searcher accept (the estimator's parameter
// checks, the command line's flags): the kind of value and its range. Searcher's own `store` also
// takes sizes of 0 and a non-finite penalty, as it always has; the ranges leave those out as of no
// use to a search.
enum class OptionKind : std::uint8_t { integer, real, boolean, text };

struct OptionRange {
    OptionKind kind;
    std::optional<double> minimum = std::nullopt;
    bool minimum_included = true;
    bool finite = false;                        // reals: NaN and the infinities are refused
    bool none_allowed = false;                  // None stands for "not set"
    std::span<const char* const> choices = {};  // text: the words accepted
};

// One setting of Searcher. The constructor's argument parsing, its text signature and docstring,
// the read-only properties, repr, the pickle state and `_core._searcher_options` (from which the
// estimator, the command line and the distributed searcher take theirs) are all built from the
// table of these, so an option is added in one place (and in the stubs, which stubtest compares
// with the signature). Defaults are SearchConfig's own, read back through `load`.
struct SearcherOption {
    const char* name;
    bool keyword_only;
    const char* doc;  // one line: the option's docstring in the class and its property
    OptionRange range;
    // Checks a Python value and stores it in `config`. False with an error that names the option:
    // TypeError for a wrong type, ValueError for a value outside its range (OverflowError, from the
    // integer conversion, for a negative or too large size).
    bool (*store)(PyObject* value, SearchConfig& config);
    // The stored setting as a new Python object that `store` accepts back; null with an error set.
    PyObject* (*load)(const SearchConfig& config);
};

// The options in the constructor's order: positional-or-keyword ones first, then keyword-only.
[[nodiscard]] std::span<const SearcherOption> searcher_options() noexcept;

// The class docstring: name and text signature, "--", then the summary and one line per option.
// Null with a Python error set (the defaults are shown by their repr).
[[nodiscard]] const char* searcher_doc();

// The configuration of Searcher(*args, **kwargs). Bad calls get the interpreter's usual TypeError;
// bad values the option's error. Empty with a Python error set.
[[nodiscard]] std::optional<SearchConfig> parse_searcher_arguments(PyObject* args,
                                                                   PyObject* kwargs);

// {name: value} of every option, each value as the constructor accepts it. New reference.
[[nodiscard]] PyObject* searcher_settings(const SearchConfig& config);

// The configuration kept as {name: value} in a pickle; missing options take their defaults, so a
// state written before an option existed still loads. Errors read "invalid pickled state: ...".
[[nodiscard]] std::optional<SearchConfig> config_from_settings(PyObject* settings);

// "Searcher(max_complexity=10, ..., noise=None)": every option with the repr of its value.
[[nodiscard]] PyObject* searcher_repr(const SearchConfig& config);

}  // namespace kov::python
