// The native side of morlatch.build, Index and layout: keys checked by the
// package are laid out by the one builder (prefix/layout/builder.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

// Adds build and layout to `module`.
void add_build_functions(PyObject* module);

}  // namespace morlatch::engine
