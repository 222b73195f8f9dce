// The native side of morlatch.ErrorModel: a learned channel held in a
// capsule, and the function that scores candidate words with it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

// Adds the spelling functions to `module`.
void add_spell_functions(PyObject* module);

}  // namespace morlatch::engine
