// PySearcher: the Python class Searcher. It holds one search configuration, fixed at construction;
// every method converts its arguments into owned numbers, runs the search and wraps the results.

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/entry/run_bfs.hpp"
#include "engine/select/result_criterion.hpp"
#include "python/arguments.hpp"
#include "python/constants.hpp"
#include "python/conversion.hpp"
#include "python/errors.hpp"
#include "python/members.hpp"
#include "python/options.hpp"
#include "python/pickling.hpp"
#include "python/search_hooks.hpp"
#include "python/search_progress.hpp"
#include "python/search_result.hpp"
#include "python/search_turn.hpp"
#include "python/searcher.hpp"
#include "python/units_argument.hpp"

namespace kov::python {
namespace {

struct PySearcher {
    PyObject_HEAD
    SearchConfig config;
};

const SearchConfig& config_of(PyObject* self) {
    return reinterpret_cast<PySearcher*>(self)->config;
}

PyObject* make_searcher(PyTypeObject* type, const SearchConfig& config) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<PySearcher*>(self)->config) SearchConfig(config);
    return self;
}

// ---- Construction ------------------------------------------------------------------------------

// The settings come from the option table (options.cpp), which also checks them.
PyObject* searcher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const std::optional<SearchConfig> config = parse_searcher_arguments(args, kwargs);
        if (!config) return nullptr;
        return make_searcher(type, *config);
    });
}

void searcher_dealloc(PyObject* self) {
    Py_TYPE(self)->tp_free(self);
}

// ---- Running a search ------------------------------------------------------------------------

// The formulas of one search, most accurate first; empty optional with a Python error set.
// `progress` is the method's progress= argument (null when not given); a progress bar replaces the
// progress lines, which would break it up.
std::optional<std::vector<SearchResult>> search(const Matrix& rows, const Vector& targets,
                                                const SearchConfig& config,
                                                PyObject* progress = nullptr) {
    const std::optional<SearchProgress> reporter = SearchProgress::from_argument(progress, config);
    if (!reporter) return std::nullopt;
    const SearchTurn turn;
    if (!turn.taken()) return std::nullopt;
    // The engine runs without the interpreter lock: it reads its own copy of the settings, which
    // no other thread can change meanwhile.
    SearchConfig settings = config;
    if (reporter->callback() != nullptr) settings.verbose = false;
    InterpreterHooks interpreter;
    interpreter.set_progress_callback(reporter->callback());
    SearchOutcome outcome = interpreter.run(rows, targets, settings);
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
PyObject* search_best(const Matrix& rows, const Vector& targets, const SearchConfig& config,
                      PyObject* progress) {
    std::optional<std::vector<SearchResult>> results = search(rows, targets, config, progress);
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

// The search's front as a kov_sr.display.Front: a list that shows itself as a table in notebooks.
PyObject* front_of(PyRef list) {
    if (!list) return nullptr;
    PyRef module = PyRef::steal(PyImport_ImportModule("kov_sr.display"));
    if (!module) return nullptr;
    return PyObject_CallMethod(module.get(), "Front", "O", list.get());
}

// The arguments of a search method: the samples, the keyword-only units of the inputs and of the
// target, and the progress bar.
struct CallArguments {
    PyObject* first = nullptr;
    PyObject* ys = nullptr;
    PyObject* units = nullptr;
    PyObject* target_units = nullptr;
    PyObject* progress = nullptr;  // a progress bar or callable; null when not given
};

bool parse_call(PyObject* args, PyObject* kwargs, const char* format, const char* first_name,
                CallArguments& call) {
    const char* keywords[] = {first_name, "ys", "units", "target_units", "progress", nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                       &call.first, &call.ys, &call.units, &call.target_units,
                                       &call.progress) != 0;
}

// The samples with their units read (pint quantities carry their own); the settings of this call
// carry the units. Units need the thorough strategy's dimensional analysis.
struct UnitsCall {
    UnitsArguments arguments;
    SearchConfig config;
};

std::optional<UnitsCall> with_units(PyObject* self, const CallArguments& call, bool one_column) {
    std::optional<UnitsArguments> read =
        read_units(call.first, call.ys, call.units, call.target_units, one_column);
    if (!read) return std::nullopt;
    SearchConfig config = config_of(self);
    if (read->units && config.strategy != Strategy::thorough) {
        raise(PyExc_ValueError,
              "units need the thorough strategy: Searcher(strategy=\"thorough\") uses them for "
              "dimensional analysis; the classic strategy cannot");
        return std::nullopt;
    }
    config.units = read->units;
    return UnitsCall{std::move(*read), std::move(config)};
}

// ---- Methods -----------------------------------------------------------------------------------

PyObject* find_function(PyObject* self, PyObject* args, PyObject* kwargs) {
    CallArguments call;
    if (!parse_call(args, kwargs, "OO|$OOO:find_function", "xs", call)) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::optional<UnitsCall> prepared = with_units(self, call, true);
        if (!prepared) return nullptr;
        const std::optional<Vector> xs = finite_vector(prepared->arguments.inputs.get(), "xs");
        if (!xs) return nullptr;
        const std::optional<Vector> ys = finite_vector(prepared->arguments.ys.get(), "ys");
        if (!ys) return nullptr;
        // One input variable: each x is a row of its own.
        Matrix rows;
        rows.reserve(xs->size());
        for (const double x : *xs) rows.push_back(Vector{x});
        return search_best(rows, *ys, prepared->config, call.progress);
    });
}

