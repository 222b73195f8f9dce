#include "engine/key_functions.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/gil.hpp"
#include "binding/key_iterator.hpp"
#include "binding/prefix_search.hpp"
#include "binding/ref.hpp"
#include "engine/search_args.hpp"
#include "prefix/file/store.hpp"
#include "prefix/search/ranked.hpp"
#include "prefix/search/reach.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

// The store of a PrefixSearch argument, which must hold the search layout.
const Store& searchable(PyObject* obj) {
    return searchable_store(obj, "ranked search, completion and key listing need");
}

// ---- functions -------------------------------------------------------------

constexpr std::array<const char*, 1> key_count_params{"search"};
OwnedRef key_count_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg] = binding::bind("key_count", key_count_params, call);
    return binding::to_python(static_cast<std::uint64_t>(searchable(search_arg).key_count()));
}

// ---- key listing and reports ---------------------------------------------------

constexpr std::array<const char*, 3> keys_params{"search", "prefix", "items"};
OwnedRef keys_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg, prefix_arg, items_arg] = binding::bind("keys", keys_params, call);
    const Store& store = searchable(search_arg);
    const std::u32string prefix =
        binding::convert_argument("prefix", [&] { return binding::to_text(prefix_arg); });
    const int items = PyObject_IsTrue(items_arg);
    binding::check(items);
    return binding::new_key_iterator(search_arg, store.keys(prefix), items != 0);
}

// What a PrefixSearch holds, for reports: sizes, bytes, and whether (and in
// how long) its reverse index was built.
constexpr std::array<const char*, 1> layout_info_params{"search"};
OwnedRef layout_info_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg] = binding::bind("layout_info", layout_info_params, call);
    const StoreInfo store = searchable(search_arg).info();
    OwnedRef info = binding::new_ref(PyDict_New());
    auto put = [&](const char* name, OwnedRef value) {
        binding::check(PyDict_SetItemString(info.get(), name, value.get()));
    };
    put("nodes", binding::to_python(static_cast<std::uint64_t>(store.nodes)));
    put("keys", binding::to_python(static_cast<std::uint64_t>(store.keys)));
    // The object's header, then the store and what it holds.
    put("bytes", binding::to_python(static_cast<std::uint64_t>(sizeof(binding::PrefixSearchObject) -
                                                               sizeof(Store) + store.bytes)));
    put("arrays_kept", binding::new_ref(PyBool_FromLong(store.arrays_kept)));
    put("borrowed", binding::new_ref(PyBool_FromLong(store.borrowed)));
    put("reverse_index_built", binding::new_ref(PyBool_FromLong(store.reverse_index_built)));
    put("reverse_index_seconds", binding::new_ref(PyFloat_FromDouble(store.reverse_index_seconds)));
    return info;
}

// ---- stats -------------------------------------------------------------------

constexpr std::array<const char*, 1> stats_params{"search"};
OwnedRef stats_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg] = binding::bind("stats", stats_params, call);
    const Store& store = binding::store_of(search_arg);
    const StoreStats stats = store.stats();
    if (!stats.problem.empty()) {
        binding::throw_error(PyExc_ValueError, stats.problem);
    }
    OwnedRef info = binding::new_ref(PyDict_New());
    auto put = [&](const char* name, std::uint64_t value) {
        binding::check(PyDict_SetItemString(info.get(), name, binding::to_python(value).get()));
    };
    put("nodes", stats.nodes);
    put("keys", stats.keys);
    put("depth", stats.depth);
    put("bytes", store.encoded_size());
    return info;
}

PyMethodDef key_methods[] = {
    binding::method_def<key_count_function>("key_count", "key_count(search)\n--\n\n"),
    binding::method_def<layout_info_function>("layout_info", "layout_info(search)\n--\n\n"),
    binding::method_def<keys_function>("keys", "keys(search, prefix, items)\n--\n\n"),
    binding::method_def<stats_function>("stats", "stats(search)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_key_functions(PyObject* module) {
    binding::check(PyModule_AddFunctions(module, key_methods));
    // The largest max_dist the searches tell apart; the package caps to it.
    binding::check(PyModule_AddObjectRef(
        module, "DISTANCE_CAP", binding::new_ref(PyLong_FromUnsignedLongLong(kDistanceCap)).get()));
}

}  // namespace morlatch::engine
