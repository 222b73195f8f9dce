// The engine's key listing and reports over the trie of a PrefixSearch: the
// key count, the keys below a prefix, the layout's sizes and the arrays'
// statistics.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

void add_key_functions(PyObject* module);

}  // namespace morlatch::engine
