// Pickling and copying of SearchResult and Searcher through private reconstructors of the module.
// A pickle is data from outside: the reconstructors check every field before anything is built, so
// a damaged or hand-made state gets a TypeError or ValueError, never a result that could read past
// its registry or its value stack.

#include "python/pickling.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ops/builtin_ids.hpp"
#include "python/errors.hpp"
#include "python/options.hpp"
#include "python/search_result.hpp"
#include "python/searcher.hpp"
#include "python/version.hpp"

namespace kov::python {
namespace {

// Written first in every state. A later layout gets a new number, so that an old build refuses a
// newer pickle clearly instead of misreading it.
constexpr unsigned long long first_layout = 1;
constexpr Py_ssize_t first_state_size = 6;  // layout, tokens, formula, complexity, var_count, error
// Layout 2 appends the description length and, for a constant's answer, whether it is within the
// value's precision (True or False; None for other results). Layout 1 still loads, with an unknown
// description length and no precision flag.
// Layout 3 appends the units the search was given: None, or (units of the inputs as a tuple of
// texts, unit of the target, note on their use). Layouts 1 and 2 load without units.
constexpr unsigned long long second_layout = 2;
constexpr Py_ssize_t second_state_size = 8;
constexpr unsigned long long state_layout = 3;
constexpr Py_ssize_t state_size = 9;
// A Searcher's state: (layout, {option name: value}). Options missing from the settings take their
// defaults, so adding an option keeps this layout.
constexpr unsigned long long searcher_layout = 2;
constexpr Py_ssize_t token_size = 6;  // kind, arity, index, id, value.re, value.im

// The reconstructors as the module holds them, for __reduce__ to name. Kept for the life of the
// process, like the type objects: the module serves one interpreter per process.
PyObject* rebuild_result_function = nullptr;
PyObject* rebuild_searcher_function = nullptr;

// Every search builds its registry with with_builtins, whose ids are fixed, so one registry serves
// all rebuilt results. Each result holds its own share: the order of teardown at exit is harmless.
std::shared_ptr<const OperatorRegistry> builtin_registry() {
    static const std::shared_ptr<const OperatorRegistry> registry =
        std::make_shared<const OperatorRegistry>(OperatorRegistry::with_builtins());
    return registry;
}

// ---- Writing -----------------------------------------------------------------------------------

PyObject* token_state(const Token& token) {
    return Py_BuildValue("(iIIKdd)", static_cast<int>(token.kind),
                         static_cast<unsigned>(token.arity), static_cast<unsigned>(token.index),
                         static_cast<unsigned long long>(token.id), token.value.re, token.value.im);
}

PyObject* result_state(const SearchResult& record, std::optional<bool> within_precision) {
    const Expression& expression = record.expression;
    PyRef tokens = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(expression.tokens.size())));
    if (!tokens) return nullptr;
    for (std::size_t i = 0; i < expression.tokens.size(); ++i) {
        PyObject* token = token_state(expression.tokens[i]);
        if (token == nullptr) return nullptr;
        PyTuple_SET_ITEM(tokens.get(), static_cast<Py_ssize_t>(i), token);
    }
    PyRef formula = PyRef::steal(PyUnicode_FromStringAndSize(
        expression.formula.data(), static_cast<Py_ssize_t>(expression.formula.size())));
    if (!formula) return nullptr;
    PyObject* flag = !within_precision ? Py_None : *within_precision ? Py_True : Py_False;
    PyRef units = PyRef::borrow(Py_None);
    if (record.units) {
        PyRef inputs =
            PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(record.units->inputs.size())));
        if (!inputs) return nullptr;
        for (std::size_t i = 0; i < record.units->inputs.size(); ++i) {
            const std::string& text = record.units->inputs[i];
            PyObject* item =
                PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
            if (item == nullptr) return nullptr;
            PyTuple_SET_ITEM(inputs.get(), static_cast<Py_ssize_t>(i), item);
        }
        units = PyRef::steal(Py_BuildValue("(Os#s#)", inputs.get(), record.units->target.data(),
                                           static_cast<Py_ssize_t>(record.units->target.size()),
                                           record.units->note.data(),
                                           static_cast<Py_ssize_t>(record.units->note.size())));
        if (!units) return nullptr;
    }
    return Py_BuildValue("(KOOKIddOO)", state_layout, tokens.get(), formula.get(),
                         static_cast<unsigned long long>(expression.complexity),
                         static_cast<unsigned>(expression.var_count), record.error,
                         record.description_length, flag, units.get());
}

