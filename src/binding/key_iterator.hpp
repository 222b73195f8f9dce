// The KeyIterator type of morlatch._engine: the keys below a prefix of one
// PrefixSearch, one at a time in code-point order, as str or (str, payload).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "binding/ref.hpp"
#include "prefix/search/ranked.hpp"

namespace morlatch::binding {

// Creates the type (once) and keeps it in the process state.
PyTypeObject* create_key_iterator_type();

// A new iterator over `cursor`, which reads the store of `owner` (a
// PrefixSearch); the iterator keeps `owner` alive.
OwnedRef new_key_iterator(PyObject* owner, std::unique_ptr<KeyCursor> cursor, bool items);

}  // namespace morlatch::binding
