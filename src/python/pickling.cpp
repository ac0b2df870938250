// Pickling and copying of SearchResult and Searcher through private reconstructors of the module.
// A pickle is data from outside: the reconstructors check every field before anything is built, so
// a damaged or hand-made state gets a TypeError or ValueError, never a result that could read past
// its registry or its value stack.

#include "python/pickling.hpp"

#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ops/builtin_ids.hpp"
#include "python/errors.hpp"
#include "python/search_result.hpp"
#include "python/searcher.hpp"

namespace kov::python {
namespace {

// Written first in every state. A later layout gets a new number, so that an old build refuses a
// newer pickle clearly instead of misreading it. Layout 1 (layout, tokens, formula, complexity,
// var_count, error) still loads, with an unknown description length; layout 2 appends it.
constexpr unsigned long long first_layout = 1;
constexpr unsigned long long state_layout = 2;
constexpr Py_ssize_t first_state_size = 6;
constexpr Py_ssize_t state_size = 7;
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

PyObject* result_state(const SearchResult& record) {
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
    return Py_BuildValue("(KOOKIdd)", state_layout, tokens.get(), formula.get(),
                         static_cast<unsigned long long>(expression.complexity),
                         static_cast<unsigned>(expression.var_count), record.error,
                         record.description_length);
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
        read_integer(item(0), static_cast<std::uint64_t>(TokenKind::Op), field + " kind");
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

std::optional<SearchResult> read_result(PyObject* state) {
    if (!read_tuple(state, -1, "the state")) return std::nullopt;
    if (PyTuple_GET_SIZE(state) == 0) {
        state_value_error("the state must begin with its layout");
        return std::nullopt;
    }
    const auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
    const std::optional<std::uint64_t> layout = read_integer(item(0), UINT64_MAX, "layout");
    if (!layout) return std::nullopt;
    if (*layout != first_layout && *layout != state_layout) {
        state_value_error("unknown layout " + std::to_string(*layout));
        return std::nullopt;
    }
    const Py_ssize_t size = *layout == first_layout ? first_state_size : state_size;
    if (!read_tuple(state, size, "the state")) return std::nullopt;

    SearchResult record;
    Expression& expression = record.expression;
    PyObject* tokens = item(1);
    if (!read_tuple(tokens, -1, "tokens")) return std::nullopt;
    const auto token_count = static_cast<std::size_t>(PyTuple_GET_SIZE(tokens));
    expression.tokens.reserve(token_count);
    for (std::size_t i = 0; i < token_count; ++i) {
        std::optional<Token> token =
            read_token(PyTuple_GET_ITEM(tokens, static_cast<Py_ssize_t>(i)), i);
        if (!token) return std::nullopt;
        expression.tokens.push_back(*token);
    }

    PyObject* formula = item(2);
    if (!PyUnicode_Check(formula)) {
        state_type_error("formula", "a str", formula);
        return std::nullopt;
    }
    Py_ssize_t formula_size = 0;
    const char* formula_text = PyUnicode_AsUTF8AndSize(formula, &formula_size);
    if (formula_text == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) return std::nullopt;
        PyErr_Clear();  // a lone surrogate, which no formula holds
        state_value_error("formula is not valid text");
        return std::nullopt;
    }
    expression.formula.assign(formula_text, static_cast<std::size_t>(formula_size));

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
    if (*layout == state_layout) {
        const std::optional<double> description_length = read_double(item(6), "description_length");
        if (!description_length) return std::nullopt;
        record.description_length = *description_length;
    }

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
    return record;
}

// ---- The reconstructors ------------------------------------------------------------------------

PyObject* rebuild_result(PyObject*, PyObject* state) {
    return guarded([&]() -> PyObject* {
        std::optional<SearchResult> record = read_result(state);
        if (!record) return nullptr;
        return wrap_result(std::move(*record));
    });
}

// The settings are checked like a result's state, so that garbage gets TypeError or ValueError
// (the constructor would pass OverflowError on), then go through the constructor.
PyObject* rebuild_searcher(PyObject*, PyObject* args) {
    PyObject* max_complexity = nullptr;
    PyObject* complexity_penalty = nullptr;
    PyObject* beam_width = nullptr;
    if (!PyArg_ParseTuple(args, "OOO:_rebuild_searcher", &max_complexity, &complexity_penalty,
                          &beam_width)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        if (!read_integer(max_complexity, UINT64_MAX, "max_complexity") ||
            !read_double(complexity_penalty, "complexity_penalty") ||
            !read_integer(beam_width, UINT64_MAX, "beam_width")) {
            return nullptr;
        }
        PyTypeObject* type = searcher_type();
        if (type == nullptr) return nullptr;
        return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(type), max_complexity,
                                            complexity_penalty, beam_width, nullptr);
    });
}

PyDoc_STRVAR(rebuild_result_doc,
             "_rebuild_result($module, state, /)\n--\n\n"
             "Rebuilds a pickled SearchResult from its state.");
PyDoc_STRVAR(rebuild_searcher_doc,
             "_rebuild_searcher($module, max_complexity, complexity_penalty, beam_width, /)\n--\n\n"
             "Rebuilds a pickled Searcher from its settings.");

PyMethodDef reconstructors[] = {
    {"_rebuild_result", rebuild_result, METH_O, rebuild_result_doc},
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

PyObject* reduce_result(const SearchResult& record) {
    PyRef state = PyRef::steal(result_state(record));
    if (!state) return nullptr;
    return reduce_with(rebuild_result_function, PyRef::steal(PyTuple_Pack(1, state.get())));
}

PyObject* reduce_searcher(const SearchConfig& config) {
    return reduce_with(
        rebuild_searcher_function,
        PyRef::steal(Py_BuildValue("(KdK)", static_cast<unsigned long long>(config.max_complexity),
                                   config.complexity_penalty,
                                   static_cast<unsigned long long>(config.beam_width))));
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
