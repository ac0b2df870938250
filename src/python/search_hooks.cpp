#include "python/search_hooks.hpp"

#include <string>

namespace kov::python {
namespace {

// The engine polls far more often than a person can notice; checking the clock is cheaper than
// entering the interpreter's signal machinery on every poll.
constexpr std::chrono::milliseconds signal_check_interval{20};
// Often enough for a bar's clock to look alive, rarely enough to cost nothing.
constexpr std::chrono::milliseconds progress_tick_interval{200};

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
    SearchHooks engine_hooks = hooks();
    if (!config.verbose)
        engine_hooks.progress = nullptr;  // the lines go nowhere, not even to sys.stdout
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
    if (progress_callback_ != nullptr) {
        hooks.on_progress = [this](const ProgressEvent& event) { send_progress(event); };
    }
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
    // Elsewhere than on the main thread there is nothing to check, and not taking the lock keeps
    // the engine's parallel loops free of waits for it.
    if (!released_->on_main_thread()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_signal_check_ < signal_check_interval) return false;
    last_signal_check_ = now;
    const InterpreterLockRetaken locked(*released_);
    if (PyErr_CheckSignals() != 0) {
        error_.take_current();
        return true;
    }
    if (last_event_ && now - last_tick_ >= progress_tick_interval) {
        last_tick_ = now;
        const std::chrono::duration<double> since = now - last_event_time_;
        call_progress(last_event_->elapsed_seconds + since.count());
    }
    return failed();
}

void InterpreterHooks::send_progress(const ProgressEvent& event) {
    if (failed()) return;
    last_event_ = event;
    last_event_time_ = last_tick_ = std::chrono::steady_clock::now();
    const InterpreterLockRetaken locked(*released_);
    call_progress(event.elapsed_seconds);
}

// With the interpreter lock held.
void InterpreterHooks::call_progress(double elapsed) {
    const ProgressEvent& event = *last_event_;
    PyRef limit = event.time_limit ? PyRef::steal(PyFloat_FromDouble(*event.time_limit))
                                   : PyRef::borrow(Py_None);
    PyRef formula = PyRef::steal(PyUnicode_DecodeUTF8(
        event.best_formula.data(), static_cast<Py_ssize_t>(event.best_formula.size()), "replace"));
    if (!limit || !formula) {
        error_.take_current();
        return;
    }
    PyRef result = PyRef::steal(PyObject_CallFunction(
        progress_callback_, "KdOdO", static_cast<unsigned long long>(event.level), elapsed,
        limit.get(), event.best_error, formula.get()));
    if (!result) error_.take_current();
}

}  // namespace kov::python
