#include "python/search_turn.hpp"

#include <pthread.h>

#include <chrono>
#include <mutex>
#include <new>

#include "python/interpreter_lock.hpp"

namespace kov::python {
namespace {

constexpr std::chrono::milliseconds signal_check_interval{20};

// Never destroyed: a search may still run in a daemon thread while the interpreter exits.
std::recursive_timed_mutex& turn() {
    static std::recursive_timed_mutex* mutex = new std::recursive_timed_mutex;
    return *mutex;
}

// In a forked child the turn may be held by a thread that does not exist there: start afresh
// (the old one is deliberately leaked).
void forget_turn_in_child() {
    new (&turn()) std::recursive_timed_mutex;
}

void install_fork_handler() {
    static const bool installed = [] {
        pthread_atfork(nullptr, nullptr, forget_turn_in_child);
        return true;
    }();
    (void)installed;
}

}  // namespace

SearchTurn::SearchTurn() {
    install_fork_handler();
    if (turn().try_lock()) {
        taken_ = true;
        return;
    }
    for (;;) {
        bool locked = false;
        {
            const InterpreterLockReleased released;
            locked = turn().try_lock_for(signal_check_interval);
        }
        if (locked) {
            taken_ = true;
            return;
        }
        if (PyErr_CheckSignals() != 0) return;
    }
}

SearchTurn::~SearchTurn() {
    if (taken_) turn().unlock();
}

}  // namespace kov::python