// ---- Reading -----------------------------------------------------------------------------------

void state_type_error(const std::string& field, const char* expected, PyObject* object) {
    PyErr_Format(PyExc_TypeError, "invalid pickled state: %s must be %s, not %.200s", field.c_str(),
                 expected, Py_TYPE(object)->tp_name);
}

void state_value_error(const std::string& problem) {
    raise(PyExc_ValueError, "invalid pickled state: " + problem);
}

// A tuple of `size` items (any size when negative).
bool read_tuple(PyObject* object, Py_ssize_t size, const std::string& field) {
    if (!PyTuple_Check(object)) {
        state_type_error(field, "a tuple", object);
        return false;
    }
    if (size >= 0 && PyTuple_GET_SIZE(object) != size) {
        state_value_error(field + " must have " + std::to_string(size) + " items");
        return false;
    }
    return true;
}

// An int in [0, limit]. Values beyond the unsigned 64-bit range are out of range like any other.
std::optional<std::uint64_t> read_integer(PyObject* object, std::uint64_t limit,
                                          const std::string& field) {
    if (!PyLong_Check(object)) {
        state_type_error(field, "an int", object);
        return std::nullopt;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(object);
    bool in_range = true;
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
        PyErr_Clear();  // negative or too large: reported as out of range below
        in_range = false;
    }
    if (!in_range || value > limit) {
        state_value_error(field + " out of range (at most " + std::to_string(limit) + ")");
        return std::nullopt;
    }
    return value;
}

std::optional<double> read_double(PyObject* object, const std::string& field) {
    if (!PyFloat_Check(object)) {
        state_type_error(field, "a float", object);
        return std::nullopt;
    }
    return PyFloat_AS_DOUBLE(object);
}

std::optional<Token> read_token(PyObject* object, std::size_t position) {
    const std::string field = "token " + std::to_string(position);
    if (!read_tuple(object, token_size, field)) return std::nullopt;
    const auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(object, i); };
    const std::optional<std::uint64_t> kind =
        read_integer(item(0), static_cast<std::uint64_t>(TokenKind::Integer), field + " kind");
    if (!kind) return std::nullopt;
    const std::optional<std::uint64_t> arity = read_integer(item(1), 255, field + " arity");
    if (!arity) return std::nullopt;
    const std::optional<std::uint64_t> index = read_integer(item(2), 255, field + " index");
    if (!index) return std::nullopt;
    const std::optional<std::uint64_t> id =
        read_integer(item(3), builtin_id::count - 1, field + " id");
    if (!id) return std::nullopt;
    const std::optional<double> re = read_double(item(4), field + " real part");
    if (!re) return std::nullopt;
    const std::optional<double> im = read_double(item(5), field + " imaginary part");
    if (!im) return std::nullopt;
    return Token{static_cast<TokenKind>(*kind), static_cast<std::uint8_t>(*arity),
                 static_cast<std::uint8_t>(*index), static_cast<std::size_t>(*id),
                 Complex{*re, *im}};
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// An integer token is shown as its value's digits: the value must be a whole number a seed can
// hold, with a zero imaginary part, or its text would not say what it computes.
bool holds_an_integer(const Token& token) {
    const double re = token.value.re;
    const bool whole = re >= -2147483648.0 && re <= 2147483647.0 && std::trunc(re) == re;
    // -0.0 would be shown as "0" but is another double.
    return whole && !(re == 0.0 && std::signbit(re)) && same_bits(token.value.im, 0.0);
}

bool holds_the_constants_value(const Token& token, const OperatorRegistry& registry) {
    const std::optional<Complex> value = registry.op(token.id).eval({});
    return value && same_bits(value->re, token.value.re) && same_bits(value->im, token.value.im);
}

