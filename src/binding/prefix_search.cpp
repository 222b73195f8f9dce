#include "binding/prefix_search.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "base/texts.hpp"
#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/gil.hpp"
#include "binding/process_state.hpp"
#include "format/codec.hpp"

namespace morlatch::binding {
namespace {

const Store& self_store(PyObject* self) {
    // CPython's method descriptors check the type before a method runs; this
    // covers any path where they do not.
    return store_of(self);
}

// Builds the store without the lock: the arrays belong to this call alone
// until the object exists.
Store make_store(Trie arrays) {
    const ReleasedGil released;
    return Store(std::move(arrays));
}

OwnedRef match_to_python(const Match& match) {
    return make_tuple(to_python(std::u32string_view(match.key)), to_python(match.payload),
                      to_python(match.distance));
}

// ---- methods -------------------------------------------------------------

constexpr std::array<const char*, 3> fuzzy_match_params{"prefix", "max_dist", "limit"};
OwnedRef fuzzy_match_method(PyObject* self, const FastCallArgs& call) {
    const Store& store = self_store(self);
    auto [prefix_arg, max_dist_arg, limit_arg] =
        bind("PrefixSearch.fuzzy_match", fuzzy_match_params, call);
    const std::u32string prefix = convert_argument("prefix", [&] { return to_text(prefix_arg); });
    const std::uint64_t max_dist =
        convert_argument("max_dist", [&] { return to_size(max_dist_arg); });
    const std::optional<std::uint64_t> limit =
        convert_argument("limit", [&] { return to_optional(limit_arg, to_size); });
    InterpreterLock lock;
    const HitList found = store.fuzzy_match(prefix, max_dist, limit, lock);
    return make_list(found.hits, [&](const HitList::Hit& hit) {
        return make_tuple(to_python(found.key(hit)), to_python(hit.payload),
                          to_python(std::uint64_t{hit.distance}));
    });
}

constexpr std::array<const char*, 1> exact_match_params{"prefix"};
OwnedRef exact_match_method(PyObject* self, const FastCallArgs& call) {
    const Store& store = self_store(self);
    auto [prefix_arg] = bind("PrefixSearch.exact_match", exact_match_params, call);
    const std::u32string prefix = convert_argument("prefix", [&] { return to_text(prefix_arg); });
    InterpreterLock lock;
    const std::optional<Match> match = store.exact_match(prefix, lock);
    if (!match) {
        return OwnedRef::incref(Py_None);
    }
    return match_to_python(*match);
}

constexpr std::array<const char*, 1> node_id_params{"node_id"};
OwnedRef get_children_method(PyObject* self, const FastCallArgs& call) {
    const Store& store = self_store(self);
    auto [node_id_arg] = bind("PrefixSearch.get_children", node_id_params, call);
    const NodeId node_id = convert_argument("node_id", [&] { return to_u32(node_id_arg); });
    return make_list(store.get_children(node_id), [](const Child& child) {
        return make_tuple(char_to_python(child.ch), to_python(child.id));
    });
}

OwnedRef get_payload_method(PyObject* self, const FastCallArgs& call) {
    const Store& store = self_store(self);
    auto [node_id_arg] = bind("PrefixSearch.get_payload", node_id_params, call);
    const NodeId node_id = convert_argument("node_id", [&] { return to_u32(node_id_arg); });
    return to_python(store.get_payload(node_id));
}

constexpr std::array<const char*, 0> no_params{};
OwnedRef to_bytes_method(PyObject* self, const FastCallArgs& call) {
    const Store& store = self_store(self);
    bind("PrefixSearch.to_bytes", no_params, call);
    // Measure first, then encode straight into the bytes object's buffer.
    const std::size_t size = store.encoded_size();
    OwnedRef bytes = new_ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    store.encode_into(std::span<std::uint8_t>(data, size));
    return bytes;
}

PyMethodDef methods[] = {
    method_def<fuzzy_match_method>("fuzzy_match",
                                   "fuzzy_match($self, prefix, max_dist, limit)\n--\n\n"),
    method_def<exact_match_method>("exact_match", "exact_match($self, prefix)\n--\n\n"),
    method_def<get_children_method>("get_children", "get_children($self, node_id)\n--\n\n"),
    method_def<get_payload_method>("get_payload", "get_payload($self, node_id)\n--\n\n"),
    method_def<to_bytes_method>("to_bytes", "to_bytes($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

// ---- the functions that make instances -------------------------------------

constexpr std::array<const char*, 4> from_internal_data_params{"node_shifts", "node_strings",
                                                               "node_payloads", "child_indices"};
OwnedRef from_internal_data_function(PyObject*, const FastCallArgs& call) {
    auto [shifts_arg, strings_arg, payloads_arg, children_arg] =
        bind("from_internal_data", from_internal_data_params, call);
    Trie trie;
    trie.node_shifts = convert_argument(
        "node_shifts", [&] { return to_vector<std::uint32_t>(shifts_arg, to_u32); });
    trie.node_chars = convert_argument("node_strings", [&] {
        return to_vector<std::optional<char32_t>>(strings_arg, to_first_char);
    });
    trie.node_payloads = convert_argument("node_payloads", [&] {
        return to_vector<std::optional<Payload>>(
            payloads_arg, [](PyObject* item) { return to_optional(item, to_u32); });
    });
    trie.child_indices = convert_argument(
        "child_indices", [&] { return to_vector<std::uint32_t>(children_arg, to_u32); });
    return new_prefix_search(make_store(std::move(trie)));
}

// Reads bs as bytes. bytes and bytearray come through the buffer protocol
// in one pass; any other sequence is converted element by element.
Trie decode_argument(PyObject* bs) {
    if (PyBytes_CheckExact(bs) || PyByteArray_CheckExact(bs)) {
        // Decoding runs no Python code, so the buffer cannot change meanwhile.
        const BufferView view(bs);
        return format::decode_or_fault(view.bytes());
    }
    const std::vector<std::uint8_t> bytes =
        convert_argument("bs", [&] { return to_vector<std::uint8_t>(bs, to_u8); });
    return format::decode_or_fault(bytes);
}

constexpr std::array<const char*, 1> from_bytes_params{"bs"};
OwnedRef from_bytes_function(PyObject*, const FastCallArgs& call) {
    auto [bs_arg] = bind("from_bytes", from_bytes_params, call);
    return new_prefix_search(make_store(decode_argument(bs_arg)));
}

PyMethodDef functions[] = {
    method_def<from_internal_data_function>(
        "from_internal_data",
        "from_internal_data(node_shifts, node_strings, node_payloads, child_indices)\n--\n\n"),
    method_def<from_bytes_function>("from_bytes", "from_bytes(bs)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

// ---- the type ----------------------------------------------------------------

PyObject* prefix_search_new(PyTypeObject* type, PyObject*, PyObject*) {
    OwnedRef name = OwnedRef::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return raise(PyExc_TypeError, no_constructor_unknown_message);
    }
    PyErr_Format(PyExc_TypeError, no_constructor_format, name.get());
    return nullptr;
}

void prefix_search_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    guarded_unraisable(self, [&] {
        reinterpret_cast<PrefixSearchObject*>(self)->store.~Store();
        type->tp_free(self);
    });
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace

PyTypeObject* create_prefix_search_type() {
    PyTypeObject*& cached = process().prefix_search_type;
    if (cached != nullptr) {
        return cached;
    }
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(prefix_search_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(prefix_search_dealloc)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    // The part of the name before the dot becomes __module__; "builtins"
    // keeps reprs and messages free of a module prefix.
    PyType_Spec type_spec = {"builtins.PrefixSearch", sizeof(PrefixSearchObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    OwnedRef type = OwnedRef::steal(PyType_FromSpec(&type_spec));
    if (!type) {
        OwnedRef message = new_ref(PyUnicode_FromString(class_init_error_message));
        raise_from_pending(PyExc_RuntimeError, message.get());
        throw PythonError{};
    }
    // tp_name is the type's own copy of the whole dotted type name, and
    // CPython prints it in the reprs of the class and its instances and in
    // messages ("cannot pickle 'PrefixSearch' object"). They show the bare
    // class name, as with an undotted type name, which would leave
    // __module__ unset and raise a DeprecationWarning; so tp_name points at
    // the class part of that copy. No attribute of the type changes.
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.release());
    type_object->tp_name = std::strrchr(type_object->tp_name, '.') + 1;
    cached = type_object;
    return cached;
}

void import_prefix_search_type() {
    if (process().prefix_search_type != nullptr) {
        return;
    }
    OwnedRef module = new_ref(PyImport_ImportModule("_morlatch"));
    OwnedRef found = new_ref(PyObject_GetAttrString(module.get(), "PrefixSearch"));
    if (!PyType_Check(found.get())) {
        throw_error(PyExc_ImportError, "_morlatch.PrefixSearch is not a type");
    }
    const Py_ssize_t size = reinterpret_cast<PyTypeObject*>(found.get())->tp_basicsize;
    if (size != static_cast<Py_ssize_t>(sizeof(PrefixSearchObject))) {
        throw_error(PyExc_ImportError,
                    "_morlatch.PrefixSearch instances take " + std::to_string(size) +
                        " bytes, but this module was built for " +
                        std::to_string(sizeof(PrefixSearchObject)) +
                        ": _morlatch and morlatch._engine come from different builds");
    }
    process().prefix_search_type = reinterpret_cast<PyTypeObject*>(found.release());
}

PyMethodDef* prefix_search_functions() {
    return functions;
}

OwnedRef new_prefix_search(Store store) {
    PyTypeObject* type = process().prefix_search_type;
    OwnedRef obj = new_ref(type->tp_alloc(type, 0));
    new (&reinterpret_cast<PrefixSearchObject*>(obj.get())->store) Store(std::move(store));
    return obj;
}

const Store& store_of(PyObject* obj) {
    PyTypeObject* type = process().prefix_search_type;
    if (type == nullptr || !PyObject_TypeCheck(obj, type)) {
        throw_cannot_convert(obj, prefix_search_target_name);
    }
    return reinterpret_cast<const PrefixSearchObject*>(obj)->store;
}

}  // namespace morlatch::binding
