// The entry trampoline: turns a body taking (self, arguments) and returning an
// OwnedRef into a METH_FASTCALL | METH_KEYWORDS function that runs the body
// inside the fault boundary.
#pragma once

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/ref.hpp"

namespace morlatch::binding {

using EntryBody = OwnedRef (*)(PyObject*, const FastCallArgs&);

template <EntryBody Body>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    return guarded([&] {
        return Body(self, FastCallArgs{args, PyVectorcall_NARGS(nargs), kwnames});
    });
}

template <EntryBody Body>
PyMethodDef method_def(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace morlatch::binding
