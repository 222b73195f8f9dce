// The PrefixSearch type: one trie store per instance, read-only for its life.
//
// _morlatch creates the type and the two functions that make instances;
// _engine reads instances and makes them too, through the same layout: it
// takes the type from _morlatch at import and refuses to load when the
// instance size there differs from its own (two builds mixed up).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding/ref.hpp"
#include "prefix/file/store.hpp"

namespace morlatch::binding {

struct PrefixSearchObject {
    PyObject_HEAD
        // Constructed in place by new_prefix_search, destroyed by dealloc.
        Store store;
};

// _morlatch: creates the type (once) and keeps it in the process state.
// Fails with RuntimeError "An error occurred while initializing class
// PrefixSearch" caused by the interpreter's error.
PyTypeObject* create_prefix_search_type();

// _engine: takes the type from the imported _morlatch into the process
// state; ImportError when its instance size is not sizeof(PrefixSearchObject).
void import_prefix_search_type();

// The module functions from_internal_data and from_bytes, in this order.
PyMethodDef* prefix_search_functions();

// A new PrefixSearch holding `store`.
OwnedRef new_prefix_search(Store store);

// The store of a PrefixSearch (or subclass) instance; TypeError "'<type>'
// object cannot be converted to 'PrefixSearch'" for anything else.
const Store& store_of(PyObject* obj);

}  // namespace morlatch::binding
