// kov_sr._core._operators: (name, arity) of every built-in operator in id order, from the operator
// table, so that the Python side (the SymPy export) follows the same table as the engine.

#include <cstddef>

#include "ops/builtin_table.hpp"
#include "python/members.hpp"

namespace kov::python {

bool add_operator_table(PyObject* module) {
    PyRef table = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(builtin_table.size())));
    if (!table) return false;
    for (std::size_t id = 0; id < builtin_table.size(); ++id) {
        const BuiltinRow& row = builtin_table[id];
        PyObject* entry =
            Py_BuildValue("(s#I)", row.name.data(), static_cast<Py_ssize_t>(row.name.size()),
                          static_cast<unsigned>(row.arity));
        if (entry == nullptr) return false;
        PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(id), entry);
    }
    // Private, outside __all__.
    return PyModule_AddObjectRef(module, "_operators", table.get()) == 0;
}

}  // namespace kov::python
