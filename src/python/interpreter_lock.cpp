#include "python/interpreter_lock.hpp"

#include <chrono>
#include <thread>

namespace kov::python {
namespace {

bool interpreter_is_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// A thread that asks for the lock while the interpreter shuts down is ended by the interpreter with
// pthread_exit; the unwinding that causes would meet the catch-all handlers that keep C++
// exceptions away from the interpreter and abort the process. A search left running in a daemon
// thread at exit therefore parks here instead, until the process ends.
void take_back(PyThreadState* state) noexcept {
    while (interpreter_is_finalizing()) std::this_thread::sleep_for(std::chrono::seconds(1));
    PyEval_RestoreThread(state);
}

}  // namespace

InterpreterLockReleased::InterpreterLockReleased() noexcept : state_(PyEval_SaveThread()) {}

InterpreterLockReleased::~InterpreterLockReleased() {
    take_back(state_);
}

InterpreterLockRetaken::InterpreterLockRetaken(InterpreterLockReleased& released) noexcept
    : released_(released) {
    take_back(released_.state_);
}

InterpreterLockRetaken::~InterpreterLockRetaken() {
    released_.state_ = PyEval_SaveThread();
}

}  // namespace kov::python
