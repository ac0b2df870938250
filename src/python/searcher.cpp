// PySearcher: the Python class Searcher. It holds one search configuration, fixed at construction;
// every method converts its arguments into owned numbers, runs the search and wraps the results.

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/bfs.hpp"
#include "python/arguments.hpp"
#include "python/conversion.hpp"
#include "python/errors.hpp"
#include "python/members.hpp"
#include "python/pickling.hpp"
#include "python/search_hooks.hpp"
#include "python/search_result.hpp"
#include "python/search_turn.hpp"
#include "python/searcher.hpp"

namespace kov::python {
namespace {

struct PySearcher {
    PyObject_HEAD SearchConfig config;
};

const SearchConfig& config_of(PyObject* self) {
    return reinterpret_cast<PySearcher*>(self)->config;
}

// ---- Construction ------------------------------------------------------------------------------

PyObject* searcher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"max_complexity", "complexity_penalty", "beam_width", nullptr};
    PyObject* max_complexity_arg = nullptr;
    PyObject* complexity_penalty_arg = nullptr;
    PyObject* beam_width_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:Searcher", const_cast<char**>(keywords),
                                     &max_complexity_arg, &complexity_penalty_arg,
                                     &beam_width_arg)) {
        return nullptr;
    }
    const SearchConfig defaults;
    std::optional<std::uint64_t> max_complexity = defaults.max_complexity;
    std::optional<double> complexity_penalty = defaults.complexity_penalty;
    std::optional<std::uint64_t> beam_width = defaults.beam_width;
    // Converted in parameter order; the first failure is raised. No range checks: 0, a negative
    // penalty or a zero beam are stored as given.
    if (max_complexity_arg != nullptr) {
        max_complexity = to_size(max_complexity_arg, "max_complexity");
        if (!max_complexity) return nullptr;
    }
    if (complexity_penalty_arg != nullptr) {
        complexity_penalty = to_real(complexity_penalty_arg, "complexity_penalty");
        if (!complexity_penalty) return nullptr;
    }
    if (beam_width_arg != nullptr) {
        beam_width = to_size(beam_width_arg, "beam_width");
        if (!beam_width) return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<PySearcher*>(self)->config)
        SearchConfig(*max_complexity, *complexity_penalty, *beam_width);
    return self;
}

void searcher_dealloc(PyObject* self) {
    Py_TYPE(self)->tp_free(self);
}

// ---- Running a search ------------------------------------------------------------------------

// The formulas of one search, most accurate first; empty optional with a Python error set.
std::optional<std::vector<SearchResult>> search(const Matrix& rows, const Vector& targets,
                                                const SearchConfig& config) {
    const SearchTurn turn;
    if (!turn.taken()) return std::nullopt;
    InterpreterHooks interpreter;
    SearchOutcome outcome = run_bfs(rows, targets, config, interpreter.hooks());
    // A kept error (Ctrl-C, a failing sys.stdout) wins even over a search that still completed.
    if (interpreter.failed()) {
        interpreter.raise_kept_error();
        return std::nullopt;
    }
    if (const SearchError* error = std::get_if<SearchError>(&outcome)) {
        if (error->kind == SearchError::Kind::Cancelled) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        } else {
            raise(map_error(*error));
        }
        return std::nullopt;
    }
    return std::move(std::get<std::vector<SearchResult>>(outcome));
}

// The most accurate formula. The engine can, in a corner case (only non-finite errors on the
// front), return no formula at all; that is reported like a search that found nothing.
PyObject* search_best(const Matrix& rows, const Vector& targets, const SearchConfig& config) {
    std::optional<std::vector<SearchResult>> results = search(rows, targets, config);
    if (!results) return nullptr;
    if (results->empty()) {
        return raise(map_error(SearchError::no_formula_found(config.max_complexity)));
    }
    return wrap_result(std::move(results->front()));
}

std::optional<Vector> finite_vector(PyObject* object, const char* argument) {
    std::optional<Vector> values = convert_to_vec(object);
    if (values && !check_finite(*values, argument)) return std::nullopt;
    return values;
}

std::optional<Matrix> finite_matrix(PyObject* object, const char* argument) {
    std::optional<Matrix> rows = convert_to_matrix(object);
    if (rows && !check_finite(*rows, argument)) return std::nullopt;
    return rows;
}

