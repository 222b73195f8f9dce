// The _morlatch module: initialisation, the PrefixSearch type and its
// methods, and the two module functions that build PrefixSearch objects.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/gil.hpp"
#include "binding/prefix_search.hpp"
#include "binding/ref.hpp"
#include "format/codec.hpp"
#include "prefix/compact.hpp"
#include "prefix/query.hpp"
#include "prefix/trie.hpp"
#include "texts.hpp"

namespace morlatch {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;
using binding::PrefixSearchObject;
using binding::PythonError;

// What lives for the whole process: the module and the PrefixSearch type,
// each created once and handed out again on later imports (the panic
// exception class sits beside them in the boundary). The module refuses to be
// imported by a second interpreter, so one copy per process is right.
struct ProcessState {
    PyObject* module = nullptr;
    PyTypeObject* prefix_search_type = nullptr;
    std::atomic<std::int64_t> owner_interpreter{-1};
};
ProcessState process;

PrefixSearchObject& as_prefix_search(PyObject* self) {
    // CPython's method descriptors check the type before a method runs; this
    // covers any path where they do not.
    if (!PyObject_TypeCheck(self, process.prefix_search_type)) {
        binding::throw_cannot_convert(self, prefix_search_target_name);
    }
    return *reinterpret_cast<PrefixSearchObject*>(self);
}

OwnedRef new_prefix_search(Trie trie) {
    std::unique_ptr<const CompactTrie> compact;
    bool arrays_in_layout = false;
    {
        // The arrays belong to this call alone until the object exists.
        binding::ReleasedGil released;
        compact = CompactTrie::build(trie);
        if (compact && compact->reproduces(trie)) {
            arrays_in_layout = true;
            trie = Trie{};
            release_free_memory();
        }
    }
    PyTypeObject* type = process.prefix_search_type;
    OwnedRef obj = binding::new_ref(type->tp_alloc(type, 0));
    auto* instance = reinterpret_cast<PrefixSearchObject*>(obj.get());
    new (&instance->trie) Trie(std::move(trie));
    new (&instance->compact) std::unique_ptr<const CompactTrie>(std::move(compact));
    instance->arrays_in_layout = arrays_in_layout;
    return obj;
}

OwnedRef match_to_python(const Match& match) {
    return binding::make_tuple(binding::to_python(std::u32string_view(match.key)),
                               binding::to_python(match.payload),
                               binding::to_python(match.distance));
}

// ---- methods -------------------------------------------------------------

constexpr std::array<const char*, 3> fuzzy_match_params{"prefix", "max_dist", "limit"};
OwnedRef fuzzy_match_method(PyObject* self, const FastCallArgs& call) {
    const PrefixSearchObject& search = as_prefix_search(self);
    auto [prefix_arg, max_dist_arg, limit_arg] =
        binding::bind("PrefixSearch.fuzzy_match", fuzzy_match_params, call);
    const std::u32string prefix =
        binding::convert_argument("prefix", [&] { return binding::to_text(prefix_arg); });
    const std::uint64_t max_dist =
        binding::convert_argument("max_dist", [&] { return binding::to_size(max_dist_arg); });
    const std::optional<std::uint64_t> limit = binding::convert_argument(
        "limit", [&] { return binding::to_optional(limit_arg, binding::to_size); });
    if (search.compact) {
        HitList found;
        if (max_dist == 0) {
            // A path lookup: shorter than handing the lock over and back.
            Interrupt none;
            found = search.compact->search(prefix, max_dist, limit, none);
        } else {
            // The layout is read-only and the object outlives the call.
            binding::ReleasedGil released;
            Interrupt interrupt = released.interrupt();
            found = search.compact->search(prefix, max_dist, limit, interrupt);
        }
        return binding::make_list(found.hits, [&](const HitList::Hit& hit) {
            return binding::make_tuple(binding::to_python(found.key(hit)),
                                       binding::to_python(hit.payload),
                                       binding::to_python(std::uint64_t{hit.distance}));
        });
    }
    // Arrays that failed the check: the plain walk, with the lock held.
    Interrupt interrupt = binding::signal_interrupt();
    const std::vector<Match> matches = fuzzy_match(search.trie, prefix, max_dist, limit, interrupt);
    return binding::make_list(matches, match_to_python);
}

constexpr std::array<const char*, 1> exact_match_params{"prefix"};
OwnedRef exact_match_method(PyObject* self, const FastCallArgs& call) {
    const PrefixSearchObject& search = as_prefix_search(self);
    auto [prefix_arg] = binding::bind("PrefixSearch.exact_match", exact_match_params, call);
    const std::u32string prefix =
        binding::convert_argument("prefix", [&] { return binding::to_text(prefix_arg); });
    Interrupt interrupt = binding::signal_interrupt();
    const std::optional<Match> match = search.compact ? search.compact->exact_match(prefix)
                                                      : exact_match(search.trie, prefix, interrupt);
    if (!match) {
        return OwnedRef::incref(Py_None);
    }
    return match_to_python(*match);
}

constexpr std::array<const char*, 1> node_id_params{"node_id"};
OwnedRef get_children_method(PyObject* self, const FastCallArgs& call) {
    const PrefixSearchObject& search = as_prefix_search(self);
    auto [node_id_arg] = binding::bind("PrefixSearch.get_children", node_id_params, call);
    const NodeId node_id =
        binding::convert_argument("node_id", [&] { return binding::to_u32(node_id_arg); });
    const std::vector<Child> children = search.arrays_in_layout
                                            ? search.compact->get_children(node_id)
                                            : search.trie.get_children(node_id);
    return binding::make_list(children, [](const Child& child) {
        return binding::make_tuple(binding::char_to_python(child.ch), binding::to_python(child.id));
    });
}

OwnedRef get_payload_method(PyObject* self, const FastCallArgs& call) {
    const PrefixSearchObject& search = as_prefix_search(self);
    auto [node_id_arg] = binding::bind("PrefixSearch.get_payload", node_id_params, call);
    const NodeId node_id =
        binding::convert_argument("node_id", [&] { return binding::to_u32(node_id_arg); });
    return binding::to_python(search.arrays_in_layout ? search.compact->get_payload(node_id)
                                                      : search.trie.get_payload(node_id));
}

constexpr std::array<const char*, 0> no_params{};
OwnedRef to_bytes_method(PyObject* self, const FastCallArgs& call) {
    const PrefixSearchObject& search = as_prefix_search(self);
    binding::bind("PrefixSearch.to_bytes", no_params, call);
    const Trie regenerated = search.arrays_in_layout ? search.compact->to_trie() : Trie{};
    const Trie& trie = search.arrays_in_layout ? regenerated : search.trie;
    // Measure first, then encode straight into the bytes object's buffer.
    const std::size_t size = format::encoded_size(trie);
    OwnedRef bytes =
        binding::new_ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    format::encode_into(trie, std::span<std::uint8_t>(data, size));
    return bytes;
}

// ---- module functions ----------------------------------------------------

constexpr std::array<const char*, 4> from_internal_data_params{"node_shifts", "node_strings",
                                                               "node_payloads", "child_indices"};
OwnedRef from_internal_data_function(PyObject*, const FastCallArgs& call) {
    auto [shifts_arg, strings_arg, payloads_arg, children_arg] =
        binding::bind("from_internal_data", from_internal_data_params, call);
    Trie trie;
    trie.node_shifts = binding::convert_argument("node_shifts", [&] {
        return binding::to_vector<std::uint32_t>(shifts_arg, binding::to_u32);
    });
    trie.node_chars = binding::convert_argument("node_strings", [&] {
        return binding::to_vector<std::optional<char32_t>>(strings_arg, binding::to_first_char);
    });
    trie.node_payloads = binding::convert_argument("node_payloads", [&] {
        return binding::to_vector<std::optional<Payload>>(payloads_arg, [](PyObject* item) {
            return binding::to_optional(item, binding::to_u32);
        });
    });
    trie.child_indices = binding::convert_argument("child_indices", [&] {
        return binding::to_vector<std::uint32_t>(children_arg, binding::to_u32);
    });
    return new_prefix_search(std::move(trie));
}

// Reads bs as bytes. bytes and bytearray come through the buffer protocol
// in one pass; any other sequence is converted element by element.
Trie decode_argument(PyObject* bs) {
    if (PyBytes_CheckExact(bs) || PyByteArray_CheckExact(bs)) {
        Py_buffer view;
        binding::check(PyObject_GetBuffer(bs, &view, PyBUF_SIMPLE));
        struct Release {
            Py_buffer* view;
            ~Release() { PyBuffer_Release(view); }
        } release{&view};
        // Decoding runs no Python code, so the buffer cannot change meanwhile.
        return format::decode_or_fault(std::span<const std::uint8_t>(
            static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)));
    }
    const std::vector<std::uint8_t> bytes = binding::convert_argument(
        "bs", [&] { return binding::to_vector<std::uint8_t>(bs, binding::to_u8); });
    return format::decode_or_fault(bytes);
}

