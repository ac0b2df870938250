#pragma once

#include "python/py_ref.hpp"

namespace kov::python {

// Sets `object` (borrowed; null means its creation failed with an error set) as the module
// attribute `name` and appends `name` to the module's __all__. False with a Python error set.
[[nodiscard]] bool add_member(PyObject* module, const char* name, PyObject* object);

// A method taking (self, args, kwargs) as the PyCFunction that METH_KEYWORDS method tables hold.
template <PyObject* (*Method)(PyObject*, PyObject*, PyObject*)>
[[nodiscard]] PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Method));
}

// A static type object with only its header set: the defining file fills in its slots. Static
// types live as long as the process, like the module that exposes them.
[[nodiscard]] inline PyTypeObject empty_type_object() {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    return type;
}

// The members of the module, each added by the file that defines it.
[[nodiscard]] bool add_searcher(PyObject* module);
[[nodiscard]] bool add_search_result(PyObject* module);
[[nodiscard]] bool add_exceptions(PyObject* module);
// The private `_operators`: (name, arity) of each built-in operator, in id order.
[[nodiscard]] bool add_operator_table(PyObject* module);
// The private `_searcher_options`: one tuple per option of Searcher, in the constructor's order,
// (name, default, keyword_only, doc, kind, minimum, minimum_included, finite, none_allowed,
// choices): kind "int", "float", "bool" or "str", minimum None when unbounded, choices a tuple.
[[nodiscard]] bool add_searcher_option_table(PyObject* module);

// The private functions of kov_sr.distributed, outside __all__.
[[nodiscard]] bool add_distributed(PyObject* module);

}  // namespace kov::python
