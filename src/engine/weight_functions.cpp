#include "engine/weight_functions.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/batch.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/gil.hpp"
#include "binding/prefix_search.hpp"
#include "binding/ref.hpp"
#include "engine/search_args.hpp"
#include "prefix/file/store.hpp"
#include "prefix/ranking/weighted.hpp"
#include "prefix/search/ranked.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

// ---- reading the arguments ---------------------------------------------------

// The search layout of a PrefixSearch argument.
const CompactTrie& compact_of(PyObject* obj) {
    return searchable_store(obj, "weighted ranking needs").layout();
}

// ---- the table type -------------------------------------------------------------

struct WeightTableObject {
    PyObject_HEAD
        // The PrefixSearch whose trie the table describes; kept alive by it.
        PyObject* owner;
    WeightTable* table;
};

PyTypeObject* weight_table_type = nullptr;

void weight_table_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = reinterpret_cast<WeightTableObject*>(self);
    delete object->table;
    Py_XDECREF(object->owner);
    type->tp_free(self);
    Py_DECREF(type);
}

OwnedRef wrap_table(PyObject* search, std::unique_ptr<WeightTable> table) {
    OwnedRef obj = binding::new_ref(weight_table_type->tp_alloc(weight_table_type, 0));
    auto* object = reinterpret_cast<WeightTableObject*>(obj.get());
    object->owner = OwnedRef::incref(search).release();
    object->table = table.release();
    return obj;
}

const WeightTable& table_of(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, weight_table_type)) {
        binding::throw_cannot_convert(obj, "WeightTable");
    }
    return *reinterpret_cast<const WeightTableObject*>(obj)->table;
}

std::uint64_t key_nodes(const CompactTrie& trie) {
    return trie.key_count() - (trie.is_key(CompactTrie::kRoot) ? 1 : 0);
}

// weight_table(search, keys, codes, floats): the weight codes of the given
// keys (others weigh 0); KeyError(key) for a key that is not in the trie.
constexpr std::array<const char*, 4> weight_table_params{"search", "keys", "codes", "floats"};
OwnedRef weight_table_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg, keys_arg, codes_arg, floats_arg] =
        binding::bind("weight_table", weight_table_params, call);
    const CompactTrie& trie = compact_of(search_arg);
    const std::vector<std::u32string> keys = binding::convert_argument(
        "keys", [&] { return binding::to_vector<std::u32string>(keys_arg, query_text); });
    const std::vector<std::uint64_t> codes = binding::convert_argument(
        "codes", [&] { return binding::to_vector<std::uint64_t>(codes_arg, binding::to_size); });
    if (keys.size() != codes.size()) {
        binding::throw_error(PyExc_ValueError, "keys and codes differ in length");
    }
    std::vector<Weight> by_node(trie.node_count(), 0);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::optional<NodeId> node = trie.find(keys[i]);
        if (!node || *node == CompactTrie::kRoot || !trie.is_key(*node)) {
            OwnedRef key = binding::to_python(std::u32string_view(keys[i]));
            PyErr_SetObject(PyExc_KeyError, key.get());
            throw binding::PythonError{};
        }
        by_node[*node] = codes[i];
    }
    return wrap_table(search_arg,
                      std::make_unique<WeightTable>(trie, std::move(by_node), truth(floats_arg)));
}

// weight_table_from_bytes(search, data, floats): a table from the bytes that
// weight_table_bytes wrote (one little-endian 64-bit code per key, in key
// order); ValueError when their number is not the number of keys.
constexpr std::array<const char*, 3> from_bytes_params{"search", "data", "floats"};
OwnedRef weight_table_from_bytes_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg, data_arg, floats_arg] =
        binding::bind("weight_table_from_bytes", from_bytes_params, call);
    const CompactTrie& trie = compact_of(search_arg);
    if (!PyBytes_Check(data_arg)) {
        binding::throw_cannot_convert(data_arg, "bytes");
    }
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(data_arg));
    if (size != key_nodes(trie) * sizeof(Weight)) {
        binding::throw_error(PyExc_ValueError,
                             "the weights do not match the keys: " + std::to_string(size) +
                                 " bytes for " + std::to_string(key_nodes(trie)) + " keys");
    }
    std::vector<Weight> weights(size / sizeof(Weight));
    const char* bytes = PyBytes_AS_STRING(data_arg);
    for (std::size_t i = 0; i < weights.size(); ++i) {
        std::uint64_t code = 0;
        for (std::size_t b = 0; b < sizeof(Weight); ++b) {
            code |= std::uint64_t{static_cast<unsigned char>(bytes[i * sizeof(Weight) + b])}
                    << (8 * b);
        }
        weights[i] = code;
    }
    const bool floats = truth(floats_arg);
    return wrap_table(search_arg, std::make_unique<WeightTable>(
                                      WeightTable::from_key_order(trie, weights, floats)));
}

