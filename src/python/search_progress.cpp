#include "python/search_progress.hpp"

#include "python/errors.hpp"

namespace kov::python {

std::optional<SearchProgress> SearchProgress::from_argument(PyObject* argument,
                                                            const SearchConfig& config) {
    SearchProgress progress;
    if (argument == nullptr || argument == Py_None || argument == Py_False) return progress;
    if (argument == Py_True) {
        PyRef module = PyRef::steal(PyImport_ImportModule("kov_sr.progress"));
        if (!module) return std::nullopt;
        PyRef limit = config.time_limit ? PyRef::steal(PyFloat_FromDouble(*config.time_limit))
                                        : PyRef::borrow(Py_None);
        if (!limit) return std::nullopt;
        progress.callback_ =
            PyRef::steal(PyObject_CallMethod(module.get(), "ProgressBar", "O", limit.get()));
        if (!progress.callback_) return std::nullopt;
        progress.owned_bar_ = true;
        return progress;
    }
    if (!PyCallable_Check(argument)) {
        PyErr_Format(PyExc_TypeError, "progress must be a bool or a callable, not %.200s",
                     Py_TYPE(argument)->tp_name);
        return std::nullopt;
    }
    progress.callback_ = PyRef::borrow(argument);
    return progress;
}

SearchProgress::~SearchProgress() {
    if (!owned_bar_ || !callback_) return;
    // The search's own error (Ctrl-C) stays the one raised.
    SavedException pending;
    pending.take_current();
    PyRef closed = PyRef::steal(PyObject_CallMethod(callback_.get(), "close", nullptr));
    if (!closed) PyErr_Clear();
    pending.restore();
}

}  // namespace kov::python
