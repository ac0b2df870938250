// The extension module kov_sr._core: its initialisation entry and nothing else. Each member is
// defined and added by its own file.

#include <atomic>
#include <cstdint>

#include "python/members.hpp"
#include "python/pickling.hpp"
#include "python/py_ref.hpp"
#include "python/version.hpp"

namespace kov::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kov_sr._core",
    "The main Python module entry point.",
    // No per-module state. Not -1: with -1 the interpreter would rebuild a re-imported module from
    // a copy of its dict, in any interpreter, without calling PyInit__core, bypassing the
    // single-interpreter check and making a second module object.
    0,
    nullptr,  // no module-level functions
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module serves one interpreter per process: its type objects are process-wide statics, and an
// object of one interpreter must never reach another. -1 means no interpreter has claimed it yet.
std::atomic<std::int64_t> owning_interpreter{-1};

PyObject* module_slot = nullptr;

bool claim_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return false;
    std::int64_t expected = -1;
    if (owning_interpreter.compare_exchange_strong(expected, id) || expected == id) return true;
    PyErr_SetString(PyExc_ImportError,
                    "kov_sr can be imported by one interpreter per process only");
    return false;
}

PyObject* create_module() {
    PyRef module = PyRef::steal(PyModule_Create(&module_definition));
    if (!module) return nullptr;
    // Member order is the order of __all__.
    if (!add_searcher(module.get())) return nullptr;
    if (!add_search_result(module.get())) return nullptr;
    if (!add_exceptions(module.get())) return nullptr;
    if (!add_reconstructors(module.get())) return nullptr;
    if (!add_operator_table(module.get())) return nullptr;
    if (!add_searcher_option_table(module.get())) return nullptr;
    if (!add_distributed(module.get())) return nullptr;
    if (!add_version(module.get())) return nullptr;
    return module.release();
}

}  // namespace
}  // namespace kov::python

PyMODINIT_FUNC PyInit__core() {
    using namespace kov::python;
    if (!claim_interpreter()) return nullptr;
    if (module_slot == nullptr) {
        module_slot = create_module();
        if (module_slot == nullptr) return nullptr;
    }
    Py_INCREF(module_slot);
    return module_slot;
}
