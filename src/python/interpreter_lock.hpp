#pragma once

#include "python/py_ref.hpp"

namespace kov::python {

// Releases the calling thread's interpreter lock for its lifetime, so that other Python threads run
// while the engine works. Nothing may touch a Python object until the lock is taken back, either
// for good when this goes out of scope (an exception included) or for a while with an
// InterpreterLockRetaken.
//
// Taking the lock back is not noexcept: while the interpreter shuts down it ends a daemon thread
// that waits for the lock with pthread_exit, which unwinds the thread's stack. A thread that would
// start to wait once the shutdown has begun, or that is being unwound already, stays parked until
// the process ends instead (the main thread, which runs the shutdown, never waits).
class InterpreterLockReleased {
public:
    InterpreterLockReleased() noexcept;
    ~InterpreterLockReleased() noexcept(false);
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

    // Python runs signal handlers (Ctrl-C) on the main thread only.
    [[nodiscard]] bool on_main_thread() const noexcept { return main_thread_; }

private:
    friend class InterpreterLockRetaken;
    void take_back();

    bool main_thread_;
    PyThreadState* state_;
};

// Holds the interpreter lock again for its lifetime, inside an InterpreterLockReleased of the same
// thread: for the few places where a search calls Python.
class InterpreterLockRetaken {
public:
    explicit InterpreterLockRetaken(InterpreterLockReleased& released);
    ~InterpreterLockRetaken();
    InterpreterLockRetaken(const InterpreterLockRetaken&) = delete;
    InterpreterLockRetaken& operator=(const InterpreterLockRetaken&) = delete;

private:
    InterpreterLockReleased& released_;
};

}  // namespace kov::python
