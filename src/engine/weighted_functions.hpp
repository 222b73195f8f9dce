// The native side of weighted ranking, completion and correction for
// morlatch.Index: a weight table type and the functions that read it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

// Adds the weighted functions and the WeightTable type to `module`.
void add_weighted_functions(PyObject* module);

}  // namespace morlatch::engine
