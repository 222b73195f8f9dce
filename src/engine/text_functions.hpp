// The text side of morlatch._engine: the words of a text that a speller
// checks, with their lower-case forms and neighbours, in one pass.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

// Adds text_words to `module`.
void add_text_functions(PyObject* module);

}  // namespace morlatch::engine
