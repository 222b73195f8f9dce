// The catalog's native functions (catalog/catalog.hpp) for morlatch.Catalog.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morlatch::engine {

void add_catalog_functions(PyObject* module);

}  // namespace morlatch::engine