PyObject* multivariate(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
    CallArguments call;
    if (!parse_call(args, kwargs, format, "inputs", call)) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::optional<UnitsCall> prepared = with_units(self, call, false);
        if (!prepared) return nullptr;
        const std::optional<Samples> samples =
            finite_samples(prepared->arguments.inputs.get(), prepared->arguments.ys.get());
        if (!samples) return nullptr;
        return search_best(samples->inputs, samples->ys, prepared->config, call.progress);
    });
}

PyObject* find_multivariate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return multivariate(self, args, kwargs, "OO|$OOO:find_multivariate");
}

PyObject* fit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return multivariate(self, args, kwargs, "OO|$OOO:fit");
}

// The whole Pareto list of one search, most accurate first, as a Python list.
PyObject* pareto_list(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                      bool early_exit) {
    CallArguments call;
    if (!parse_call(args, kwargs, format, "inputs", call)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::optional<UnitsCall> prepared = with_units(self, call, false);
        if (!prepared) return nullptr;
        const std::optional<Samples> samples =
            finite_samples(prepared->arguments.inputs.get(), prepared->arguments.ys.get());
        if (!samples) return nullptr;
        // On a private copy: the Searcher's own settings stay.
        SearchConfig& config = prepared->config;
        config.disable_early_exit = !early_exit;
        std::optional<std::vector<SearchResult>> results =
            search(samples->inputs, samples->ys, config, call.progress);
        if (!results) return nullptr;
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < results->size(); ++i) {
            PyObject* item = wrap_result(std::move((*results)[i]));
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return front_of(std::move(list));
    });
}

// Every level up to max_complexity, even after a formula turned out exact.
PyObject* find_candidates(PyObject* self, PyObject* args, PyObject* kwargs) {
    return pareto_list(self, args, kwargs, "OO|$OOO:find_candidates", false);
}

// The estimator's entry point: the candidates of the one search that find_multivariate runs, so
// that fitting needs a single search and keeps its early exit.
PyObject* find_pareto(PyObject* self, PyObject* args, PyObject* kwargs) {
    return pareto_list(self, args, kwargs, "OO|$OOO:_find_pareto", true);
}

