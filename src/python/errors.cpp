#include "python/errors.hpp"

#include "python/members.hpp"

namespace kov::python {
namespace {

// Exception types live in process-wide slots: the module serves a single interpreter, and raising
// must find the very type objects that the module exposes.
PyObject* exception_type(PyObject*& slot, const char* qualified_name) {
    if (slot == nullptr) slot = PyErr_NewException(qualified_name, nullptr, nullptr);
    return slot;
}

PyObject* dimension_error_slot = nullptr;
PyObject* complexity_error_slot = nullptr;
PyObject* runtime_error_slot = nullptr;

}  // namespace

PyObject* dimension_error_type() {
    return exception_type(dimension_error_slot, "kov_sr.KovDimensionError");
}

PyObject* complexity_error_type() {
    return exception_type(complexity_error_slot, "kov_sr.KovComplexityError");
}

PyObject* runtime_error_type() {
    return exception_type(runtime_error_slot, "kov_sr.KovRuntimeError");
}

PendingError map_error(const SearchError& error) {
    PyObject* type = error.kind == SearchError::Kind::InvalidInput ? dimension_error_type()
                                                                   : complexity_error_type();
    return PendingError{type, error.message()};
}

PyObject* raise(PyObject* type, std::string_view message) noexcept {
    if (type == nullptr) return nullptr;  // creating the type failed and set its own error
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

PyObject* raise(const PendingError& error) noexcept {
    return raise(error.type, error.message);
}

void SavedException::take_current() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    exception_ = PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    type_ = PyRef::steal(type);
    value_ = PyRef::steal(value);
    traceback_ = PyRef::steal(traceback);
#endif
}

void SavedException::restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception_.release());
#else
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

bool SavedException::holds() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return static_cast<bool>(exception_);
#else
    return static_cast<bool>(type_);
#endif
}

bool error_is_about_input() noexcept {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

bool add_exceptions(PyObject* module) {
    return add_member(module, "KovDimensionError", dimension_error_type()) &&
           add_member(module, "KovComplexityError", complexity_error_type()) &&
           add_member(module, "KovRuntimeError", runtime_error_type());
}

}  // namespace kov::python
