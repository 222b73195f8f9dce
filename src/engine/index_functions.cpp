#include "engine/index_functions.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/gil.hpp"
#include "binding/prefix_search.hpp"
#include "binding/ref.hpp"
#include "prefix/band.hpp"
#include "prefix/ranked.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;
using binding::PythonError;

// _morlatch's PrefixSearch type, looked up once and kept for the process
// (_morlatch itself lives in one interpreter per process).
PyTypeObject* prefix_search_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        OwnedRef module = binding::new_ref(PyImport_ImportModule("_morlatch"));
        OwnedRef found = binding::new_ref(PyObject_GetAttrString(module.get(), "PrefixSearch"));
        if (!PyType_Check(found.get())) {
            binding::throw_error(PyExc_TypeError, "_morlatch.PrefixSearch is not a type");
        }
        type = reinterpret_cast<PyTypeObject*>(found.release());
    }
    return type;
}

// The search layout of a PrefixSearch argument, read in place.
const CompactTrie& compact_of(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, prefix_search_type())) {
        binding::throw_cannot_convert(obj, "PrefixSearch");
    }
    const auto* search = reinterpret_cast<const binding::PrefixSearchObject*>(obj);
    if (!search->compact) {
        binding::throw_error(PyExc_ValueError,
                             "this trie's arrays are not well formed: ranked search, completion "
                             "and key listing need every node reached exactly once from the root "
                             "and the children of each node in strictly ascending code-point "
                             "order");
    }
    return *search->compact;
}

// The named tuple class that results are made of: a tuple subclass with no
// fields of its own.
PyTypeObject* match_type_of(PyObject* obj) {
    if (!PyType_Check(obj)) {
        binding::throw_cannot_convert(obj, "type");
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj);
    if (!PyType_IsSubtype(type, &PyTuple_Type) || type->tp_basicsize != PyTuple_Type.tp_basicsize ||
        type->tp_itemsize != PyTuple_Type.tp_itemsize) {
        binding::throw_error(PyExc_TypeError, "match_type must be a plain tuple subclass");
    }
    return type;
}

OwnedRef match_to_python(PyTypeObject* type, const Match& match) {
    OwnedRef key = binding::to_python(std::u32string_view(match.key));
    OwnedRef payload = binding::to_python(match.payload);
    OwnedRef distance = binding::to_python(match.distance);
    OwnedRef tuple = binding::new_ref(type->tp_alloc(type, 3));
    PyTuple_SET_ITEM(tuple.get(), 0, key.release());
    PyTuple_SET_ITEM(tuple.get(), 1, payload.release());
    PyTuple_SET_ITEM(tuple.get(), 2, distance.release());
    return tuple;
}

OwnedRef matches_to_python(PyTypeObject* type, const std::vector<Match>& matches) {
    return binding::make_list(matches, [type](const Match& m) { return match_to_python(type, m); });
}

RankedOptions options_of(PyObject* max_dist, PyObject* limit, PyObject* transpositions) {
    RankedOptions options;
    options.max_dist =
        binding::convert_argument("max_dist", [&] { return binding::to_size(max_dist); });
    options.limit = binding::convert_argument(
        "limit", [&] { return binding::to_optional(limit, binding::to_size); });
    const int swap = PyObject_IsTrue(transpositions);
    binding::check(swap);
    options.transpositions = swap != 0;
    return options;
}

// ---- functions -------------------------------------------------------------

constexpr std::array<const char*, 1> key_count_params{"search"};
OwnedRef key_count_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg] = binding::bind("key_count", key_count_params, call);
    return binding::to_python(static_cast<std::uint64_t>(compact_of(search_arg).key_count()));
}

using RankedQuery = std::vector<Match> (*)(const CompactTrie&, std::u32string_view,
                                           const RankedOptions&, Interrupt&);

template <RankedQuery Query>
OwnedRef one_query(const char* name, const char* text_param, const FastCallArgs& call) {
    const std::array<const char*, 6> params{"search", text_param,       "max_dist",
                                            "limit",  "transpositions", "match_type"};
    auto [search_arg, text_arg, max_dist_arg, limit_arg, swap_arg, type_arg] =
        binding::bind(name, params, call);
    const CompactTrie& trie = compact_of(search_arg);
    const std::u32string text =
        binding::convert_argument(text_param, [&] { return binding::to_text(text_arg); });
    const RankedOptions options = options_of(max_dist_arg, limit_arg, swap_arg);
    PyTypeObject* type = match_type_of(type_arg);
    std::vector<Match> matches;
    {
        binding::ReleasedGil released;
        Interrupt interrupt = released.interrupt();
        matches = Query(trie, text, options, interrupt);
    }
    return matches_to_python(type, matches);
}

