#pragma once

#include "python/py_ref.hpp"

#include <optional>
#include <span>
#include <string>

#include "engine/search/config.hpp"

namespace kov::python {

// One setting of Searcher. The constructor's argument parsing, its text signature and docstring,
// the read-only properties, repr and the pickle state are all built from the table of these, so an
// option is added in one place (and in the stubs, which stubtest compares with the signature).
struct SearcherOption {
    const char* name;
    bool keyword_only;
    const char* default_text;  // the default as Python source, as the text signature shows it
    const char* doc;           // one line: the option's docstring in the class and its property
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
