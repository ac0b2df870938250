#pragma once

#include "python/py_ref.hpp"

#include <chrono>
#include <optional>
#include <string_view>

#include "engine/entry/run_bfs.hpp"
#include "python/conversion.hpp"
#include "python/errors.hpp"
#include "python/interpreter_lock.hpp"

namespace kov::python {

// Connects a running search to the interpreter. The search runs with the interpreter lock
// released, so that other Python threads (servers, progress monitors, event loops) keep running;
// the engine calls both hooks on the calling thread, and they take the lock back for their Python
// calls only.
//   progress: each line goes to the current sys.stdout and is flushed, so notebooks,
//             contextlib.redirect_stdout and test capture see the lines as they come.
//   should_cancel: polls for signals so that Ctrl-C stops a search that may run for minutes
//                (on the main thread: Python handles signals nowhere else).
//   on_progress: with a progress callback, calls it with (level, elapsed, time_limit, best_error,
//                best_formula) after each level, and on the main thread a few times a second in
//                between with the elapsed time brought up to date, so that a bar keeps moving.
// The first Python error (a failed write, the KeyboardInterrupt) is kept and stops the search; the
// caller raises it once run_bfs has returned.
class InterpreterHooks {
public:
    // Runs run_bfs on owned copies of the inputs with the interpreter lock released; called, and
    // returning, with the lock held.
    [[nodiscard]] SearchOutcome run(const Matrix& rows, const Vector& targets,
                                    const SearchConfig& config);

    [[nodiscard]] bool failed() const noexcept { return error_.holds(); }
    // A Python callable to receive the progress events (borrowed: the caller keeps it alive for
    // the search). Null: none.
    void set_progress_callback(PyObject* callback) noexcept { progress_callback_ = callback; }
    // Sets the kept error as the current Python error again. Returns null.
    PyObject* raise_kept_error() noexcept;

private:
    void write_line(std::string_view line);
    bool should_cancel();
    void send_progress(const ProgressEvent& event);
    void call_progress(double elapsed);

    SearchHooks hooks();

    InterpreterLockReleased* released_ = nullptr;  // set while run() runs the engine
    SavedException error_;
    std::chrono::steady_clock::time_point last_signal_check_{};
    PyObject* progress_callback_ = nullptr;
    std::optional<ProgressEvent> last_event_;
    std::chrono::steady_clock::time_point last_event_time_{};
    std::chrono::steady_clock::time_point last_tick_{};
};

}  // namespace kov::python