// The formula of least description length on the Pareto list of the search find_multivariate runs.
PyObject* find_selected(PyObject* self, PyObject* args, PyObject* kwargs) {
    CallArguments call;
    if (!parse_call(args, kwargs, "OO|$OOO:find_selected", "inputs", call)) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::optional<UnitsCall> prepared = with_units(self, call, false);
        if (!prepared) return nullptr;
        const std::optional<Samples> samples =
            finite_samples(prepared->arguments.inputs.get(), prepared->arguments.ys.get());
        if (!samples) return nullptr;
        const SearchConfig& config = prepared->config;
        std::optional<std::vector<SearchResult>> results =
            search(samples->inputs, samples->ys, config, call.progress);
        if (!results) return nullptr;
        const std::optional<std::size_t> chosen = select_by_description_length(*results);
        if (!chosen) return raise(map_error(SearchError::no_formula_found(config.max_complexity)));
        return wrap_result(std::move((*results)[*chosen]));
    });
}

PyObject* recognize_constant(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const std::optional<ConstantRequest> request =
            parse_constant_request(args, kwargs, "O|$pO:recognize_constant", false);
        if (!request) return nullptr;
        const ConstantSearch plan = plan_constant_search(config_of(self), *request);
        std::optional<std::vector<SearchResult>> results =
            search(plan.rows, plan.targets, plan.config);
        if (!results) return nullptr;
        return wrap_constant_answer(std::move(*results), plan);
    });
}

// The best closed forms of any complexity, by error then complexity.
PyObject* recognize_constant_candidates(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const std::optional<ConstantRequest> request =
            parse_constant_request(args, kwargs, "O|$pOO:recognize_constant_candidates", true);
        if (!request) return nullptr;
        const ConstantSearch plan = plan_constant_search(config_of(self), *request);
        std::optional<std::vector<SearchResult>> results =
            search(plan.rows, plan.targets, plan.config);
        if (!results) return nullptr;
        return wrap_constant_candidates(std::move(*results), plan);
    });
}

PyObject* reduce(PyObject* self, PyObject*) {
    return guarded([&] { return reduce_searcher(config_of(self)); });
}

PyObject* searcher_repr_of(PyObject* self) {
    return guarded([&] { return searcher_repr(config_of(self)); });
}

// One read-only property per option; the closure is the option's table entry.
PyObject* get_option(PyObject* self, void* closure) {
    return static_cast<const SearcherOption*>(closure)->load(config_of(self));
}

PyGetSetDef* option_properties() {
    static std::vector<PyGetSetDef> properties = [] {
        std::vector<PyGetSetDef> table;
        for (const SearcherOption& option : searcher_options()) {
            table.push_back({option.name, get_option, nullptr, option.doc,
                             const_cast<SearcherOption*>(&option)});
        }
        table.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        return table;
    }();
    return properties.data();
}

// ---- The class ---------------------------------------------------------------------------------

PyDoc_STRVAR(find_function_doc,
             "find_function($self, xs, ys, *, units=None, target_units=None, progress=None)\n--\n\n"
             "Finds a univariate function f(x) \xe2\x89\x88 y.\n"
             "Supports both Python lists and NumPy arrays.\n"
             "progress=True shows a progress bar instead of the progress lines (tqdm when\n"
             "installed); a callable receives (level, elapsed, time_limit, best_error,\n"
             "best_formula) after each level and a few times a second. fit and the find_\n"
             "methods take it, and units and target_units as find_multivariate does.");
PyDoc_STRVAR(
    find_multivariate_doc,
    "find_multivariate($self, inputs, ys, *, units=None, target_units=None, progress=None)\n--\n\n"
    "Finds a multivariate function f(x0, x1, ...) \xe2\x89\x88 y.\n"
    "Inputs should be a 2D array-like structure.\n"
    "units (one per input column) and target_units, or pint quantities as inputs, let the\n"
    "thorough strategy search only formulas whose units agree: a unit is a mapping such\n"
    "as {'m': 1, 's': -2}, a string such as 'kg*m/s^2' (with pint) or a pint unit.");
