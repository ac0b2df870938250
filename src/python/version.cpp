#include "python/version.hpp"

#ifndef KOV_VERSION
#define KOV_VERSION "0+unknown"
#endif

namespace kov::python {

const char* package_version() noexcept {
    return KOV_VERSION;
}

bool add_version(PyObject* module) {
    return PyModule_AddStringConstant(module, "__version__", package_version()) == 0;
}

bool check_pickled_version(PyObject* pickled, const char* what) {
    PyRef module = PyRef::steal(PyImport_ImportModule("kov_sr.versions"));
    if (!module) return false;
    PyRef checked = PyRef::steal(
        PyObject_CallMethod(module.get(), "check_pickled_version", "Os", pickled, what));
    return static_cast<bool>(checked);
}

}  // namespace kov::python
