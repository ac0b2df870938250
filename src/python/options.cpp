// The settings of Searcher, described once: name, docstring line, range, check and how each is read
// back; the defaults are SearchConfig's. Everything else about an option (parsing, signature,
// properties, repr, pickle state, the table Python reads) is derived from the table at the end of
// the unnamed namespace.

#include "python/options.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/members.hpp"

namespace kov::python {
namespace {

// ---- Checks and conversions, one pair per option ----------------------------------------------

struct StrategyName {
    Strategy strategy;
    const char* name;
};
constexpr std::array strategy_names{StrategyName{Strategy::classic, "classic"},
                                    StrategyName{Strategy::thorough, "thorough"}};

constexpr std::array<const char*, strategy_names.size()> strategy_words = [] {
    std::array<const char*, strategy_names.size()> words{};
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = strategy_names[i].name;
    return words;
}();

const char* name_of(Strategy strategy) {
    for (const StrategyName& entry : strategy_names) {
        if (entry.strategy == strategy) return entry.name;
    }
    return "classic";  // unreachable: every strategy has a name
}

PyObject* load_size(std::uint64_t value) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
}

// None, or what `to_real` converts; nothing when a Python error is set.
std::optional<std::optional<double>> to_optional_real(PyObject* value, const char* name) {
    if (value == Py_None) return std::optional<double>{};
    const std::optional<double> real = to_real(value, name);
    if (!real) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be a real number or None, not %.200s", name,
                         Py_TYPE(value)->tp_name);
        }
        return std::nullopt;
    }
    return std::optional<double>{*real};
}

PyObject* load_optional_real(const std::optional<double>& value) {
    if (!value) Py_RETURN_NONE;
    return PyFloat_FromDouble(*value);
}

bool store_max_complexity(PyObject* value, SearchConfig& config) {
    const std::optional<std::uint64_t> size = to_size(value, "max_complexity");
    if (size) config.max_complexity = *size;
    return size.has_value();
}

PyObject* load_max_complexity(const SearchConfig& config) {
    return load_size(config.max_complexity);
}

// No range check: a negative penalty is stored as given.
bool store_complexity_penalty(PyObject* value, SearchConfig& config) {
    const std::optional<double> penalty = to_real(value, "complexity_penalty");
    if (penalty) config.complexity_penalty = *penalty;
    return penalty.has_value();
}

PyObject* load_complexity_penalty(const SearchConfig& config) {
    return PyFloat_FromDouble(config.complexity_penalty);
}

bool store_beam_width(PyObject* value, SearchConfig& config) {
    const std::optional<std::uint64_t> size = to_size(value, "beam_width");
    if (size) config.beam_width = *size;
    return size.has_value();
}

PyObject* load_beam_width(const SearchConfig& config) {
    return load_size(config.beam_width);
}

bool store_strategy(PyObject* value, SearchConfig& config) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "strategy must be a str, not %.200s",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    for (const StrategyName& entry : strategy_names) {
        if (PyUnicode_CompareWithASCIIString(value, entry.name) == 0) {
            config.strategy = entry.strategy;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "strategy must be 'classic' or 'thorough', not %R", value);
    return false;
}

PyObject* load_strategy(const SearchConfig& config) {
    return PyUnicode_FromString(name_of(config.strategy));
}

bool store_time_limit(PyObject* value, SearchConfig& config) {
    const std::optional<std::optional<double>> seconds = to_optional_real(value, "time_limit");
    if (!seconds) return false;
    if (*seconds && !(std::isfinite(**seconds) && **seconds > 0.0)) {
        PyErr_Format(PyExc_ValueError,
                     "time_limit must be a positive finite number of seconds or None, not %R",
                     value);
        return false;
    }
    config.time_limit = *seconds;
    return true;
}

PyObject* load_time_limit(const SearchConfig& config) {
    return load_optional_real(config.time_limit);
}

// Only True and False: an int or a string here is far more likely a misplaced argument.
bool store_verbose(PyObject* value, SearchConfig& config) {
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "verbose must be a bool, not %.200s",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    config.verbose = value == Py_True;
    return true;
}

PyObject* load_verbose(const SearchConfig& config) {
    return PyBool_FromLong(config.verbose ? 1 : 0);
}

bool store_noise(PyObject* value, SearchConfig& config) {
    const std::optional<std::optional<double>> sigma = to_optional_real(value, "noise");
    if (!sigma) return false;
    if (*sigma && !(std::isfinite(**sigma) && **sigma >= 0.0)) {
        PyErr_Format(PyExc_ValueError, "noise must be a non-negative finite number or None, not %R",
                     value);
        return false;
    }
    config.noise = *sigma;
    return true;
}

