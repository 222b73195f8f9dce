// The native side of morlatch.Index: ranked search, completion, batches on
// native threads and key listing, over the trie of a PrefixSearch.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

// Adds the index functions to `module`.
void add_index_functions(PyObject* module);

}  // namespace morlatch::engine