constexpr std::array<const char*, 1> from_bytes_params{"bs"};
OwnedRef from_bytes_function(PyObject*, const FastCallArgs& call) {
    auto [bs_arg] = binding::bind("from_bytes", from_bytes_params, call);
    return new_prefix_search(decode_argument(bs_arg));
}

// ---- entry points --------------------------------------------------------

// Every method and function enters through this trampoline, so that all of
// them share the fault boundary.
template <OwnedRef (*Body)(PyObject*, const FastCallArgs&)>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    return binding::guarded([&] {
        return Body(self, FastCallArgs{args, PyVectorcall_NARGS(nargs), kwnames});
    });
}

template <OwnedRef (*Body)(PyObject*, const FastCallArgs&)>
PyMethodDef method_def(const char* name, const char* signature) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Body>)),
            METH_FASTCALL | METH_KEYWORDS, signature};
}

PyMethodDef prefix_search_methods[] = {
    method_def<fuzzy_match_method>("fuzzy_match",
                                   "fuzzy_match($self, prefix, max_dist, limit)\n--\n\n"),
    method_def<exact_match_method>("exact_match", "exact_match($self, prefix)\n--\n\n"),
    method_def<get_children_method>("get_children", "get_children($self, node_id)\n--\n\n"),
    method_def<get_payload_method>("get_payload", "get_payload($self, node_id)\n--\n\n"),
    method_def<to_bytes_method>("to_bytes", "to_bytes($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef from_internal_data_def = method_def<from_internal_data_function>(
    "from_internal_data",
    "from_internal_data(node_shifts, node_strings, node_payloads, child_indices)\n--\n\n");
PyMethodDef from_bytes_def =
    method_def<from_bytes_function>("from_bytes", "from_bytes(bs)\n--\n\n");

PyObject* prefix_search_new(PyTypeObject* type, PyObject*, PyObject*) {
    OwnedRef name = OwnedRef::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return binding::raise(PyExc_TypeError, no_constructor_unknown_message);
    }
    PyErr_Format(PyExc_TypeError, no_constructor_format, name.get());
    return nullptr;
}

