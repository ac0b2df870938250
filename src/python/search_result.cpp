// PySearchResult: the Python class SearchResult, one formula found by a search. Immutable; every
// operation only reads the record.

#include "python/search_result.hpp"

#include <limits>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "python/conversion.hpp"
#include "python/errors.hpp"
#include "python/format.hpp"
#include "python/members.hpp"
#include "python/pickling.hpp"
#include "python/render.hpp"

namespace kov::python {
namespace {

struct ResultData {
    SearchResult record;
    std::string formula;  // what `formula` and repr show, fixed at creation
    std::optional<bool> within_precision;
};

struct PySearchResult {
    PyObject_HEAD
    ResultData data;
};

const ResultData& data_of(PyObject* self) {
    return reinterpret_cast<PySearchResult*>(self)->data;
}

PyObject* to_str(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// ---- Construction and lifetime ---------------------------------------------------------------

PyObject* search_result_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
    return nullptr;
}

void search_result_dealloc(PyObject* self) {
    reinterpret_cast<PySearchResult*>(self)->data.~ResultData();
    Py_TYPE(self)->tp_free(self);
}

// ---- Properties --------------------------------------------------------------------------------

PyObject* get_formula(PyObject* self, void*) {
    return guarded([&] { return to_str(data_of(self).formula); });
}

PyObject* get_error(PyObject* self, void*) {
    return PyFloat_FromDouble(data_of(self).record.error);
}

PyObject* get_description_length(PyObject* self, void*) {
    return PyFloat_FromDouble(data_of(self).record.description_length);
}

PyObject* get_complexity(PyObject* self, void*) {
    return PyLong_FromSize_t(data_of(self).record.expression.complexity);
}

PyObject* get_within_precision(PyObject* self, void*) {
    const std::optional<bool>& flag = data_of(self).within_precision;
    if (!flag) Py_RETURN_NONE;
    return PyBool_FromLong(*flag ? 1 : 0);
}

// None, or {"inputs": (unit per column, ...), "target": unit, "note": how they were used}.
PyObject* get_units(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const std::shared_ptr<const SearchUnits>& units = data_of(self).record.units;
        if (!units) Py_RETURN_NONE;
        PyRef inputs = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(units->inputs.size())));
        if (!inputs) return nullptr;
        for (std::size_t i = 0; i < units->inputs.size(); ++i) {
            PyObject* text = to_str(units->inputs[i]);
            if (text == nullptr) return nullptr;
            PyTuple_SET_ITEM(inputs.get(), static_cast<Py_ssize_t>(i), text);
        }
        PyRef target = PyRef::steal(to_str(units->target));
        PyRef note = PyRef::steal(to_str(units->note));
        if (!target || !note) return nullptr;
        return Py_BuildValue("{sOsOsO}", "inputs", inputs.get(), "target", target.get(), "note",
                             note.get());
    });
}

// The repr, and for a search with units a second line naming them and how they were used.
PyObject* search_result_str(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const ResultData& data = data_of(self);
        PyRef text = PyRef::steal(PyObject_Repr(self));
        if (!text || !data.record.units) return text.release();
        const SearchUnits& units = *data.record.units;
        std::string line = "units: ";
        for (std::size_t i = 0; i < units.inputs.size(); ++i) {
            line += (i ? ", x" : "x") + std::to_string(i) + " [" + units.inputs[i] + "]";
        }
        line += " -> y [" + units.target + "]; " + units.note;
        PyRef tail = PyRef::steal(to_str("\n" + line));
        if (!tail) return nullptr;
        return PyUnicode_Concat(text.get(), tail.get());
    });
}

PyObject* search_result_repr(PyObject* self) {
    return guarded([&] {
        const ResultData& data = data_of(self);
        return to_str("SearchResult(formula='" + data.formula +
                      "', error=" + exponent_notation(data.record.error) +
                      ", complexity=" + std::to_string(data.record.expression.complexity) + ")");
    });
}

// ---- Rendering -------------------------------------------------------------------------------

