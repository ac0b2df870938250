#pragma once

#include "python/py_ref.hpp"

#include <chrono>
#include <string_view>

#include "engine/bfs.hpp"
#include "python/errors.hpp"

namespace kov::python {

// Connects a running search to the interpreter. The engine calls both hooks on the calling thread,
// which holds the interpreter lock for the whole search.
//   progress: each line goes to the current sys.stdout and is flushed, so notebooks,
//             contextlib.redirect_stdout and test capture see the lines as they come.
//   should_cancel: polls for signals so that Ctrl-C stops a search that may run for minutes.
// The first Python error (a failed write, the KeyboardInterrupt) is kept and stops the search; the
// caller raises it once run_bfs has returned.
class InterpreterHooks {
public:
    [[nodiscard]] SearchHooks hooks();

    [[nodiscard]] bool failed() const noexcept { return error_.holds(); }
    // Sets the kept error as the current Python error again. Returns null.
    PyObject* raise_kept_error() noexcept;

private:
    void write_line(std::string_view line);
    bool should_cancel();

    SavedException error_;
    std::chrono::steady_clock::time_point last_signal_check_{};
};

}  // namespace kov::python
