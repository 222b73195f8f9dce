#include "engine/build_functions.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/gil.hpp"
#include "binding/prefix_search.hpp"
#include "binding/ref.hpp"
#include "prefix/file/store.hpp"
#include "prefix/layout/builder.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

void add_key(KeyList& keys, PyObject* key, Payload payload) {
    if (!PyUnicode_Check(key)) {
        binding::throw_cannot_convert(key, "str");
    }
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
    const void* data = PyUnicode_DATA(key);
    if (PyUnicode_IS_ASCII(key)) {
        keys.add_utf8(std::string_view(static_cast<const char*>(data), length), payload);
        return;
    }
    // Code points of a str never pass U+10FFFF, so add() cannot fail.
    switch (PyUnicode_KIND(key)) {
        case PyUnicode_1BYTE_KIND:
            keys.add(static_cast<const Py_UCS1*>(data), length, payload);
            break;
        case PyUnicode_2BYTE_KIND:
            keys.add(static_cast<const Py_UCS2*>(data), length, payload);
            break;
        default:
            keys.add(static_cast<const Py_UCS4*>(data), length, payload);
            break;
    }
}

// The keys of a dict of str to int or of a list of str (payload = position,
// as the package's checks leave them), their text in one buffer. Nothing
// here runs Python code, so neither changes while it is read.
KeyList read_keys(PyObject* table) {
    const bool is_list = PyList_Check(table);
    if (!is_list && !PyDict_Check(table)) {
        binding::throw_cannot_convert(table, "dict");
    }
    const Py_ssize_t count = is_list ? PyList_GET_SIZE(table) : PyDict_GET_SIZE(table);
    if (static_cast<std::uint64_t>(count) > std::uint64_t{0xFFFFFFFF} + 1) {
        binding::throw_error(PyExc_ValueError, "too many keys");
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    auto next = [&] {
        if (is_list) {
            key = position < count ? PyList_GET_ITEM(table, position) : nullptr;
            return position++ < count;
        }
        return PyDict_Next(table, &position, &key, &value) != 0;
    };
    std::size_t chars = 0;
    while (next()) {
        chars += PyUnicode_Check(key) ? static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) : 0;
    }
    KeyList keys;
    keys.reserve(static_cast<std::size_t>(count), chars);
    position = 0;
    for (Payload index = 0; next(); ++index) {
        Payload payload = index;
        if (!is_list) {
            if (!PyLong_CheckExact(value)) {
                binding::throw_cannot_convert(value, "int");
            }
            payload = binding::to_u32(value);
        }
        add_key(keys, key, payload);
    }
    return keys;
}

// Lays `keys` out (a repeated key keeps its last payload) without the
// interpreter's lock, calling `progress` (a callable or None) with it now and
// then.
std::unique_ptr<CompactTrie> build_from(KeyList keys, PyObject* progress) {
    std::unique_ptr<CompactTrie> compact;
    try {
        binding::ReleasedGil released;
        Interrupt interrupt = released.interrupt();
        BuildProgress report;
        if (progress != Py_None) {
            report = [&](std::size_t placed, std::size_t total) {
                released.with_lock([&] {
                    binding::new_ref(PyObject_CallFunction(progress, "nn",
                                                           static_cast<Py_ssize_t>(placed),
                                                           static_cast<Py_ssize_t>(total)));
                });
            };
        }
        compact = build_compact_trie(std::move(keys), interrupt, report);
    } catch (const TooManyNodes& error) {
        binding::throw_error(
            PyExc_ValueError,
            "the trie would have " + std::to_string(error.nodes()) + " nodes; at most 2**32 fit");
    }
    return compact;
}

// A PrefixSearch over a ready layout: it stands for its own level-order
// arrays, so none are kept beside it.
OwnedRef new_prefix_search(std::unique_ptr<const CompactTrie> compact) {
    return binding::new_prefix_search(Store(std::move(compact)));
}

constexpr std::array<const char*, 2> build_params{"table", "progress"};

// build(table, progress): the PrefixSearch of {key: payload} or of a list
// of keys.
OwnedRef build_function(PyObject*, const FastCallArgs& call) {
    auto [table_arg, progress_arg] = binding::bind("build", build_params, call);
    return new_prefix_search(build_from(read_keys(table_arg), progress_arg));
}

// layout(table, progress): the arrays of the same trie but child_indices
// (1, 2, ..., nodes - 1 in level order): node_shifts as native 32-bit
// integers in bytes, node_strings and node_payloads as lists.
OwnedRef layout_function(PyObject*, const FastCallArgs& call) {
    auto [table_arg, progress_arg] = binding::bind("layout", build_params, call);
    const std::unique_ptr<const CompactTrie> trie = build_from(read_keys(table_arg), progress_arg);
    // In level order the children of node v start at first_child(v), and
    // child_indices is 1, 2, ..., so node_shifts[v] is first_child(v) - 1.
    std::vector<std::uint32_t> node_shifts(trie->node_count());
    for (NodeId v = 0; v < node_shifts.size(); ++v) {
        node_shifts[v] = trie->first_child(v) - 1;
    }
    OwnedRef shifts = binding::new_ref(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(node_shifts.data()),
        static_cast<Py_ssize_t>(node_shifts.size() * sizeof(node_shifts[0]))));
    std::vector<NodeId> ids(trie->node_count());
    for (NodeId v = 0; v < ids.size(); ++v) {
        ids[v] = v;
    }
    OwnedRef strings = binding::make_list(ids, [&](NodeId v) {
        return v == CompactTrie::kRoot ? binding::new_ref(PyUnicode_FromStringAndSize("", 0))
                                       : binding::char_to_python(trie->label(v));
    });
    OwnedRef payloads = binding::make_list(ids, [&](NodeId v) {
        return trie->is_key(v) ? binding::to_python(std::optional<Payload>(trie->payload(v)))
                               : binding::to_python(std::optional<Payload>());
    });
    return binding::make_tuple(std::move(shifts), std::move(strings), std::move(payloads));
}

