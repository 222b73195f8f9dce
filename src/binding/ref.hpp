// Holders for Python object references.
//
// Who owns what:
//  * OwnedRef holds a strong reference and releases it when it goes away.
//    Make one with OwnedRef::steal() from a C API call that returns a new
//    reference, or with OwnedRef::incref() from a borrowed pointer that must
//    outlive its lender. new_ref() does the former and turns NULL into
//    PythonError, so a failed call never needs a second look.
//  * A plain PyObject* is borrowed: somebody else guarantees its lifetime
//    (arguments, list items read while the list is held, cached globals).
// The only way a reference leaves an OwnedRef is release(), used where the
// C API steals a reference or where a result is handed back to CPython.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace morlatch::binding {

// Thrown when the Python error indicator is already set; the boundary turns
// it into a NULL return.
struct PythonError {};

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        OwnedRef(std::move(other)).swap(*this);
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(p_); }

    static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
    static OwnedRef incref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return OwnedRef(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void swap(OwnedRef& other) noexcept { std::swap(p_, other.p_); }

private:
    explicit OwnedRef(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Takes over the new reference returned by a C API call; NULL means the call
// failed and left an exception set.
inline OwnedRef new_ref(PyObject* p) {
    if (p == nullptr) {
        throw PythonError{};
    }
    return OwnedRef::steal(p);
}

// For C API calls that report failure with -1 and an exception set.
inline void check(int status) {
    if (status < 0) {
        throw PythonError{};
    }
}

}  // namespace morlatch::binding
