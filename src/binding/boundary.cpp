#include "binding/boundary.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/fault.hpp"
#include "base/texts.hpp"
#include "binding/process_state.hpp"

namespace morlatch::binding {

namespace {

constexpr const char* panic_doc =
    "Raised when the native code called from Python hits an internal fault.\n\n"
    "Like SystemExit, this exception derives from BaseException and not from\n"
    "Exception, so that it usually travels up the whole stack and makes the\n"
    "interpreter exit instead of being swallowed by `except Exception:`.";

const char* current_thread_name() {
    // The main thread is the one whose id is the process id.
    return syscall(SYS_gettid) == getpid() ? main_thread_name : other_thread_name;
}

void report(const char* message, const std::source_location* where) {
    if (where != nullptr) {
        std::fprintf(stderr, panic_report_format, current_thread_name(), where->file_name(),
                     static_cast<unsigned>(where->line()), static_cast<unsigned>(where->column()),
                     message);
    } else {
        std::fprintf(stderr, panic_report_format_without_location, current_thread_name(), message);
    }
    std::fflush(stderr);
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // creating the class failed and left that error set
    }
    OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(message, std::strlen(message), "replace"));
    if (!text) {
        return;
    }
    PyErr_SetObject(type, text.get());
}

[[noreturn]] void abort_at_boundary() {
    std::fputs(boundary_abort_message, stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

PyObject* panic_exception_type() {
    PyObject*& type = process().panic_type;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(panic_exception_name, panic_doc, PyExc_BaseException,
                                         nullptr);
    }
    return type;
}

void set_error_from_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const PythonError&) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, no_exception_set_message);
            }
        } catch (const Fault& fault) {
            report(fault.message().c_str(), &fault.where());
            raise_panic(fault.message().c_str());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            report(error.what(), nullptr);
            raise_panic(error.what());
        } catch (...) {
            report(generic_fault_message, nullptr);
            raise_panic(generic_fault_message);
        }
    } catch (...) {
        abort_at_boundary();
    }
}

OwnedRef fetch_error() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return OwnedRef();
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    OwnedRef owned_type = OwnedRef::steal(type);
    OwnedRef owned_traceback = OwnedRef::steal(traceback);
    if (owned_traceback && value != nullptr) {
        PyException_SetTraceback(value, owned_traceback.get());
    }
    return OwnedRef::steal(value);
}

void raise_from_pending(PyObject* exc_type, PyObject* message) noexcept {
    OwnedRef cause = fetch_error();
    OwnedRef error = OwnedRef::steal(PyObject_CallOneArg(exc_type, message));
    if (!error) {
        return;
    }
    if (cause) {
        PyException_SetCause(error.get(), cause.release());  // steals the cause
    }
    PyErr_SetObject(exc_type, error.get());
}

std::nullptr_t raise(PyObject* exc_type, std::string_view message) {
    OwnedRef text = OwnedRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) {
        PyErr_SetObject(exc_type, text.get());
    }
    return nullptr;
}

}  // namespace morlatch::binding
