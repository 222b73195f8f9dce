// Running native work without the interpreter's lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "binding/ref.hpp"
#include "prefix/file/store.hpp"
#include "prefix/interrupt.hpp"

namespace morlatch::binding {

// The interpreter's lock as a store sees it: held on entry, let go and taken
// back by the store around work that reads only its own memory. Its
// interrupt runs the pending signal handlers (a Ctrl-C raises
// KeyboardInterrupt there) and abandons the work when one of them raised;
// while the lock is let go it takes it back for that moment.
class InterpreterLock final : public CallerLock {
public:
    InterpreterLock() noexcept = default;
    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;
    ~InterpreterLock() { reacquire(); }

    void release() override { saved_ = PyEval_SaveThread(); }
    void reacquire() noexcept override {
        if (saved_ != nullptr) {
            PyEval_RestoreThread(saved_);
            saved_ = nullptr;
        }
    }
    Interrupt interrupt() noexcept override { return Interrupt(&check_signals, this); }

    // Runs body() with the lock taken back for a moment. If it throws, the
    // lock stays held while the exception unwinds.
    template <class Body>
    void with_lock(Body&& body) {
        reacquire();
        body();
        release();
    }

private:
    static void check_signals(void* context) {
        auto* self = static_cast<InterpreterLock*>(context);
        const bool released = self->saved_ != nullptr;
        self->reacquire();
        if (PyErr_CheckSignals() < 0) {
            // The lock stays held while the error unwinds to the boundary.
            throw PythonError{};
        }
        if (released) {
            self->release();
        }
    }

    // Non-null while the lock is let go.
    PyThreadState* saved_ = nullptr;
};

// Releases the lock for its lifetime. Nothing in its scope may touch a
// Python object, except through the interrupt, which takes the lock back for
// a moment.
class ReleasedGil {
public:
    ReleasedGil() { lock_.release(); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    Interrupt interrupt() noexcept { return lock_.interrupt(); }
    // Runs body() with the lock taken back for a moment.
    template <class Body>
    void with_lock(Body&& body) {
        lock_.with_lock(std::forward<Body>(body));
    }

private:
    InterpreterLock lock_;
};

}  // namespace morlatch::binding
