// Answers of a batch of searches as one flat byte string, for morlatch.dask:
// a worker packs what Index.search_many returned, the client rebuilds the
// same lists of named tuples without pickle's per-object cost.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

// Adds pack_answers and unpack_answers to `module`.
void add_transport_functions(PyObject* module);

}  // namespace morlatch::engine