constexpr std::array<const char*, 1> table_params{"table"};
OwnedRef weight_table_bytes_function(PyObject*, const FastCallArgs& call) {
    auto [table_arg] = binding::bind("weight_table_bytes", table_params, call);
    const std::vector<Weight> weights = table_of(table_arg).in_key_order();
    std::string bytes(weights.size() * sizeof(Weight), '\0');
    for (std::size_t i = 0; i < weights.size(); ++i) {
        for (std::size_t b = 0; b < sizeof(Weight); ++b) {
            bytes[i * sizeof(Weight) + b] = static_cast<char>((weights[i] >> (8 * b)) & 0xFF);
        }
    }
    return binding::new_ref(
        PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

constexpr std::array<const char*, 2> weight_of_params{"table", "key"};
OwnedRef weight_of_function(PyObject*, const FastCallArgs& call) {
    auto [table_arg, key_arg] = binding::bind("weight_of", weight_of_params, call);
    const WeightTable& table = table_of(table_arg);
    const std::u32string key =
        binding::convert_argument("key", [&] { return query_text(key_arg); });
    const std::optional<NodeId> node = table.trie().find(key);
    if (!node || *node == CompactTrie::kRoot || !table.trie().is_key(*node)) {
        return OwnedRef::incref(Py_None);
    }
    return binding::to_python(static_cast<std::uint64_t>(table.weight(*node)));
}

OwnedRef table_bytes_held_function(PyObject*, const FastCallArgs& call) {
    auto [table_arg] = binding::bind("weight_table_size", table_params, call);
    return binding::to_python(static_cast<std::uint64_t>(table_of(table_arg).memory_bytes()));
}

PyMethodDef weight_methods[] = {
    binding::method_def<weight_table_function>("weight_table",
                                               "weight_table(search, keys, codes, floats)\n--\n\n"),
    binding::method_def<weight_table_from_bytes_function>(
        "weight_table_from_bytes", "weight_table_from_bytes(search, data, floats)\n--\n\n"),
    binding::method_def<weight_table_bytes_function>("weight_table_bytes",
                                                     "weight_table_bytes(table)\n--\n\n"),
    binding::method_def<table_bytes_held_function>("weight_table_size",
                                                   "weight_table_size(table)\n--\n\n"),
    binding::method_def<weight_of_function>("weight_of", "weight_of(table, key)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const WeightTable* optional_table(PyObject* obj, const CompactTrie& trie) {
    if (obj == Py_None) {
        return nullptr;
    }
    const WeightTable& table = table_of(obj);
    if (&table.trie() != &trie) {
        binding::throw_error(PyExc_ValueError, "these weights belong to another trie");
    }
    return &table;
}

void add_weight_functions(PyObject* module) {
    if (weight_table_type == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(weight_table_dealloc)},
            {0, nullptr},
        };
        PyType_Spec type_spec = {
            "morlatch._engine.WeightTable", sizeof(WeightTableObject), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
            slots};
        weight_table_type = reinterpret_cast<PyTypeObject*>(
            binding::new_ref(PyType_FromSpec(&type_spec)).release());
    }
    binding::check(PyModule_AddFunctions(module, weight_methods));
    binding::check(PyModule_AddObjectRef(module, "WeightTable",
                                         reinterpret_cast<PyObject*>(weight_table_type)));
}

}  // namespace morlatch::engine
