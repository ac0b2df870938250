#include "python/members.hpp"

namespace kov::python {
namespace {

// The module's __all__, created as an empty list on first use.
PyObject* all_list(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* names = PyDict_GetItemString(dict, "__all__");
    if (names != nullptr) return names;
    PyRef fresh = PyRef::steal(PyList_New(0));
    if (!fresh || PyDict_SetItemString(dict, "__all__", fresh.get()) < 0) return nullptr;
    return fresh.get();  // the module's dict now holds it
}

}  // namespace

bool add_member(PyObject* module, const char* name, PyObject* object) {
    if (object == nullptr) return false;
    if (PyModule_AddObjectRef(module, name, object) < 0) return false;
    PyObject* names = all_list(module);
    if (names == nullptr) return false;
    PyRef entry = PyRef::steal(PyUnicode_FromString(name));
    return entry && PyList_Append(names, entry.get()) == 0;
}

}  // namespace kov::python
