#pragma once

#include "python/py_ref.hpp"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/search/result.hpp"

namespace kov::python {

// The module's exception types. Each is created on first use, kept for the life of the process and
// returned as a borrowed reference; null (with the Python error set) only if creation failed.
[[nodiscard]] PyObject* dimension_error_type();
[[nodiscard]] PyObject* complexity_error_type();
[[nodiscard]] PyObject* runtime_error_type();

// An error on its way to the interpreter: the exception type and its message. No Python exception
// object exists until `raise` instantiates one.
struct PendingError {
    PyObject* type;  // borrowed: one of the process-wide exception types
    std::string message;
};

// NoFormulaFound -> KovComplexityError, InvalidInput -> KovDimensionError, each with the engine's
// message. A cancelled search never reaches here: the interrupt that cancelled it is raised
// instead.
[[nodiscard]] PendingError map_error(const SearchError& error);

// Sets the exception with the message (a str) as its only argument and returns null, so that
// callers can write `return raise(...)`.
PyObject* raise(PyObject* type, std::string_view message) noexcept;
PyObject* raise(const PendingError& error) noexcept;

// The current Python error, taken out of the interpreter so that other Python calls can run, and
// put back later.
class SavedException {
public:
    void take_current() noexcept;
    void restore() noexcept;
    [[nodiscard]] bool holds() const noexcept;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyRef exception_;
#else
    PyRef type_;
    PyRef value_;
    PyRef traceback_;
#endif
};

// Runs the body of a function called by the interpreter. No C++ exception may unwind into CPython:
// running out of memory becomes MemoryError, anything else KovRuntimeError. A length_error is a
// request for more elements than a container can address (a sequence reporting a length of 2**62,
// say): memory that cannot be had, so MemoryError too. The one thing let through is the unwinding
// with which the interpreter ends a thread that waits for the interpreter lock while the
// interpreter shuts down (a daemon thread's search at exit): swallowing it aborts the process.
template <class Body>
PyObject* guarded(Body&& body) {
    // The C++ runtime keeps its exception state in thread-local storage that, in a module loaded
    // at run time, is allocated on the thread's first use; should that first use be throwing
    // bad_alloc, the allocation fails too and the process exits. Touch it while memory is there.
    (void)std::current_exception();
    try {
        return body();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& failure) {
        return raise(runtime_error_type(), failure.what());
    } catch (...) {
        return raise(runtime_error_type(), "unexpected internal error");
    }
}

// True when a conversion's error may be replaced by the conversion's own fixed message. Running out
// of memory and interrupts (KeyboardInterrupt, SystemExit) are not about the input and pass
// through.
[[nodiscard]] bool error_is_about_input() noexcept;

}  // namespace kov::python
