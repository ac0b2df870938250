#pragma once

#include "python/py_ref.hpp"

namespace kov::python {

// Releases the calling thread's interpreter lock for its lifetime, so that other Python threads run
// while the engine works. Nothing may touch a Python object until the lock is taken back, either
// for good when this goes out of scope (an exception included) or for a while with a
// InterpreterLockRetaken.
class InterpreterLockReleased {
public:
    InterpreterLockReleased() noexcept;
    ~InterpreterLockReleased();
    InterpreterLockReleased(const InterpreterLockReleased&) = delete;
    InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

private:
    friend class InterpreterLockRetaken;
    PyThreadState* state_;
};

// Holds the interpreter lock again for its lifetime, inside an InterpreterLockReleased of the same
// thread: for the few places where a search calls Python.
class InterpreterLockRetaken {
public:
    explicit InterpreterLockRetaken(InterpreterLockReleased& released) noexcept;
    ~InterpreterLockRetaken();
    InterpreterLockRetaken(const InterpreterLockRetaken&) = delete;
    InterpreterLockRetaken& operator=(const InterpreterLockRetaken&) = delete;

private:
    InterpreterLockReleased& released_;
};

}  // namespace kov::python
