// The native side of index files that are read in place: opening the stored
// search layout of a mapped file (or a bytes buffer) and giving the node
// records to store.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

// Adds open_index and layout_sections to `module`.
void add_mapped_functions(PyObject* module);

}  // namespace morlatch::engine
