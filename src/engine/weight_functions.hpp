// The engine's weight tables: the WeightTable type and the functions that
// make, store and read one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "prefix/layout/compact.hpp"
#include "prefix/ranking/weighted.hpp"

namespace morlatch::engine {

void add_weight_functions(PyObject* module);

// The table argument of a search over `trie`: None means no weights;
// ValueError for a table of another trie.
const WeightTable* optional_table(PyObject* obj, const CompactTrie& trie);

}  // namespace morlatch::engine
