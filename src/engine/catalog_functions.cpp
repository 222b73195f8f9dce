// The native side of morlatch.Catalog: a catalog object over the arrays the
// package makes (read in place from bytes, an unpickled buffer or a mapped
// index file), its searches one by one and in batches on native threads.
#include "engine/catalog_functions.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/batch.hpp"
#include "binding/boundary.hpp"
#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/gil.hpp"
#include "binding/ref.hpp"
#include "catalog/catalog.hpp"
#include "catalog/split.hpp"
#include "engine/catalog_functions_common.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;
using namespace catalog_glue;

void catalog_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<CatalogObject*>(self)->held;
    type->tp_free(self);
    Py_DECREF(type);
}

// The symbols (ASCII characters that are words of their own) with which
// the package splits texts, or None: hits then carry no spans.
void read_symbols(Held& held, PyObject* obj) {
    if (obj == Py_None) {
        return;
    }
    const std::span<const char> symbols = held.array<char>(obj, "symbols");
    const std::string_view view(symbols.data(), symbols.size());
    if (view.find('\0') == std::string_view::npos) {
        held.kinds = catalog::byte_kinds(view, '\0');
    }
}

// The arrays as catalog::Parts names them, each a bytes-like object in
// native byte order (weights may be None), from the first 8 arguments.
catalog::Parts read_parts(Held& held, std::span<PyObject* const> args) {
    catalog::Parts parts;
    parts.terms = held.array<char>(args[0], "terms");
    parts.term_offsets = held.array<std::uint64_t>(args[1], "term_offsets");
    parts.texts = held.array<char>(args[2], "texts");
    parts.text_offsets = held.array<std::uint64_t>(args[3], "text_offsets");
    parts.payloads = held.array<Payload>(args[4], "payloads");
    if (args[5] != Py_None) {
        parts.weights = held.array<std::uint64_t>(args[5], "weights");
    }
    parts.words = held.array<std::uint32_t>(args[6], "words");
    parts.word_offsets = held.array<std::uint64_t>(args[7], "word_offsets");
    return parts;
}

// A catalog object over `held`, or ValueError(problem).
OwnedRef catalog_object(std::unique_ptr<Held> held, const std::string& problem) {
    if (!problem.empty()) {
        binding::throw_error(PyExc_ValueError, problem);
    }
    OwnedRef obj = binding::new_ref(catalog_type->tp_alloc(catalog_type, 0));
    reinterpret_cast<CatalogObject*>(obj.get())->held = held.release();
    return obj;
}

// catalog_new(terms, term_offsets, texts, text_offsets, payloads, weights,
// words, word_offsets, symbols): a catalog built from its parts; hits carry
// their spans where `symbols` (bytes, or None) tell how texts are split.
constexpr std::array<const char*, 9> new_params{"terms",        "term_offsets", "texts",
                                                "text_offsets", "payloads",     "weights",
                                                "words",        "word_offsets", "symbols"};
OwnedRef catalog_new_function(PyObject*, const FastCallArgs& call) {
    auto args = binding::bind("catalog_new", new_params, call);
    auto held = std::make_unique<Held>();
    const catalog::Parts parts = read_parts(*held, args);
    read_symbols(*held, args[8]);
    std::string problem;
    {
        binding::ReleasedGil released;
        Interrupt interrupt = released.interrupt();
        problem = catalog::check(parts);
        if (problem.empty()) {
            held->catalog = std::make_unique<catalog::Catalog>(parts, interrupt);
            if (!held->catalog->terms_distinct()) {
                problem = "the terms are not distinct";
            }
        }
    }
    return catalog_object(std::move(held), problem);
}

// catalog_open(the parts and symbols as for catalog_new, trie, posting_offsets,
// postings, tie_rank, by_text): a catalog over its parts and the arrays
// catalog_stored gave, read in place once checked.
constexpr std::array<const char*, 14> open_params{
    "terms",        "term_offsets", "texts", "text_offsets",    "payloads", "weights",  "words",
    "word_offsets", "symbols",      "trie",  "posting_offsets", "postings", "tie_rank", "by_text"};