PyObject* to_latex(PyObject* self, PyObject*) {
    return guarded([&] { return to_str(render(data_of(self).record, Rendering::Latex)); });
}

PyObject* to_python(PyObject* self, PyObject*) {
    return guarded([&] { return to_str(render(data_of(self).record, Rendering::Python)); });
}

// ---- Evaluation --------------------------------------------------------------------------------

PyObject* eval(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"x", nullptr};
    PyObject* x = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:eval", const_cast<char**>(keywords), &x)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const SearchResult& record = data_of(self).record;
        const double value = PyFloat_AsDouble(x);
        if (value != -1.0 || !PyErr_Occurred()) {
            return PyFloat_FromDouble(record.eval_multi(std::span<const double>(&value, 1)));
        }
        if (!error_is_about_input()) return nullptr;
        PyErr_Clear();
        // Not a number: then a list or array is one point with a value per variable.
        const std::optional<Vector> point = convert_to_vec(x);
        if (!point) {
            if (!error_is_about_input()) return nullptr;
            PyErr_Clear();
            return raise(PyExc_ValueError, "Input must be a float or a 1D list/array");
        }
        return PyFloat_FromDouble(record.eval_multi(*point));
    });
}

// One value stack for all rows: a postfix walk never holds more values than there are tokens.
PyObject* eval_rows(const SearchResult& record, const Matrix& rows) {
    const Expression& expression = record.expression;
    std::vector<Complex> stack;
    stack.reserve(expression.complexity);
    std::vector<Complex> point;
    PyRef values = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!values) return nullptr;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        point.assign(rows[i].size(), Complex{});
        for (std::size_t j = 0; j < rows[i].size(); ++j) point[j] = Complex{rows[i][j], 0.0};
        stack.clear();
        const std::optional<Complex> value =
            eval_internal(expression.tokens, point, {}, record.registry->operators(), stack);
        PyObject* item =
            PyFloat_FromDouble(value ? value->re : std::numeric_limits<double>::quiet_NaN());
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), item);
    }
    return values.release();
}

PyObject* eval_batch_named(PyObject* self, PyObject* args, PyObject* kwargs, const char* format) {
    static const char* keywords[] = {"inputs", nullptr};
    PyObject* inputs = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &inputs)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const std::optional<Matrix> rows = convert_to_matrix(inputs);
        if (!rows) return nullptr;
        return eval_rows(data_of(self).record, *rows);
    });
}

PyObject* eval_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return eval_batch_named(self, args, kwargs, "O:eval_batch");
}

PyObject* predict(PyObject* self, PyObject* args, PyObject* kwargs) {
    return eval_batch_named(self, args, kwargs, "O:predict");
}

PyObject* reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        const ResultData& data = data_of(self);
        return reduce_result(data.record, data.within_precision, false);
    });
}

// What pickle and copy call: __reduce__'s state with the package's version beside it.
PyObject* reduce_ex(PyObject* self, PyObject*) {
    return guarded([&] {
        const ResultData& data = data_of(self);
        return reduce_result(data.record, data.within_precision, true);
    });
}

// Notebook display: kov_sr.display renders the result (the formula typeset, its error and
// complexity); written in Python, where the markup is easy to read.
PyObject* display_with(PyObject* self, const char* renderer) {
    PyRef module = PyRef::steal(PyImport_ImportModule("kov_sr.display"));
    if (!module) return nullptr;
    return PyObject_CallMethod(module.get(), renderer, "O", self);
}

PyObject* repr_latex(PyObject* self, PyObject*) {
    return display_with(self, "result_latex");
}

PyObject* repr_html(PyObject* self, PyObject*) {
    return display_with(self, "result_html");
}

// ---- The class ---------------------------------------------------------------------------------

PyDoc_STRVAR(to_latex_doc,
             "to_latex($self)\n--\n\n"
             "Returns the formula in LaTeX format for academic reporting.");
PyDoc_STRVAR(to_python_doc,
             "to_python($self)\n--\n\n"
             "Returns the formula in Python/NumPy format for immediate use.");
