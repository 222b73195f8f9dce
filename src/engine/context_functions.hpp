// The word-context scores of morlatch._engine: what a speller's language
// model says of many candidate words between the same two neighbours.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

// Adds context_scores to `module`.
void add_context_functions(PyObject* module);

}  // namespace morlatch::engine
