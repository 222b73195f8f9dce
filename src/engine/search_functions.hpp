// The engine's searches over the trie of a PrefixSearch: ranked search,
// completion and correction, one text at a time or a batch on native
// threads, each with an optional weight table. Texts are read as code
// points (a lone surrogate is a character no key holds), so folded texts
// and plain ones take the same functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

void add_search_functions(PyObject* module);

}  // namespace morlatch::engine