// What is wrong with the token sequence as a formula over `registry`, or nothing. Simulates the
// value stack so that evaluation and rendering always find their operands and end with one value.
std::optional<std::string> sequence_problem(const std::vector<Token>& tokens,
                                            const OperatorRegistry& registry) {
    if (tokens.empty()) return "a formula has at least one token";
    std::size_t depth = 0;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& token = tokens[i];
        const std::string where = "token " + std::to_string(i) + ": ";
        const std::uint8_t takes = registry.meta(token.id).arity;
        switch (token.kind) {
            case TokenKind::Const:
                if (takes != 0 || token.arity != 0) {
                    return where + "operator " + std::to_string(token.id) + " is not a constant";
                }
                // A constant's value is evaluated from its token, its text from its operator:
                // the two must agree, or the result would compute something its text does not say.
                if (!holds_the_constants_value(token, registry)) {
                    return where + "the value is not that of operator " + std::to_string(token.id);
                }
                ++depth;
                break;
            case TokenKind::Integer:
                if (token.arity != 0 || !holds_an_integer(token)) {
                    return where + "an integer token must hold a whole number";
                }
                ++depth;
                break;
            case TokenKind::Real:
            case TokenKind::Var:
            case TokenKind::Param:
                ++depth;
                break;
            case TokenKind::Op:
                if (takes == 0 || token.arity != takes) {
                    return where + "operator " + std::to_string(token.id) + " takes " +
                           std::to_string(takes) + " operands, not " + std::to_string(token.arity);
                }
                if (depth < takes) return where + "too few operands";
                depth -= takes - 1;
                break;
        }
    }
    if (depth != 1) return "the tokens leave " + std::to_string(depth) + " values, not one";
    return std::nullopt;
}

// Highest variable index plus one, wrapping to 0 for index 255, as composition computes it.
std::uint8_t variables_used(const std::vector<Token>& tokens) {
    std::uint8_t count = 0;
    for (const Token& token : tokens) {
        if (token.kind != TokenKind::Var) continue;
        const auto leaf_count = static_cast<std::uint8_t>(token.index + 1);
        if (leaf_count > count) count = leaf_count;
    }
    return count;
}

std::optional<std::vector<Token>> read_tokens(PyObject* tokens) {
    if (!read_tuple(tokens, -1, "tokens")) return std::nullopt;
    const auto token_count = static_cast<std::size_t>(PyTuple_GET_SIZE(tokens));
    std::vector<Token> read;
    read.reserve(token_count);
    for (std::size_t i = 0; i < token_count; ++i) {
        std::optional<Token> token =
            read_token(PyTuple_GET_ITEM(tokens, static_cast<Py_ssize_t>(i)), i);
        if (!token) return std::nullopt;
        read.push_back(*token);
    }
    return read;
}

std::optional<std::string> read_text(PyObject* object, const std::string& field) {
    if (!PyUnicode_Check(object)) {
        state_type_error(field, "a str", object);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) return std::nullopt;
        PyErr_Clear();  // a lone surrogate, which no formula holds
        state_value_error(field + " is not valid text");
        return std::nullopt;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

// (units of the inputs, unit of the target, note), all texts.
std::shared_ptr<const SearchUnits> read_units(PyObject* state) {
    if (!read_tuple(state, 3, "units")) return nullptr;
    PyObject* inputs = PyTuple_GET_ITEM(state, 0);
    if (!read_tuple(inputs, -1, "the units of the inputs")) return nullptr;
    auto units = std::make_shared<SearchUnits>();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(inputs); ++i) {
        std::optional<std::string> text = read_text(PyTuple_GET_ITEM(inputs, i), "an input unit");
        if (!text) return nullptr;
        units->inputs.push_back(std::move(*text));
    }
    std::optional<std::string> target = read_text(PyTuple_GET_ITEM(state, 1), "the target unit");
    if (!target) return nullptr;
    std::optional<std::string> note = read_text(PyTuple_GET_ITEM(state, 2), "the units note");
    if (!note) return nullptr;
    units->target = std::move(*target);
    units->note = std::move(*note);
    return units;
}

