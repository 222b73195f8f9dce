// Running native work without the interpreter's lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding/ref.hpp"
#include "prefix/interrupt.hpp"

namespace morlatch::binding {

// Releases the lock for its lifetime. Nothing in its scope may touch a
// Python object, except through the interrupt below, which takes the lock
// back for a moment.
class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() {
        if (state_ != nullptr) {
            PyEval_RestoreThread(state_);
        }
    }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    // An interrupt that runs the interpreter's pending signal handlers (a
    // Ctrl-C raises KeyboardInterrupt there) and abandons the work when one
    // of them raised.
    Interrupt interrupt() noexcept { return Interrupt(&check_signals, this); }

    // Runs body() with the lock taken back for a moment. If it throws, the
    // lock stays held while the exception unwinds.
    template <class Body>
    void with_lock(Body&& body) {
        PyEval_RestoreThread(state_);
        state_ = nullptr;
        body();
        state_ = PyEval_SaveThread();
    }

private:
    static void check_signals(void* context) {
        auto* self = static_cast<ReleasedGil*>(context);
        PyEval_RestoreThread(self->state_);
        if (PyErr_CheckSignals() < 0) {
            // The lock stays held while the error unwinds to the boundary.
            self->state_ = nullptr;
            throw PythonError{};
        }
        self->state_ = PyEval_SaveThread();
    }

    PyThreadState* state_;
};

// The same check for work that runs with the lock held.
inline Interrupt signal_interrupt() noexcept {
    return Interrupt(
        [](void*) {
            if (PyErr_CheckSignals() < 0) {
                throw PythonError{};
            }
        },
        nullptr);
}

}  // namespace morlatch::binding