OwnedRef catalog_open_function(PyObject*, const FastCallArgs& call) {
    auto args = binding::bind("catalog_open", open_params, call);
    auto held = std::make_unique<Held>();
    const catalog::Parts parts = read_parts(*held, args);
    read_symbols(*held, args[8]);
    catalog::Derived derived;
    derived.trie = held->array<std::uint8_t>(args[9], "trie");
    derived.posting_offsets = held->array<std::uint64_t>(args[10], "posting_offsets");
    derived.postings = held->array<std::uint32_t>(args[11], "postings");
    derived.tie_rank = held->array<std::uint32_t>(args[12], "tie_rank");
    derived.by_text = held->array<std::uint32_t>(args[13], "by_text");
    std::string problem;
    {
        binding::ReleasedGil released;
        Interrupt interrupt = released.interrupt();
        problem = catalog::check(parts);
        if (problem.empty()) {
            held->catalog = catalog::Catalog::open(parts, derived, problem, interrupt);
        }
    }
    return catalog_object(std::move(held), problem);
}

template <class T>
OwnedRef bytes_of(std::span<const T> values) {
    return binding::new_ref(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                  static_cast<Py_ssize_t>(values.size_bytes())));
}

// catalog_stored(catalog): what catalog_open takes besides the parts, as
// bytes: (trie, posting_offsets, postings, tie_rank, by_text).
constexpr std::array<const char*, 1> stored_params{"catalog"};
OwnedRef catalog_stored_function(PyObject*, const FastCallArgs& call) {
    auto [cat_arg] = binding::bind("catalog_stored", stored_params, call);
    const catalog::Derived derived = catalog_of(cat_arg).stored();
    return binding::make_tuple(bytes_of(derived.trie), bytes_of(derived.posting_offsets),
                               bytes_of(derived.postings), bytes_of(derived.tie_rank),
                               bytes_of(derived.by_text));
}

// catalog_info(catalog): items, terms and the bytes held besides the arrays.
constexpr std::array<const char*, 1> info_params{"catalog"};
OwnedRef catalog_info_function(PyObject*, const FastCallArgs& call) {
    auto [cat_arg] = binding::bind("catalog_info", info_params, call);
    const catalog::Catalog& cat = catalog_of(cat_arg);
    return binding::make_tuple(binding::to_python(static_cast<std::uint64_t>(cat.size())),
                               binding::to_python(static_cast<std::uint64_t>(cat.term_count())),
                               binding::to_python(static_cast<std::uint64_t>(cat.memory_bytes())));
}

template <class T>
OwnedRef bytes_of(const std::vector<T>& values) {
    return bytes_of(std::span<const T>(values));
}

// catalog_split(blob, separator, symbols): the words of UTF-8 texts joined
// by a one-byte separator (see split.hpp): (each word once, by first
// appearance, as str), and a handle for catalog_renumber.
constexpr std::array<const char*, 3> split_params{"blob", "separator", "symbols"};
OwnedRef catalog_split_function(PyObject*, const FastCallArgs& call) {
    auto [blob_arg, separator_arg, symbols_arg] =
        binding::bind("catalog_split", split_params, call);
    Held held;
    const std::span<const char> blob = held.array<char>(blob_arg, "blob");
    const std::span<const char> separator = held.array<char>(separator_arg, "separator");
    const std::span<const char> symbols = held.array<char>(symbols_arg, "symbols");
    if (separator.size() != 1) {
        binding::throw_error(PyExc_ValueError, "separator must be one byte");
    }
    catalog::Split split;
    {
        binding::ReleasedGil released;
        split = catalog::split_words({blob.data(), blob.size()}, separator[0],
                                     {symbols.data(), symbols.size()});
    }
    OwnedRef distinct = binding::make_list(split.distinct, [](std::string_view word) {
        return binding::new_ref(
            PyUnicode_DecodeUTF8(word.data(), static_cast<Py_ssize_t>(word.size()), nullptr));
    });
    return binding::make_tuple(std::move(distinct), bytes_of(split.words), bytes_of(split.offsets));
}

// catalog_renumber(words, offsets, table): the u32 words (and u64 offsets)
// of catalog_split renumbered through `table`, kDropped leaving a word out.
constexpr std::array<const char*, 3> renumber_params{"words", "offsets", "table"};
OwnedRef catalog_renumber_function(PyObject*, const FastCallArgs& call) {
    auto [words_arg, offsets_arg, table_arg] =
        binding::bind("catalog_renumber", renumber_params, call);
    Held held;
    const auto words_in = held.array<std::uint32_t>(words_arg, "words");
    const auto offsets_in = held.array<std::uint64_t>(offsets_arg, "offsets");
    const auto table = held.array<std::uint32_t>(table_arg, "table");
    std::vector<std::uint32_t> words(words_in.begin(), words_in.end());
    std::vector<std::uint64_t> offsets(offsets_in.begin(), offsets_in.end());
    const bool fits = std::all_of(words.begin(), words.end(),
                                  [&](std::uint32_t w) { return w < table.size(); }) &&
                      !offsets.empty() && offsets.back() == words.size() &&
                      std::is_sorted(offsets.begin(), offsets.end());
    if (!fits) {
        binding::throw_error(PyExc_ValueError, "the words do not fit the table or offsets");
    }
    catalog::renumber(words, offsets, table);
    return binding::make_tuple(bytes_of(words), bytes_of(offsets));
}