// The samples of a multivariate search: rows converted as a matrix, targets as a vector, both
// refused when they hold a non-finite value.
struct Samples {
    Matrix inputs;
    Vector ys;
};

std::optional<Samples> finite_samples(PyObject* inputs_arg, PyObject* ys_arg) {
    std::optional<Matrix> inputs = finite_matrix(inputs_arg, "inputs");
    if (!inputs) return std::nullopt;
    std::optional<Vector> ys = finite_vector(ys_arg, "ys");
    if (!ys) return std::nullopt;
    return Samples{std::move(*inputs), std::move(*ys)};
}

bool parse_two(PyObject* args, PyObject* kwargs, const char* format, const char* first_name,
               PyObject** first, PyObject** second) {
    const char* keywords[] = {first_name, "ys", nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), first,
                                       second) != 0;
}

// ---- Methods -----------------------------------------------------------------------------------

PyObject* find_function(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* xs_arg = nullptr;
    PyObject* ys_arg = nullptr;
    if (!parse_two(args, kwargs, "OO:find_function", "xs", &xs_arg, &ys_arg)) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::optional<Vector> xs = finite_vector(xs_arg, "xs");
        if (!xs) return nullptr;
        const std::optional<Vector> ys = finite_vector(ys_arg, "ys");
        if (!ys) return nullptr;
        // One input variable: each x is a row of its own.
        Matrix rows;
        rows.reserve(xs->size());
        for (const double x : *xs) rows.push_back(Vector{x});
        return search_best(rows, *ys, config_of(self));
    });
}

PyObject* multivariate(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
    PyObject* inputs_arg = nullptr;
    PyObject* ys_arg = nullptr;
    if (!parse_two(args, kwargs, format, "inputs", &inputs_arg, &ys_arg)) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::optional<Samples> samples = finite_samples(inputs_arg, ys_arg);
        if (!samples) return nullptr;
        return search_best(samples->inputs, samples->ys, config_of(self));
    });
}

PyObject* find_multivariate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return multivariate(self, args, kwargs, "OO:find_multivariate");
}

PyObject* fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return multivariate(self, args, kwargs, "OO:fit");
}

// The whole Pareto list of one search, most accurate first, as a Python list.
PyObject* pareto_list(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                      bool early_exit) {
    PyObject* inputs_arg = nullptr;
    PyObject* ys_arg = nullptr;
    if (!parse_two(args, kwargs, format, "inputs", &inputs_arg, &ys_arg)) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::optional<Samples> samples = finite_samples(inputs_arg, ys_arg);
        if (!samples) return nullptr;
        // On a private copy: the Searcher's own settings stay.
        SearchConfig config = config_of(self);
        config.disable_early_exit = !early_exit;
        std::optional<std::vector<SearchResult>> results =
            search(samples->inputs, samples->ys, config);
        if (!results) return nullptr;
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < results->size(); ++i) {
            PyObject* item = wrap_result(std::move((*results)[i]));
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

// Every level up to max_complexity, even after a formula turned out exact.
PyObject* find_candidates(PyObject* self, PyObject* args, PyObject* kwargs) {
    return pareto_list(self, args, kwargs, "OO:find_candidates", false);
}

// The estimator's entry point: the candidates of the one search that find_multivariate runs, so
// that fitting needs a single search and keeps its early exit.
PyObject* find_pareto(PyObject* self, PyObject* args, PyObject* kwargs) {
    return pareto_list(self, args, kwargs, "OO:_find_pareto", true);
}

PyObject* recognize_constant(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"value", nullptr};
    PyObject* value_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:recognize_constant",
                                     const_cast<char**>(keywords), &value_arg)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const std::optional<double> value = to_real(value_arg, "value");
        if (!value || !check_finite(*value, "value")) return nullptr;
        // With a single sample point, fitting makes nearly every formula with a constant "exact"
        // (Plus(Pi, v_{0}) for 3.7); the answer must be a closed form, so nothing is fitted.
        SearchConfig config = config_of(self);
        config.fit_constants = false;
        return search_best(Matrix{Vector{0.0}}, Vector{*value}, config);
    });
}