constexpr const char* kWordsName = "morlatch._engine.Words";

void delete_words(PyObject* capsule) {
    delete static_cast<KeyList*>(PyCapsule_GetPointer(capsule, kWordsName));
}

constexpr std::array<const char*, 1> read_words_params{"data"};

// read_words(data): (words, count), a word list given as bytes read without
// a Python object per key, its distinct keys sorted (count of them) in an
// opaque object for build_words; None when a line is bad (the package's own
// parser then names it).
OwnedRef read_words_function(PyObject*, const FastCallArgs& call) {
    auto [data_arg] = binding::bind("read_words", read_words_params, call);
    if (!PyBytes_Check(data_arg)) {
        binding::throw_cannot_convert(data_arg, "bytes");
    }
    // bytes cannot change, so the text is read without the lock.
    const std::string_view data(PyBytes_AS_STRING(data_arg),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(data_arg)));
    auto keys = std::make_unique<KeyList>();
    {
        binding::ReleasedGil released;
        if (!read_word_list(data, *keys)) {
            keys.reset();
        } else {
            sort_keys(*keys);
        }
    }
    if (!keys) {
        return OwnedRef::incref(Py_None);
    }
    const auto count = static_cast<std::uint64_t>(keys->size());
    OwnedRef words = binding::new_ref(PyCapsule_New(keys.get(), kWordsName, delete_words));
    keys.release();
    return binding::make_tuple(std::move(words), binding::to_python(count));
}

constexpr std::array<const char*, 2> build_words_params{"words", "progress"};

// build_words(words, progress): the PrefixSearch of words from read_words,
// which it takes over (a second call is refused).
OwnedRef build_words_function(PyObject*, const FastCallArgs& call) {
    auto [words_arg, progress_arg] = binding::bind("build_words", build_words_params, call);
    auto* keys = static_cast<KeyList*>(PyCapsule_GetPointer(words_arg, kWordsName));
    if (keys == nullptr) {
        throw binding::PythonError{};
    }
    // The context marks words taken over already.
    if (PyCapsule_GetContext(words_arg) != nullptr) {
        binding::throw_error(PyExc_ValueError, "these words were built already");
    }
    binding::check(PyCapsule_SetContext(words_arg, words_arg));
    return new_prefix_search(build_from(std::exchange(*keys, KeyList()), progress_arg));
}

constexpr std::array<const char*, 2> write_trie_params{"search", "write"};

// write_trie(search, write): calls write(piece) with the bytes of
// search.to_bytes() in order, a mebibyte at a time, so that the image is
// never held whole. Encodes without the interpreter's lock, taking it back
// for each call, and stops on Ctrl-C between pieces.
OwnedRef write_trie_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg, write_arg] = binding::bind("write_trie", write_trie_params, call);
    const Store& store = binding::store_of(search_arg);
    // The caller's reference keeps the search alive, and a store never
    // changes.
    struct Writer {
        binding::ReleasedGil released;
        PyObject* write;
    } writer{{}, write_arg};
    store.encode_in_pieces(
        std::size_t{1} << 20,
        [](void* context, std::span<const std::uint8_t> piece) {
            auto& self = *static_cast<Writer*>(context);
            self.released.with_lock([&] {
                OwnedRef bytes = binding::new_ref(
                    PyBytes_FromStringAndSize(reinterpret_cast<const char*>(piece.data()),
                                              static_cast<Py_ssize_t>(piece.size())));
                binding::new_ref(PyObject_CallOneArg(self.write, bytes.get()));
                if (PyErr_CheckSignals() < 0) {
                    throw binding::PythonError{};
                }
            });
        },
        &writer);
    return OwnedRef::incref(Py_None);
}

PyMethodDef build_methods[] = {
    binding::method_def<build_function>("build", "build(table, progress)\n--\n\n"),
    binding::method_def<layout_function>("layout", "layout(table, progress)\n--\n\n"),
    binding::method_def<read_words_function>("read_words", "read_words(data)\n--\n\n"),
    binding::method_def<build_words_function>("build_words",
                                              "build_words(words, progress)\n--\n\n"),
    binding::method_def<write_trie_function>("write_trie", "write_trie(search, write)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_build_functions(PyObject* module) {
    binding::check(PyModule_AddFunctions(module, build_methods));
}

}  // namespace morlatch::engine
