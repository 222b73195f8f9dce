// The morlatch._engine module: initialisation only. Its functions are in
// src/engine, its iterator type in binding/key_iterator, the read-only views
// it hands out in binding/borrowed_bytes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "binding/borrowed_bytes.hpp"
#include "binding/boundary.hpp"
#include "binding/key_iterator.hpp"
#include "binding/prefix_search.hpp"
#include "binding/ref.hpp"
#include "engine/build_functions.hpp"
#include "engine/catalog_functions.hpp"
#include "engine/context_functions.hpp"
#include "engine/format_functions.hpp"
#include "engine/key_functions.hpp"
#include "engine/mapped_functions.hpp"
#include "engine/search_functions.hpp"
#include "engine/spell_functions.hpp"
#include "engine/text_functions.hpp"
#include "engine/transport_functions.hpp"
#include "engine/weight_functions.hpp"

namespace morlatch {
namespace {

using binding::OwnedRef;

PyModuleDef engine_def = {
    PyModuleDef_HEAD_INIT,
    "morlatch._engine",
    "Native helpers of the morlatch package; not a public interface.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

OwnedRef init_engine() {
    // The PrefixSearch objects this module reads and makes are _morlatch's.
    binding::import_prefix_search_type();
    OwnedRef module = binding::new_ref(PyModule_Create2(&engine_def, PYTHON_API_VERSION));
    engine::add_format_functions(module.get());
    engine::add_key_functions(module.get());
    engine::add_search_functions(module.get());
    engine::add_weight_functions(module.get());
    engine::add_mapped_functions(module.get());
    engine::add_build_functions(module.get());
    engine::add_transport_functions(module.get());
    engine::add_catalog_functions(module.get());
    engine::add_spell_functions(module.get());
    engine::add_context_functions(module.get());
    engine::add_text_functions(module.get());
    binding::check(
        PyModule_AddObjectRef(module.get(), "KeyIterator",
                              reinterpret_cast<PyObject*>(binding::create_key_iterator_type())));
    binding::check(
        PyModule_AddObjectRef(module.get(), "BorrowedBytes",
                              reinterpret_cast<PyObject*>(binding::create_borrowed_bytes_type())));
    return module;
}

}  // namespace
}  // namespace morlatch

PyMODINIT_FUNC PyInit__engine() {
    return morlatch::binding::guarded(morlatch::init_engine);
}
