#include "python/search_hooks.hpp"

#include <string>

namespace kov::python {
namespace {

// The engine polls far more often than a person can notice; checking the clock is cheaper than
// entering the interpreter's signal machinery on every poll.
constexpr std::chrono::milliseconds signal_check_interval{20};

bool call_method(PyObject* object, const char* name, PyObject* argument) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!method) return false;
    PyRef result = PyRef::steal(argument != nullptr ? PyObject_CallOneArg(method.get(), argument)
                                                    : PyObject_CallNoArgs(method.get()));
    return static_cast<bool>(result);
}

}  // namespace

SearchOutcome InterpreterHooks::run(const Matrix& rows, const Vector& targets,
                                    const SearchConfig& config) {
    const SearchHooks engine_hooks = hooks();
    InterpreterLockReleased released;
    released_ = &released;
    SearchOutcome outcome = run_bfs(rows, targets, config, engine_hooks);
    released_ = nullptr;
    return outcome;
}

SearchHooks InterpreterHooks::hooks() {
    SearchHooks hooks;
    hooks.progress = [this](std::string_view line) { write_line(line); };
    hooks.should_cancel = [this] { return should_cancel(); };
    return hooks;
}

PyObject* InterpreterHooks::raise_kept_error() noexcept {
    error_.restore();
    return nullptr;
}

void InterpreterHooks::write_line(std::string_view line) {
    if (failed()) return;
    const InterpreterLockRetaken locked(*released_);
    // Looked up for every line: the caller may swap sys.stdout while the search runs. Like print(),
    // write nothing when there is no stdout.
    PyRef out = PyRef::borrow(PySys_GetObject("stdout"));
    if (!out || out.get() == Py_None) return;
    std::string text(line);
    text += '\n';
    PyRef str = PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!str || !call_method(out.get(), "write", str.get()) ||
        !call_method(out.get(), "flush", nullptr)) {
        error_.take_current();
    }
}

bool InterpreterHooks::should_cancel() {
    if (failed()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_signal_check_ < signal_check_interval) return false;
    last_signal_check_ = now;
    const InterpreterLockRetaken locked(*released_);
    if (PyErr_CheckSignals() == 0) return false;
    error_.take_current();
    return true;
}

}  // namespace kov::python
