#pragma once

#include "python/py_ref.hpp"

namespace kov::python {

// Searches from different threads take turns, one whole search after another.
//
// The engine serialises its parallel loops with a lock of its own. A search holds that lock while
// it runs without the interpreter lock, and takes the interpreter lock back inside those loops for
// its progress lines and its cancellation check (which runs Python signal handlers). A thread that
// waited for the engine's lock holding the interpreter lock would deadlock with it. Taking turns
// here, waiting with the interpreter lock released, orders the two locks.
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