PyDoc_STRVAR(fit_doc,
             "fit($self, inputs, ys, *, units=None, target_units=None, progress=None)\n--\n\n"
             "Alias for find_multivariate (Scikit-Learn style).");
PyDoc_STRVAR(
    find_candidates_doc,
    "find_candidates($self, inputs, ys, *, units=None, target_units=None, progress=None)\n--\n\n"
    "Returns the Pareto-front of all candidate formulas found.");
PyDoc_STRVAR(
    find_selected_doc,
    "find_selected($self, inputs, ys, *, units=None, target_units=None, progress=None)\n--\n\n"
    "Finds the formula of least description length among the candidates.\n"
    "Runs the search of find_multivariate and picks, from its Pareto-front, the formula\n"
    "that best trades error against complexity and fitted numbers.");
PyDoc_STRVAR(recognize_constant_doc,
             "recognize_constant($self, value, *, integers=False, digits=None)\n--\n\n"
             "Identifies a closed-form expression for a scalar constant.");
PyDoc_STRVAR(recognize_constant_candidates_doc,
             "recognize_constant_candidates($self, value, *, integers=False, digits=None, "
             "count=10)\n--\n\n"
             "Returns up to count closed forms for a scalar constant, best first: by error, then "
             "complexity.");
PyDoc_STRVAR(
    find_pareto_doc,
    "_find_pareto($self, inputs, ys, *, units=None, target_units=None, progress=None)\n--\n\n"
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
    {"find_selected", as_cfunction<find_selected>(), METH_VARARGS | METH_KEYWORDS,
     find_selected_doc},
    {"recognize_constant", as_cfunction<recognize_constant>(), METH_VARARGS | METH_KEYWORDS,
     recognize_constant_doc},
    {"recognize_constant_candidates", as_cfunction<recognize_constant_candidates>(),
     METH_VARARGS | METH_KEYWORDS, recognize_constant_candidates_doc},
    {"_find_pareto", as_cfunction<find_pareto>(), METH_VARARGS | METH_KEYWORDS, find_pareto_doc},
    {"__reduce__", reduce, METH_NOARGS, reduce_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_type_object() {
    PyTypeObject type = empty_type_object();
    // No dot in the name: Python reports the module as "builtins".
    type.tp_name = "Searcher";
    type.tp_basicsize = sizeof(PySearcher);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    // tp_doc is set by searcher_type: the defaults it shows are reprs, made once Python runs.
    type.tp_new = searcher_new;
    type.tp_dealloc = searcher_dealloc;
    type.tp_repr = searcher_repr_of;
    type.tp_methods = methods;
    type.tp_getset = option_properties();
    return type;
}

PyTypeObject type_object = make_type_object();

}  // namespace

PyObject* new_searcher(const SearchConfig& config) {
    PyTypeObject* type = searcher_type();
    if (type == nullptr) return nullptr;
    return make_searcher(type, config);
}

PyTypeObject* searcher_type() {
    // Readied on first use, once per process; a failure is raised and retried on the next use.
    static bool ready = false;
    if (!ready) {
        if (type_object.tp_doc == nullptr) {
            type_object.tp_doc = searcher_doc();
            if (type_object.tp_doc == nullptr) return nullptr;
        }
        if (PyType_Ready(&type_object) < 0) return nullptr;
        ready = true;
    }
    return &type_object;
}

const SearchConfig* searcher_config(PyObject* object) {
    PyTypeObject* type = searcher_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(object, type)) {
        PyErr_Format(PyExc_TypeError, "expected a kov_sr.Searcher, not %.200s",
                     Py_TYPE(object)->tp_name);
        return nullptr;
    }
    return &config_of(object);
}

bool add_searcher(PyObject* module) {
    return add_member(module, "Searcher", reinterpret_cast<PyObject*>(searcher_type()));
}

}  // namespace kov::python