struct ReadResult {
    SearchResult record;
    std::optional<bool> within_precision;
};

std::optional<ReadResult> read_result(PyObject* state) {
    if (!read_tuple(state, -1, "the state")) return std::nullopt;
    const auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
    if (PyTuple_GET_SIZE(state) == 0) {
        state_value_error("the state must begin with its layout");
        return std::nullopt;
    }
    const std::optional<std::uint64_t> layout = read_integer(item(0), UINT64_MAX, "layout");
    if (!layout) return std::nullopt;
    if (*layout != first_layout && *layout != second_layout && *layout != state_layout) {
        state_value_error("unknown layout " + std::to_string(*layout));
        return std::nullopt;
    }
    const Py_ssize_t size = *layout == first_layout    ? first_state_size
                            : *layout == second_layout ? second_state_size
                                                       : state_size;
    if (!read_tuple(state, size, "the state")) return std::nullopt;
    std::optional<bool> within_precision;
    double description_length = std::numeric_limits<double>::quiet_NaN();
    std::shared_ptr<const SearchUnits> units;
    if (*layout == state_layout && PyTuple_GET_ITEM(state, 8) != Py_None) {
        units = read_units(PyTuple_GET_ITEM(state, 8));
        if (!units) return std::nullopt;
    }
    if (*layout != first_layout) {
        const std::optional<double> length = read_double(item(6), "description_length");
        if (!length) return std::nullopt;
        description_length = *length;
        PyObject* flag = item(7);
        if (flag != Py_None && !PyBool_Check(flag)) {
            state_type_error("within_precision", "a bool or None", flag);
            return std::nullopt;
        }
        if (flag != Py_None) within_precision = flag == Py_True;
    }

    SearchResult record;
    Expression& expression = record.expression;
    std::optional<std::vector<Token>> tokens = read_tokens(item(1));
    if (!tokens) return std::nullopt;
    expression.tokens = std::move(*tokens);
    const std::size_t token_count = expression.tokens.size();

    std::optional<std::string> formula = read_text(item(2), "formula");
    if (!formula) return std::nullopt;
    expression.formula = std::move(*formula);

    const std::optional<std::uint64_t> complexity = read_integer(item(3), UINT64_MAX, "complexity");
    if (!complexity) return std::nullopt;
    if (*complexity != token_count) {
        state_value_error("complexity " + std::to_string(*complexity) + " but " +
                          std::to_string(token_count) + " tokens");
        return std::nullopt;
    }
    expression.complexity = token_count;

    const std::optional<std::uint64_t> var_count = read_integer(item(4), 255, "var_count");
    if (!var_count) return std::nullopt;
    expression.var_count = static_cast<std::uint8_t>(*var_count);

    const std::optional<double> error = read_double(item(5), "error");
    if (!error) return std::nullopt;
    record.error = *error;
    record.description_length = description_length;
    record.units = std::move(units);

    record.registry = builtin_registry();
    if (const std::optional<std::string> problem =
            sequence_problem(expression.tokens, *record.registry)) {
        state_value_error(*problem);
        return std::nullopt;
    }
    if (expression.var_count != variables_used(expression.tokens)) {
        state_value_error("var_count " + std::to_string(*var_count) +
                          " does not match the variables of the tokens");
        return std::nullopt;
    }
    return ReadResult{std::move(record), within_precision};
}

// ---- The reconstructors ------------------------------------------------------------------------

// (state) from pickles written before results recorded their version, (state, version) since.
PyObject* rebuild_result(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* state = nullptr;
        PyObject* version = nullptr;
        if (!PyArg_ParseTuple(args, "O|O:_rebuild_result", &state, &version)) return nullptr;
        if (version != nullptr && version != Py_None) {
            if (!PyUnicode_Check(version)) {
                state_type_error("version", "a str or None", version);
                return nullptr;
            }
            // Before the state is read: a newer layout is refused, and the warning says why.
            if (!check_pickled_version(version, "SearchResult")) return nullptr;
        }
        std::optional<ReadResult> read = read_result(state);
        if (!read) return nullptr;
        return wrap_result(std::move(read->record), read->within_precision);
    });
}