OwnedRef search_function(PyObject*, const FastCallArgs& call) {
    return one_query<ranked_search>("search", "query", call);
}

OwnedRef complete_function(PyObject*, const FastCallArgs& call) {
    return one_query<complete>("complete", "prefix", call);
}

// Thrown inside a worker thread once another one failed or was interrupted.
struct Cancelled {};

void check_cancelled(void* flag) {
    if (static_cast<std::atomic<bool>*>(flag)->load(std::memory_order_relaxed)) {
        throw Cancelled{};
    }
}

constexpr std::array<const char*, 7> search_many_params{
    "search", "queries", "max_dist", "limit", "transpositions", "workers", "match_type"};
OwnedRef search_many_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg, queries_arg, max_dist_arg, limit_arg, swap_arg, workers_arg, type_arg] =
        binding::bind("search_many", search_many_params, call);
    const CompactTrie& trie = compact_of(search_arg);
    const std::vector<std::u32string> queries = binding::convert_argument("queries", [&] {
        return binding::to_vector<std::u32string>(queries_arg, binding::to_text);
    });
    const RankedOptions options = options_of(max_dist_arg, limit_arg, swap_arg);
    std::uint64_t workers =
        binding::convert_argument("workers", [&] { return binding::to_size(workers_arg); });
    PyTypeObject* type = match_type_of(type_arg);
    if (workers == 0) {
        workers = std::max(1u, std::thread::hardware_concurrency());
    }
    workers = std::min<std::uint64_t>(workers, std::max<std::size_t>(queries.size(), 1));

    std::vector<std::vector<Match>> results(queries.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex failure_mutex;
    std::exception_ptr failure;
    // Each worker takes the next query until none is left or one failed.
    auto work = [&](Interrupt& interrupt) {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= queries.size()) {
                return;
            }
            results[i] = ranked_search(trie, queries[i], options, interrupt);
        }
    };
    {
        binding::ReleasedGil released;
        std::vector<std::jthread> threads;
        for (std::uint64_t w = 1; w < workers; ++w) {
            try {
                threads.emplace_back([&] {
                    try {
                        Interrupt interrupt(&check_cancelled, &stop);
                        work(interrupt);
                    } catch (const Cancelled&) {
                    } catch (...) {
                        const std::lock_guard lock(failure_mutex);
                        if (!failure) {
                            failure = std::current_exception();
                        }
                        stop = true;
                    }
                });
            } catch (const std::system_error&) {
                break;  // fewer threads than asked for still do the work
            }
        }
        // This thread works too, and alone watches for Ctrl-C.
        try {
            Interrupt interrupt = released.interrupt();
            work(interrupt);
        } catch (...) {
            stop = true;
            threads.clear();  // joins
            throw;
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return binding::make_list(results, [type](const std::vector<Match>& matches) {
        return matches_to_python(type, matches);
    });
}

// ---- the key iterator --------------------------------------------------------

struct KeyIteratorObject {
    PyObject_HEAD
        // The PrefixSearch whose trie the cursor reads; kept alive by this.
        PyObject* owner;
    KeyCursor* cursor;
    bool items;
};

PyTypeObject* key_iterator_type = nullptr;

constexpr std::array<const char*, 3> keys_params{"search", "prefix", "items"};
OwnedRef keys_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg, prefix_arg, items_arg] = binding::bind("keys", keys_params, call);
    const CompactTrie& trie = compact_of(search_arg);
    const std::u32string prefix =
        binding::convert_argument("prefix", [&] { return binding::to_text(prefix_arg); });
    const int items = PyObject_IsTrue(items_arg);
    binding::check(items);
    auto cursor = std::make_unique<KeyCursor>(trie, prefix);
    OwnedRef obj = binding::new_ref(key_iterator_type->tp_alloc(key_iterator_type, 0));
    auto* iterator = reinterpret_cast<KeyIteratorObject*>(obj.get());
    iterator->owner = OwnedRef::incref(search_arg).release();
    iterator->cursor = cursor.release();
    iterator->items = items != 0;
    return obj;
}