// ---- searches of whole query texts -------------------------------------------

// catalog_words(catalog, hit_type, lower, synonyms): the type of the hits
// made below (a tuple subclass with no fields of its own) and how the
// package makes terms of ASCII words: lowercased when `lower`, then the
// term a folded word leads to by `synonyms` (a dict, str to str; None when
// it makes them otherwise). True when the catalog's ASCII queries are then
// split here (its texts are split as its hits' spans are found here).
constexpr std::array<const char*, 4> words_params{"catalog", "hit_type", "lower", "synonyms"};
OwnedRef catalog_words_function(PyObject*, const FastCallArgs& call) {
    auto [cat_arg, type_arg, lower_arg, synonyms_arg] =
        binding::bind("catalog_words", words_params, call);
    held_of(cat_arg);  // checks the type
    Held& held = *reinterpret_cast<CatalogObject*>(cat_arg)->held;
    auto* type = reinterpret_cast<PyTypeObject*>(type_arg);
    const bool tuple_like = PyType_Check(type_arg) && PyType_IsSubtype(type, &PyTuple_Type) &&
                            type->tp_basicsize == PyTuple_Type.tp_basicsize &&
                            type->tp_itemsize == PyTuple_Type.tp_itemsize;
    if (!tuple_like) {
        binding::throw_error(PyExc_TypeError, "hit_type must be a tuple subclass without fields");
    }
    held.hit_type = OwnedRef::incref(type_arg);
    if (synonyms_arg == Py_None || !held.kinds) {
        return OwnedRef::incref(Py_False);
    }
    if (!PyDict_Check(synonyms_arg)) {
        binding::throw_cannot_convert(synonyms_arg, "dict");
    }
    catalog::AsciiTerms rule;
    rule.lower = truth(lower_arg);
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(synonyms_arg, &at, &key, &value)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        if (utf8 == nullptr) {
            throw binding::PythonError{};
        }
        rule.synonyms.emplace(std::string(utf8, static_cast<std::size_t>(size)),
                              binding::code_points(value));
    }
    rule.kinds = *held.kinds;
    held.ascii = std::move(rule);
    return OwnedRef::incref(Py_True);
}

PyMethodDef catalog_methods[] = {
    binding::method_def<catalog_split_function>("catalog_split",
                                                "catalog_split(blob, separator, symbols)\n--\n\n"),
    binding::method_def<catalog_renumber_function>(
        "catalog_renumber", "catalog_renumber(words, offsets, table)\n--\n\n"),
    binding::method_def<catalog_new_function>(
        "catalog_new",
        "catalog_new(terms, term_offsets, texts, text_offsets, payloads, weights, words, "
        "word_offsets, symbols)\n--\n\n"),
    binding::method_def<catalog_open_function>(
        "catalog_open",
        "catalog_open(terms, term_offsets, texts, text_offsets, payloads, weights, words, "
        "word_offsets, symbols, trie, posting_offsets, postings, tie_rank, by_text)\n--\n\n"),
    binding::method_def<catalog_stored_function>("catalog_stored",
                                                 "catalog_stored(catalog)\n--\n\n"),
    binding::method_def<catalog_info_function>("catalog_info", "catalog_info(catalog)\n--\n\n"),
    binding::method_def<catalog_words_function>(
        "catalog_words", "catalog_words(catalog, hit_type, lower, synonyms)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_catalog_functions(PyObject* module) {
    if (catalog_type == nullptr) {
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(catalog_dealloc)},
            {0, nullptr},
        };
        PyType_Spec type_spec = {
            "morlatch._engine.CatalogCore", sizeof(CatalogObject), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
            slots};
        catalog_type = reinterpret_cast<PyTypeObject*>(
            binding::new_ref(PyType_FromSpec(&type_spec)).release());
    }
    binding::check(PyModule_AddFunctions(module, catalog_methods));
    add_search_functions(module);
    binding::check(
        PyModule_AddObjectRef(module, "CatalogCore", reinterpret_cast<PyObject*>(catalog_type)));
}

}  // namespace morlatch::engine