PyDoc_STRVAR(eval_doc,
             "eval($self, x)\n--\n\n"
             "Evaluates the discovered formula for a given input (float or list/array).");
PyDoc_STRVAR(eval_batch_doc,
             "eval_batch($self, inputs)\n--\n\n"
             "Evaluates the formula for a batch of inputs (list of lists or 2D array).");
PyDoc_STRVAR(predict_doc,
             "predict($self, inputs)\n--\n\n"
             "Alias for eval_batch (Scikit-Learn style).");
PyDoc_STRVAR(reduce_doc, "__reduce__($self)\n--\n\nHelper for pickle.");
PyDoc_STRVAR(reduce_ex_doc,
             "__reduce_ex__($self, protocol, /)\n--\n\nHelper for pickle: __reduce__ with the "
             "version.");

PyMethodDef methods[] = {
    {"to_latex", to_latex, METH_NOARGS, to_latex_doc},
    {"to_python", to_python, METH_NOARGS, to_python_doc},
    {"eval", as_cfunction<eval>(), METH_VARARGS | METH_KEYWORDS, eval_doc},
    {"eval_batch", as_cfunction<eval_batch>(), METH_VARARGS | METH_KEYWORDS, eval_batch_doc},
    {"predict", as_cfunction<predict>(), METH_VARARGS | METH_KEYWORDS, predict_doc},
    {"__reduce__", reduce, METH_NOARGS, reduce_doc},
    {"__reduce_ex__", reduce_ex, METH_O, reduce_ex_doc},
    {"_repr_latex_", repr_latex, METH_NOARGS, nullptr},
    {"_repr_html_", repr_html, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"formula", get_formula, nullptr, "The discovered mathematical formula as a string.", nullptr},
    {"error", get_error, nullptr, "The residual error (root-mean-square error) of the formula.",
     nullptr},
    {"complexity", get_complexity, nullptr, "The structural complexity of the formula.", nullptr},
    {"within_precision", get_within_precision, nullptr,
     "For constant recognition: whether the formula matches the value to the value's own "
     "precision (False: any likeness may be chance). None for other searches.",
     nullptr},
    {"description_length", get_description_length, nullptr,
     "The model-selection criterion of the formula on the search's data, in nats: lower is "
     "better. It weighs the fit against the complexity and the number of fitted numbers. NaN for "
     "results pickled before it was recorded.",
     nullptr},
    {"units", get_units, nullptr,
     "The units the search was given, or None: a dict with the unit of each input column, of "
     "the target, and a note on how they were used (the dimensionless groups searched, a fitted "
     "constant that carries units, or why the search went on without them).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_type_object() {
    PyTypeObject type = empty_type_object();
    // No dot in the name: Python reports the module as "builtins".
    type.tp_name = "SearchResult";
    type.tp_basicsize = sizeof(PySearchResult);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "A high-performance symbolic regression result.";
    type.tp_new = search_result_new;
    type.tp_dealloc = search_result_dealloc;
    type.tp_repr = search_result_repr;
    type.tp_str = search_result_str;
    type.tp_methods = methods;
    type.tp_getset = properties;
    return type;
}

PyTypeObject type_object = make_type_object();

}  // namespace

PyTypeObject* search_result_type() {
    // Readied on first use, once per process; a failure is raised and retried on the next use.
    static bool ready = false;
    if (!ready) {
        if (PyType_Ready(&type_object) < 0) return nullptr;
        ready = true;
    }
    return &type_object;
}

PyObject* wrap_result(SearchResult&& record, std::optional<bool> within_precision) {
    PyTypeObject* type = search_result_type();
    if (type == nullptr) return nullptr;
    std::string formula = display_formula(record);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<PySearchResult*>(self)->data)
        ResultData{std::move(record), std::move(formula), within_precision};
    return self;
}

bool add_search_result(PyObject* module) {
    return add_member(module, "SearchResult", reinterpret_cast<PyObject*>(search_result_type()));
}

}  // namespace kov::python