// Private, for tests and benchmarks until the public options exist: _set_strategy(name, limit).
PyObject* set_strategy(PyObject* self, PyObject* args) {
    const char* name = nullptr;
    PyObject* limit = Py_None;
    if (!PyArg_ParseTuple(args, "s|O:_set_strategy", &name, &limit)) return nullptr;
    SearchConfig& config = reinterpret_cast<PySearcher*>(self)->config;
    if (std::string_view(name) != "classic" && std::string_view(name) != "thorough") {
        PyErr_SetString(PyExc_ValueError, "strategy must be \"classic\" or \"thorough\"");
        return nullptr;
    }
    std::optional<double> seconds;
    if (limit != Py_None) {
        seconds = PyFloat_AsDouble(limit);
        if (PyErr_Occurred()) return nullptr;
    }
    config.strategy = std::string_view(name) == "thorough" ? Strategy::thorough : Strategy::classic;
    config.time_limit = seconds;
    Py_RETURN_NONE;
}

PyObject* reduce(PyObject* self, PyObject*) {
    return guarded([&] { return reduce_searcher(config_of(self)); });
}

// ---- The class ---------------------------------------------------------------------------------

PyDoc_STRVAR(searcher_doc,
             "Searcher(max_complexity=10, complexity_penalty=0.1, beam_width=1000)\n--\n\n"
             "The core KOV-SR search engine exposed to Python.");
PyDoc_STRVAR(find_function_doc,
             "find_function($self, xs, ys)\n--\n\n"
             "Finds a univariate function f(x) \xe2\x89\x88 y.\n"
             "Supports both Python lists and NumPy arrays.");
PyDoc_STRVAR(find_multivariate_doc,
             "find_multivariate($self, inputs, ys)\n--\n\n"
             "Finds a multivariate function f(x0, x1, ...) \xe2\x89\x88 y.\n"
             "Inputs should be a 2D array-like structure.");
PyDoc_STRVAR(fit_doc,
             "fit($self, inputs, ys)\n--\n\n"
             "Alias for find_multivariate (Scikit-Learn style).");
PyDoc_STRVAR(find_candidates_doc,
             "find_candidates($self, inputs, ys)\n--\n\n"
             "Returns the Pareto-front of all candidate formulas found.");
PyDoc_STRVAR(recognize_constant_doc,
             "recognize_constant($self, value)\n--\n\n"
             "Identifies a closed-form expression for a scalar constant.");
PyDoc_STRVAR(find_pareto_doc,
             "_find_pareto($self, inputs, ys)\n--\n\n"
             "Returns the Pareto-front of one search that stops early, as find_multivariate does.");
PyDoc_STRVAR(reduce_doc, "__reduce__($self)\n--\n\nHelper for pickle.");

PyMethodDef methods[] = {
    {"find_function", as_cfunction<find_function>(), METH_VARARGS | METH_KEYWORDS,
     find_function_doc},
    {"find_multivariate", as_cfunction<find_multivariate>(), METH_VARARGS | METH_KEYWORDS,
     find_multivariate_doc},
    {"fit", as_cfunction<fit>(), METH_VARARGS | METH_KEYWORDS, fit_doc},
    {"find_candidates", as_cfunction<find_candidates>(), METH_VARARGS | METH_KEYWORDS,
     find_candidates_doc},
    {"recognize_constant", as_cfunction<recognize_constant>(), METH_VARARGS | METH_KEYWORDS,
     recognize_constant_doc},
    {"_find_pareto", as_cfunction<find_pareto>(), METH_VARARGS | METH_KEYWORDS, find_pareto_doc},
    {"_set_strategy", set_strategy, METH_VARARGS, nullptr},
    {"__reduce__", reduce, METH_NOARGS, reduce_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_type_object() {
    PyTypeObject type = empty_type_object();
    // No dot in the name: Python reports the module as "builtins".
    type.tp_name = "Searcher";
    type.tp_basicsize = sizeof(PySearcher);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = searcher_doc;
    type.tp_new = searcher_new;
    type.tp_dealloc = searcher_dealloc;
    type.tp_methods = methods;
    return type;
}

PyTypeObject type_object = make_type_object();

}  // namespace

PyTypeObject* searcher_type() {
    // Readied on first use, once per process; a failure is raised and retried on the next use.
    static bool ready = false;
    if (!ready) {
        if (PyType_Ready(&type_object) < 0) return nullptr;
        ready = true;
    }
    return &type_object;
}

bool add_searcher(PyObject* module) {
    return add_member(module, "Searcher", reinterpret_cast<PyObject*>(searcher_type()));
}

}  // namespace kov::python