void prefix_search_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    binding::guarded_unraisable(self, [&] {
        auto* instance = reinterpret_cast<PrefixSearchObject*>(self);
        instance->compact.~unique_ptr();
        instance->trie.~Trie();
        type->tp_free(self);
    });
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyTypeObject* prefix_search_type() {
    if (process.prefix_search_type != nullptr) {
        return process.prefix_search_type;
    }
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(prefix_search_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(prefix_search_dealloc)},
        {Py_tp_methods, prefix_search_methods},
        {0, nullptr},
    };
    // The part of the name before the dot becomes __module__; "builtins"
    // keeps reprs and messages free of a module prefix.
    PyType_Spec type_spec = {"builtins.PrefixSearch", sizeof(PrefixSearchObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    OwnedRef type = OwnedRef::steal(PyType_FromSpec(&type_spec));
    if (!type) {
        OwnedRef message = binding::new_ref(PyUnicode_FromString(class_init_error_message));
        binding::raise_from_pending(PyExc_RuntimeError, message.get());
        throw PythonError{};
    }
    // tp_name is the type's own copy of the whole dotted type name, and
    // CPython prints it in the reprs of the class and its instances and in
    // messages ("cannot pickle 'PrefixSearch' object"). They show the bare
    // class name, as with an undotted type name, which would leave
    // __module__ unset and raise a DeprecationWarning; so tp_name points at
    // the class part of that copy. No attribute of the type changes.
    PyTypeObject* type_object = reinterpret_cast<PyTypeObject*>(type.release());
    type_object->tp_name = std::strrchr(type_object->tp_name, '.') + 1;
    process.prefix_search_type = type_object;
    return process.prefix_search_type;
}

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
    add_function(module.get(), &from_internal_data_def);
    add_function(module.get(), &from_bytes_def);
    add_to_module(module.get(),
                  OwnedRef::incref(reinterpret_cast<PyObject*>(prefix_search_type())));
    process.module = OwnedRef::incref(module.get()).release();
    return module;
}

}  // namespace
}  // namespace morlatch

PyMODINIT_FUNC PyInit__morlatch() {
    return morlatch::binding::guarded(morlatch::init_module);
}
