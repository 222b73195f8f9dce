// The byte-format helpers of morlatch._engine.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

// Adds check_bytes to `module`.
void add_format_functions(PyObject* module);

}  // namespace morlatch::engine