PyObject* load_noise(const SearchConfig& config) {
    return load_optional_real(config.noise);
}

// ---- The table ---------------------------------------------------------------------------------

// Sizes start at 1 and the penalty is finite for the other surfaces (see OptionRange).
constexpr OptionRange positive_size{.kind = OptionKind::integer, .minimum = 1.0};
constexpr OptionRange finite_real{.kind = OptionKind::real, .finite = true};

constexpr std::array options{
    SearcherOption{"max_complexity", false,
                   "largest formula size in tokens; the search builds one level per size.",
                   positive_size, store_max_complexity, load_max_complexity},
    SearcherOption{"complexity_penalty", false,
                   "weight of size against error when a level is ranked for the beam.", finite_real,
                   store_complexity_penalty, load_complexity_penalty},
    SearcherOption{"beam_width", false, "formulas of each level kept to build larger ones.",
                   positive_size, store_beam_width, load_beam_width},
    SearcherOption{"strategy", true,
                   "'classic', the breadth-first search as written, or 'thorough', which keeps "
                   "building blocks and fits constants by least squares.",
                   OptionRange{.kind = OptionKind::text, .choices = strategy_words}, store_strategy,
                   load_strategy},
    SearcherOption{"time_limit", true,
                   "seconds after which the search returns the best formulas found so far; None "
                   "for no limit.",
                   OptionRange{.kind = OptionKind::real,
                               .minimum = 0.0,
                               .minimum_included = false,
                               .finite = true,
                               .none_allowed = true},
                   store_time_limit, load_time_limit},
    SearcherOption{"verbose", true,
                   "print one progress line per level to sys.stdout; False prints nothing.",
                   OptionRange{.kind = OptionKind::boolean}, store_verbose, load_verbose},
    SearcherOption{
        "noise", true,
        "standard deviation of the targets' noise, used by the thorough strategy; None "
        "to estimate it from the data.",
        OptionRange{.kind = OptionKind::real, .minimum = 0.0, .finite = true, .none_allowed = true},
        store_noise, load_noise},
};

constexpr std::size_t positional_count() {
    std::size_t count = 0;
    while (count < options.size() && !options[count].keyword_only) ++count;
    return count;
}

// The repr of the option's value in `config`; empty with a Python error set.
std::optional<std::string> shown_value(const SearcherOption& option, const SearchConfig& config) {
    PyRef value = PyRef::steal(option.load(config));
    if (!value) return std::nullopt;
    PyRef shown = PyRef::steal(PyObject_Repr(value.get()));
    if (!shown) return std::nullopt;
    const char* text = PyUnicode_AsUTF8(shown.get());
    if (text == nullptr) return std::nullopt;
    return std::string(text);
}

// Empty with a Python error set.
std::optional<std::string> build_doc() {
    const SearchConfig defaults;
    std::string signature;
    bool keyword_only = false;
    for (const SearcherOption& option : options) {
        if (!signature.empty()) signature += ", ";
        if (option.keyword_only && !keyword_only) {
            signature += "*, ";
            keyword_only = true;
        }
        const std::optional<std::string> shown = shown_value(option, defaults);
        if (!shown) return std::nullopt;
        signature += std::string(option.name) + "=" + *shown;
    }
    std::string doc = "Searcher(" + signature +
                      ")\n--\n\nThe core KOV-SR search engine exposed to Python.\n\nSettings:";
    for (const SearcherOption& option : options) {
        doc += std::string("\n  ") + option.name + ": " + option.doc;
    }
    return doc;
}

const char* kind_name(OptionKind kind) {
    switch (kind) {
        case OptionKind::integer:
            return "int";
        case OptionKind::real:
            return "float";
        case OptionKind::boolean:
            return "bool";
        case OptionKind::text:
            return "str";
    }
    return "str";  // unreachable: every kind is named above
}

// The lower bound as the option's own kind of number; None when there is none.
PyObject* minimum_object(const OptionRange& range) {
    if (!range.minimum) Py_RETURN_NONE;
    if (range.kind == OptionKind::integer) return PyLong_FromDouble(*range.minimum);
    return PyFloat_FromDouble(*range.minimum);
}

PyObject* option_row(const SearcherOption& option, const SearchConfig& defaults) {
    const OptionRange& range = option.range;
    PyRef choices = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(range.choices.size())));
    if (!choices) return nullptr;
    for (std::size_t i = 0; i < range.choices.size(); ++i) {
        PyObject* word = PyUnicode_FromString(range.choices[i]);
        if (word == nullptr) return nullptr;
        PyTuple_SET_ITEM(choices.get(), static_cast<Py_ssize_t>(i), word);
    }
    PyRef fallback = PyRef::steal(option.load(defaults));
    PyRef minimum = PyRef::steal(minimum_object(range));
    if (!fallback || !minimum) return nullptr;
    return Py_BuildValue(
        "(sONssONNNO)", option.name, fallback.get(), PyBool_FromLong(option.keyword_only ? 1 : 0),
        option.doc, kind_name(range.kind), minimum.get(),
        PyBool_FromLong(range.minimum_included ? 1 : 0), PyBool_FromLong(range.finite ? 1 : 0),
        PyBool_FromLong(range.none_allowed ? 1 : 0), choices.get());
}

