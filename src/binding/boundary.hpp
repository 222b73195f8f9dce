// The fault boundary: every entry from Python into the module goes through
// here, so that no C++ exception ever crosses into the interpreter.
//
//  * PythonError (the error indicator is already set) becomes a NULL return.
//  * A Fault (a broken invariant) is reported on standard error and raised as
//    the module's PanicException, which derives from BaseException.
//  * Running out of memory becomes MemoryError.
// If turning a failure into an exception fails in turn, the process aborts
// with "uncaught panic at ffi boundary": nothing else can safely be done.
#pragma once

#include <exception>
#include <string_view>

#include "binding/ref.hpp"

namespace morlatch::binding {

// The class of exceptions raised for internal faults, created on first use.
PyObject* panic_exception_type();

// Sets the current exception after a C++ exception was caught; called only
// from a catch handler. Returns normally in every case it can handle.
void set_error_from_current_exception() noexcept;

// Sets exc_type with message and returns nullptr, for flat error paths:
//     return raise(PyExc_TypeError, "...");
std::nullptr_t raise(PyObject* exc_type, std::string_view message);

// Runs body() and hands its OwnedRef result to CPython; any failure becomes a
// set exception and NULL.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// For entries that return nothing (deallocation): failures are reported as
// unraisable, since there is no caller to raise them to.
template <class Body>
void guarded_unraisable(PyObject* context, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        set_error_from_current_exception();
        PyErr_WriteUnraisable(context);
    }
}

}  // namespace morlatch::binding

namespace morlatch::binding {

// Takes the pending exception out of the error indicator, normalised, with
// its traceback attached. Null when none is set.
OwnedRef fetch_error() noexcept;

// Replaces the pending exception with exc_type(message), whose __cause__ is
// the replaced one. If that fails, the failure is what stays set.
void raise_from_pending(PyObject* exc_type, PyObject* message) noexcept;

// Sets exc_type with message and throws PythonError.
[[noreturn]] inline void throw_error(PyObject* exc_type, std::string_view message) {
    raise(exc_type, message);
    throw PythonError{};
}

}  // namespace morlatch::binding
