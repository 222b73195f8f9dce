// The _morlatch module: initialisation only. The PrefixSearch type and the
// two functions that make its instances are in binding/prefix_search.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "base/texts.hpp"
#include "binding/boundary.hpp"
#include "binding/prefix_search.hpp"
#include "binding/process_state.hpp"
#include "binding/ref.hpp"

namespace morlatch {
namespace {

using binding::OwnedRef;
using binding::PythonError;

// Sets module.<obj.__name__> = obj and appends the name to __all__.
void add_to_module(PyObject* module, OwnedRef obj) {
    OwnedRef name = binding::new_ref(PyObject_GetAttrString(obj.get(), "__name__"));
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = binding::new_ref(PyList_New(0));
        binding::check(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    binding::check(PyList_Append(all.get(), name.get()));
    binding::check(PyObject_SetAttr(module, name.get(), obj.get()));
}

void add_function(PyObject* module, PyMethodDef* def) {
    OwnedRef module_name = binding::new_ref(PyModule_GetNameObject(module));
    add_to_module(module, binding::new_ref(PyCMethod_New(def, module, module_name.get(), nullptr)));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_morlatch",
    nullptr,
    // Not -1: with -1 CPython would copy the module into another interpreter
    // or into a re-import without calling the init function again.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

OwnedRef init_module() {
    binding::ProcessState& process = binding::process();
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, no_exception_set_message);
        }
        throw PythonError{};
    }
    std::int64_t expected = -1;
    if (!process.owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        binding::throw_error(PyExc_ImportError, subinterpreter_message);
    }
    if (process.module != nullptr) {
        return OwnedRef::incref(process.module);
    }
    OwnedRef module = binding::new_ref(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    // from_internal_data, then from_bytes, then the class.
    for (PyMethodDef* def = binding::prefix_search_functions(); def->ml_name != nullptr; ++def) {
        add_function(module.get(), def);
    }
    add_to_module(
        module.get(),
        OwnedRef::incref(reinterpret_cast<PyObject*>(binding::create_prefix_search_type())));
    process.module = OwnedRef::incref(module.get()).release();
    return module;
}

}  // namespace
}  // namespace morlatch

PyMODINIT_FUNC PyInit__morlatch() {
    return morlatch::binding::guarded(morlatch::init_module);
}