// The index of the option called `name`, or options.size().
std::size_t option_index(std::string_view name) {
    std::size_t index = 0;
    while (index < options.size() && name != options[index].name) ++index;
    return index;
}

}  // namespace

std::span<const SearcherOption> searcher_options() noexcept {
    return options;
}

const char* searcher_doc() {
    static std::optional<std::string> doc;
    if (!doc) doc = build_doc();
    return doc ? doc->c_str() : nullptr;
}

bool add_searcher_option_table(PyObject* module) {
    const SearchConfig defaults;
    PyRef table = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(options.size())));
    if (!table) return false;
    for (std::size_t i = 0; i < options.size(); ++i) {
        PyObject* row = option_row(options[i], defaults);
        if (row == nullptr) return false;
        PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), row);
    }
    // Private, outside __all__.
    return PyModule_AddObjectRef(module, "_searcher_options", table.get()) == 0;
}

std::optional<SearchConfig> parse_searcher_arguments(PyObject* args, PyObject* kwargs) {
    // Owned: converting one value may run Python code (__index__, __float__).
    std::array<PyRef, options.size()> given;
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(positional) > positional_count()) {
        PyErr_Format(PyExc_TypeError,
                     "Searcher() takes at most %zu positional arguments (%zd given)",
                     positional_count(), positional);
        return std::nullopt;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        given[static_cast<std::size_t>(i)] = PyRef::borrow(PyTuple_GET_ITEM(args, i));
    }
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return std::nullopt;
            }
            const char* name = PyUnicode_AsUTF8(key);
            if (name == nullptr) return std::nullopt;
            const std::size_t index = option_index(name);
            if (index == options.size()) {
                PyErr_Format(PyExc_TypeError, "Searcher() got an unexpected keyword argument '%U'",
                             key);
                return std::nullopt;
            }
            if (given[index]) {
                PyErr_Format(PyExc_TypeError,
                             "argument for Searcher() given by name ('%s') and position (%zu)",
                             name, index + 1);
                return std::nullopt;
            }
            given[index] = PyRef::borrow(value);
        }
    }
    // Converted in parameter order; the first failure is raised.
    SearchConfig config;
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (given[i] && !options[i].store(given[i].get(), config)) return std::nullopt;
    }
    return config;
}

PyObject* searcher_settings(const SearchConfig& config) {
    PyRef settings = PyRef::steal(PyDict_New());
    if (!settings) return nullptr;
    for (const SearcherOption& option : options) {
        PyRef value = PyRef::steal(option.load(config));
        if (!value || PyDict_SetItemString(settings.get(), option.name, value.get()) < 0) {
            return nullptr;
        }
    }
    return settings.release();
}

std::optional<SearchConfig> config_from_settings(PyObject* settings) {
    if (!PyDict_Check(settings)) {
        PyErr_Format(PyExc_TypeError,
                     "invalid pickled state: the settings must be a dict, not %.200s",
                     Py_TYPE(settings)->tp_name);
        return std::nullopt;
    }
    // Names first, so that a state from a newer version is refused before any value is converted.
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(settings, &position, &key, &value)) {
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (name == nullptr && PyErr_Occurred()) return std::nullopt;
        if (name == nullptr || option_index(name) == options.size()) {
            PyErr_Format(PyExc_ValueError, "invalid pickled state: unknown setting %R", key);
            return std::nullopt;
        }
    }
    SearchConfig config;
    for (const SearcherOption& option : options) {
        PyRef stored = PyRef::borrow(PyDict_GetItemString(settings, option.name));
        if (!stored || option.store(stored.get(), config)) continue;
        // A size out of range is damaged data like any other, not an arithmetic error.
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "invalid pickled state: %s out of range", option.name);
        }
        return std::nullopt;
    }
    return config;
}

PyObject* searcher_repr(const SearchConfig& config) {
    std::string text = "Searcher(";
    for (std::size_t i = 0; i < options.size(); ++i) {
        const std::optional<std::string> shown = shown_value(options[i], config);
        if (!shown) return nullptr;
        if (i != 0) text += ", ";
        text += std::string(options[i].name) + "=" + *shown;
    }
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace kov::python
