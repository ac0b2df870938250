#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kov::python {

// An owning reference to a Python object. Whether a raw pointer is new or borrowed is stated at the
// point where it enters (steal or borrow), so every reference is released exactly once, on every
// path out of a function, including the early returns of error handling.
class PyRef {
public:
    PyRef() = default;
    ~PyRef() { Py_XDECREF(object_); }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    // Takes over a new reference (what most C API calls return); null stays null.
    [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference of its own to a borrowed pointer.
    [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller, typically as a function's return value.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// A buffer exported by an object (a NumPy array), released when the view goes out of scope. The
// exporter keeps its memory pinned until the release, so the data must be copied out before.
class BufferView {
public:
    BufferView() = default;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    // False, with the exporter's Python error set, when the object does not export such a buffer.
    [[nodiscard]] bool acquire(PyObject* object, int flags) {
        held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
        return held_;
    }
    [[nodiscard]] const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace kov::python
