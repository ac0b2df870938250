#pragma once

#include "python/py_ref.hpp"

namespace kov::python {

// Searches from different threads take turns, one whole search after another.
//
// The engine serialises its parallel loops with a lock of its own, and a thread that wants that
// lock waits for it holding the interpreter lock. A search's cancellation check runs inside those
// loops and runs Python signal handlers; a handler that lets other threads run (by sleeping,
// writing a file, or simply taking long) hands the interpreter lock to a thread that may start a
// search and wait for the engine's lock, while the handler waits for the interpreter lock:
// deadlock. Taking turns here, waiting with the interpreter lock released, orders the two locks.
//
// The same thread may take a turn again while it holds one (a signal handler or a progress write
// that searches), and a child process made by fork() starts with no turn taken.
class SearchTurn {
public:
    // Waits for the turn. While waiting, pending signals are handled every few milliseconds; if a
    // handler raises (Ctrl-C), the wait ends without the turn and the error stays set.
    SearchTurn();
    ~SearchTurn();
    SearchTurn(const SearchTurn&) = delete;
    SearchTurn& operator=(const SearchTurn&) = delete;

    [[nodiscard]] bool taken() const noexcept { return taken_; }

private:
    bool taken_ = false;
};

}  // namespace kov::python
