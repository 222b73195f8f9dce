// What lives as long as the process: created once, never released, and
// handed out again on later imports. Both modules refuse a second
// interpreter (_engine through its import of _morlatch), so one copy per
// process is right; objects from one interpreter must not reach another.
//
// Each extension module links its own copy of the binding library and so has
// its own holder: _morlatch fills in its module, the PrefixSearch type it
// creates and its panic class; _engine the PrefixSearch type it takes from
// _morlatch at import, its key iterator and borrowed bytes types and its own
// panic class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace morlatch::binding {

struct ProcessState {
    PyObject* module = nullptr;
    PyTypeObject* prefix_search_type = nullptr;
    PyTypeObject* key_iterator_type = nullptr;
    PyTypeObject* borrowed_bytes_type = nullptr;
    // The class of the exceptions raised for internal faults (boundary.hpp).
    PyObject* panic_type = nullptr;
    // The interpreter that imported the module first.
    std::atomic<std::int64_t> owner_interpreter{-1};
};

ProcessState& process();

}  // namespace morlatch::binding