PyObject* key_iterator_next(PyObject* self) {
    return binding::guarded([&]() -> OwnedRef {
        auto* iterator = reinterpret_cast<KeyIteratorObject*>(self);
        std::u32string key;
        Payload payload = 0;
        if (iterator->cursor == nullptr || !iterator->cursor->next(key, payload)) {
            return OwnedRef();  // exhausted: NULL without an exception
        }
        OwnedRef text = binding::to_python(std::u32string_view(key));
        if (!iterator->items) {
            return text;
        }
        return binding::make_tuple(std::move(text), binding::to_python(payload));
    });
}

void key_iterator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* iterator = reinterpret_cast<KeyIteratorObject*>(self);
    delete iterator->cursor;
    Py_XDECREF(iterator->owner);
    type->tp_free(self);
    Py_DECREF(type);
}

// What a PrefixSearch holds, for reports: sizes, bytes, and whether (and in
// how long) its reverse index was built.
constexpr std::array<const char*, 1> layout_info_params{"search"};
OwnedRef layout_info_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg] = binding::bind("layout_info", layout_info_params, call);
    const CompactTrie& compact = compact_of(search_arg);
    const auto* search = reinterpret_cast<const binding::PrefixSearchObject*>(search_arg);
    const Trie& arrays = search->trie;
    const std::size_t array_bytes =
        arrays.node_shifts.capacity() * sizeof(arrays.node_shifts[0]) +
        arrays.node_chars.capacity() * sizeof(arrays.node_chars[0]) +
        arrays.node_payloads.capacity() * sizeof(arrays.node_payloads[0]) +
        arrays.child_indices.capacity() * sizeof(arrays.child_indices[0]);
    OwnedRef info = binding::new_ref(PyDict_New());
    auto put = [&](const char* name, OwnedRef value) {
        binding::check(PyDict_SetItemString(info.get(), name, value.get()));
    };
    put("nodes", binding::to_python(static_cast<std::uint64_t>(compact.node_count())));
    put("keys", binding::to_python(static_cast<std::uint64_t>(compact.key_count())));
    put("bytes", binding::to_python(static_cast<std::uint64_t>(sizeof(*search) + array_bytes +
                                                               compact.memory_bytes())));
    put("arrays_kept", OwnedRef::incref(search->arrays_in_layout ? Py_False : Py_True));
    put("reverse_index_built",
        OwnedRef::incref(compact.reverse_index_built() ? Py_True : Py_False));
    put("reverse_index_seconds",
        binding::new_ref(PyFloat_FromDouble(compact.reverse_index_build_seconds())));
    return info;
}

PyMethodDef index_methods[] = {
    binding::method_def<key_count_function>("key_count", "key_count(search)\n--\n\n"),
    binding::method_def<layout_info_function>("layout_info", "layout_info(search)\n--\n\n"),
    binding::method_def<search_function>(
        "search", "search(search, query, max_dist, limit, transpositions, match_type)\n--\n\n"),
    binding::method_def<complete_function>(
        "complete",
        "complete(search, prefix, max_dist, limit, transpositions, match_type)\n--\n\n"),
    binding::method_def<search_many_function>(
        "search_many",
        "search_many(search, queries, max_dist, limit, transpositions, workers, match_type)"
        "\n--\n\n"),
    binding::method_def<keys_function>("keys", "keys(search, prefix, items)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_index_functions(PyObject* module) {
    if (key_iterator_type == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
            {Py_tp_iternext, reinterpret_cast<void*>(key_iterator_next)},
            {Py_tp_dealloc, reinterpret_cast<void*>(key_iterator_dealloc)},
            {0, nullptr},
        };
        PyType_Spec iterator_type = {
            "morlatch._engine.KeyIterator", sizeof(KeyIteratorObject), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
            slots};
        key_iterator_type = reinterpret_cast<PyTypeObject*>(
            binding::new_ref(PyType_FromSpec(&iterator_type)).release());
    }
    binding::check(PyModule_AddFunctions(module, index_methods));
    // The largest max_dist the searches tell apart; the package caps to it.
    binding::check(PyModule_AddObjectRef(
        module, "DISTANCE_CAP", binding::new_ref(PyLong_FromUnsignedLongLong(kDistanceCap)).get()));
    binding::check(PyModule_AddObjectRef(module, "KeyIterator",
                                         reinterpret_cast<PyObject*>(key_iterator_type)));
}

}  // namespace morlatch::engine
