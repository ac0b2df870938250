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

}  // namespace

InterpreterLockReleased::InterpreterLockReleased() noexcept
    : main_thread_(_PyOS_IsMainThread() != 0), state_(PyEval_SaveThread()) {}

InterpreterLockReleased::~InterpreterLockReleased() noexcept(false) {
    take_back();
}

void InterpreterLockReleased::take_back() {
    while (!main_thread_ && interpreter_is_finalizing()) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    PyEval_RestoreThread(state_);
}

InterpreterLockRetaken::InterpreterLockRetaken(InterpreterLockReleased& released)
    : released_(released) {
    released_.take_back();
}

InterpreterLockRetaken::~InterpreterLockRetaken() {
    released_.state_ = PyEval_SaveThread();
}

}  // namespace kov::python