// Searchers pickled before the keyword options existed hold (max_complexity, complexity_penalty,
// beam_width). They are checked like a result's state, so that garbage gets TypeError or ValueError
// (the constructor would pass OverflowError on).
PyObject* rebuild_positional_searcher(PyObject* max_complexity, PyObject* complexity_penalty,
                                      PyObject* beam_width) {
    const std::optional<std::uint64_t> size =
        read_integer(max_complexity, UINT64_MAX, "max_complexity");
    if (!size) return nullptr;
    const std::optional<double> penalty = read_double(complexity_penalty, "complexity_penalty");
    if (!penalty) return nullptr;
    const std::optional<std::uint64_t> beam = read_integer(beam_width, UINT64_MAX, "beam_width");
    if (!beam) return nullptr;
    return new_searcher(SearchConfig(*size, *penalty, *beam));
}

PyObject* rebuild_keyword_searcher(PyObject* layout, PyObject* settings) {
    const std::optional<std::uint64_t> number = read_integer(layout, UINT64_MAX, "layout");
    if (!number) return nullptr;
    if (*number != searcher_layout) {
        state_value_error("unknown layout " + std::to_string(*number));
        return nullptr;
    }
    const std::optional<SearchConfig> config = config_from_settings(settings);
    if (!config) return nullptr;
    return new_searcher(*config);
}

PyObject* rebuild_searcher(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        const auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(args, i); };
        switch (PyTuple_GET_SIZE(args)) {
            case 2:
                return rebuild_keyword_searcher(item(0), item(1));
            case 3:
                return rebuild_positional_searcher(item(0), item(1), item(2));
            default:
                return raise(PyExc_TypeError,
                             "_rebuild_searcher() takes (layout, settings) or (max_complexity, "
                             "complexity_penalty, beam_width)");
        }
    });
}

PyDoc_STRVAR(rebuild_result_doc,
             "_rebuild_result($module, state, version=None, /)\n--\n\n"
             "Rebuilds a pickled SearchResult from its state.");
PyDoc_STRVAR(rebuild_searcher_doc,
             "_rebuild_searcher($module, /, *state)\n--\n\n"
             "Rebuilds a pickled Searcher from its settings.");

PyMethodDef reconstructors[] = {
    {"_rebuild_result", rebuild_result, METH_VARARGS, rebuild_result_doc},
    {"_rebuild_searcher", rebuild_searcher, METH_VARARGS, rebuild_searcher_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* reduce_with(PyObject* function, PyRef arguments) {
    if (!arguments) return nullptr;
    if (function == nullptr) {
        return raise(PyExc_TypeError, "kov_sr._core is not initialised for pickling");
    }
    return PyTuple_Pack(2, function, arguments.get());
}

}  // namespace

PyObject* reduce_result(const SearchResult& record, std::optional<bool> within_precision,
                        bool with_version) {
    PyRef state = PyRef::steal(result_state(record, within_precision));
    if (!state) return nullptr;
    PyRef arguments =
        PyRef::steal(with_version ? Py_BuildValue("(Os)", state.get(), package_version())
                                  : PyTuple_Pack(1, state.get()));
    return reduce_with(rebuild_result_function, std::move(arguments));
}

PyObject* reduce_searcher(const SearchConfig& config) {
    PyRef settings = PyRef::steal(searcher_settings(config));
    if (!settings) return nullptr;
    return reduce_with(rebuild_searcher_function,
                       PyRef::steal(Py_BuildValue("(KO)", searcher_layout, settings.get())));
}

bool add_reconstructors(PyObject* module) {
    // Module functions report the module's name as __module__, so pickle finds them by reference.
    if (PyModule_AddFunctions(module, reconstructors) < 0) return false;
    PyRef result = PyRef::steal(PyObject_GetAttrString(module, "_rebuild_result"));
    PyRef searcher = PyRef::steal(PyObject_GetAttrString(module, "_rebuild_searcher"));
    if (!result || !searcher) return false;
    Py_XSETREF(rebuild_result_function, result.release());
    Py_XSETREF(rebuild_searcher_function, searcher.release());
    return true;
}

}  // namespace kov::python
