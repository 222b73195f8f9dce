// The native side of morlatch.Catalog: a catalog object over the arrays the
// package makes (read in place from bytes, an unpickled buffer or a mapped
// index file), its searches one by one and in batches on native threads.
#include "engine/catalog_functions.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
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

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

// The buffers a catalog reads, held for its life; a buffer whose start does
// not suit its element type is copied once.
struct Held {
    std::vector<std::unique_ptr<binding::BufferView>> views;
    std::vector<std::vector<std::uint64_t>> copies;
    std::unique_ptr<catalog::Catalog> catalog;
    // How the package splits ASCII texts, when hits carry their spans.
    std::optional<catalog::ByteKinds> kinds;
    // How it makes terms of ASCII words, when queries are split here, and
    // the type of the hits made here (a tuple subclass of four fields).
    std::optional<catalog::AsciiTerms> ascii;
    OwnedRef hit_type;

    template <class T>
    std::span<const T> array(PyObject* obj, const char* name) {
        auto view = binding::convert_argument(name, [&] {
            if (!PyObject_CheckBuffer(obj)) {
                binding::throw_cannot_convert(obj, "bytes");
            }
            return std::make_unique<binding::BufferView>(obj);
        });
        const std::span<const std::uint8_t> bytes = view->bytes();
        views.push_back(std::move(view));
        if (bytes.size() % sizeof(T) != 0) {
            binding::throw_error(PyExc_ValueError,
                                 std::string(name) + " is not a whole number of elements");
        }
        const void* start = bytes.data();
        if (reinterpret_cast<std::uintptr_t>(start) % alignof(T) != 0) {
            auto& copy = copies.emplace_back((bytes.size() + 7) / 8);
            std::memcpy(copy.data(), bytes.data(), bytes.size());
            start = copy.data();
        }
        return {static_cast<const T*>(start), bytes.size() / sizeof(T)};
    }
};

struct CatalogObject {
    PyObject_HEAD Held* held;
};

PyTypeObject* catalog_type = nullptr;

void catalog_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<CatalogObject*>(self)->held;
    type->tp_free(self);
    Py_DECREF(type);
}

const Held& held_of(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, catalog_type)) {
        binding::throw_cannot_convert(obj, "CatalogCore");
    }
    return *reinterpret_cast<const CatalogObject*>(obj)->held;
}

const catalog::Catalog& catalog_of(PyObject* obj) {
    return *held_of(obj).catalog;
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

bool truth(PyObject* obj) {
    const int value = PyObject_IsTrue(obj);
    binding::check(value);
    return value != 0;
}

std::vector<std::u32string> words_of(PyObject* obj) {
    return binding::to_vector<std::u32string>(obj, binding::code_points);
}

std::vector<std::uint32_t> budgets_of(PyObject* obj) {
    return binding::to_vector<std::uint32_t>(obj, binding::to_u32);
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

// The spans of the matched words of an ASCII text split as the package
// splits it, sorted and each once; false when they are not known here (a
// text past ASCII, or a word that has no term).
bool matched_spans(const Held& held, const catalog::Hit& hit,
                   std::vector<std::pair<std::uint32_t, std::uint32_t>>& chosen) {
    thread_local std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    const catalog::Catalog& cat = *held.catalog;
    if (!held.kinds || !catalog::ascii_spans(*held.kinds, cat.text(hit.item), spans) ||
        spans.size() != cat.words(hit.item).size()) {
        return false;
    }
    chosen.clear();
    for (const std::uint32_t at : hit.positions) {
        if (at != catalog::kUnmatched) {
            chosen.push_back(spans[at]);
        }
    }
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    return true;
}

// A (text, payload, score, spans) of the package's hit type, the fields
// taken over.
OwnedRef new_hit(const Held& held, OwnedRef text, OwnedRef payload, OwnedRef score,
                 OwnedRef spans) {
    auto* type = reinterpret_cast<PyTypeObject*>(held.hit_type.get());
    OwnedRef hit = binding::new_ref(type->tp_alloc(type, 4));
    PyTuple_SET_ITEM(hit.get(), 0, text.release());
    PyTuple_SET_ITEM(hit.get(), 1, payload.release());
    PyTuple_SET_ITEM(hit.get(), 2, score.release());
    PyTuple_SET_ITEM(hit.get(), 3, spans.release());
    return hit;
}

// A hit as (text, payload, score, spans), spans a list of (start, end)
// pairs, of the package's hit type when `typed` and it is known; or, where
// the spans are not known here, (text, payload, score, positions),
// positions a tuple with None for the query words that matched nothing,
// which counts in `pending`.
OwnedRef hit_to_python(const Held& held, const catalog::Hit& hit, bool typed = false,
                       std::size_t* pending = nullptr) {
    const catalog::Catalog& cat = *held.catalog;
    const std::string_view text = cat.text(hit.item);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> chosen;
    OwnedRef where;
    const bool known = matched_spans(held, hit, chosen);
    if (known) {
        where = binding::make_list(chosen, [](std::pair<std::uint32_t, std::uint32_t> span) {
            return binding::make_tuple(binding::to_python(span.first),
                                       binding::to_python(span.second));
        });
    } else {
        if (pending != nullptr) {
            ++*pending;
        }
        where = binding::new_ref(PyTuple_New(static_cast<Py_ssize_t>(hit.positions.size())));
        for (std::size_t w = 0; w < hit.positions.size(); ++w) {
            OwnedRef at = hit.positions[w] == catalog::kUnmatched
                              ? OwnedRef::incref(Py_None)
                              : binding::to_python(hit.positions[w]);
            PyTuple_SET_ITEM(where.get(), static_cast<Py_ssize_t>(w), at.release());
        }
    }
    OwnedRef text_obj = binding::new_ref(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    OwnedRef payload = binding::to_python(cat.payload(hit.item));
    OwnedRef score = binding::new_ref(PyFloat_FromDouble(hit.score));
    if (typed && known && held.hit_type) {
        return new_hit(held, std::move(text_obj), std::move(payload), std::move(score),
                       std::move(where));
    }
    return binding::make_tuple(std::move(text_obj), std::move(payload), std::move(score),
                               std::move(where));
}

OwnedRef hits_to_python(const Held& held, const std::vector<catalog::Hit>& hits) {
    return binding::make_list(hits,
                              [&](const catalog::Hit& hit) { return hit_to_python(held, hit); });
}

// A batch's queries as the expansions of their words: each distinct (word,
// budget, prefix) expanded once, on native threads, for every query it is in.
struct BatchWords {
    std::vector<catalog::Expansion> expansions;
    std::vector<std::vector<const catalog::Expansion*>> queries;
};

template <class Budget, class Prefix>
BatchWords expand_batch(const catalog::Catalog& cat,
                        const std::vector<std::vector<std::u32string>>& words,
                        std::uint64_t workers, Budget budget_of, Prefix prefix_of) {
    struct Distinct {
        const std::u32string* word;
        std::uint32_t budget;
        bool prefix;
    };
    std::vector<Distinct> distinct;
    std::unordered_map<std::u32string, std::size_t> seen;
    std::vector<std::vector<std::size_t>> at(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        for (std::size_t w = 0; w < words[i].size(); ++w) {
            const std::uint32_t budget = budget_of(i, w);
            const bool prefix = prefix_of(i, w);
            std::u32string key{static_cast<char32_t>(budget), prefix ? U'p' : U'w'};
            key += words[i][w];
            const auto [found, added] = seen.try_emplace(std::move(key), distinct.size());
            if (added) {
                distinct.push_back({&words[i][w], budget, prefix});
            }
            at[i].push_back(found->second);
        }
    }
    BatchWords out;
    out.expansions = binding::run_batch<catalog::Expansion>(
        distinct.size(), workers, [&](std::size_t d, Interrupt& interrupt) {
            return cat.expand(*distinct[d].word, distinct[d].budget, distinct[d].prefix, interrupt);
        });
    out.queries.resize(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        for (const std::size_t d : at[i]) {
            out.queries[i].push_back(&out.expansions[d]);
        }
    }
    return out;
}

std::uint64_t workers_of(PyObject* obj) {
    return binding::convert_argument("workers", [&] { return binding::to_size(obj); });
}

template <class Run>
OwnedRef batch(const Held& held, std::size_t count, std::uint64_t workers, Run run) {
    const auto results = binding::run_batch<std::vector<catalog::Hit>>(count, workers, run);
    return binding::make_list(
        results, [&](const std::vector<catalog::Hit>& hits) { return hits_to_python(held, hits); });
}

// catalog_search(catalog, words, budgets, last_is_prefix, limit)
constexpr std::array<const char*, 5> search_params{"catalog", "words", "budgets", "last_is_prefix",
                                                   "limit"};
OwnedRef catalog_search_function(PyObject*, const FastCallArgs& call) {
    auto [cat_arg, words_arg, budgets_arg, prefix_arg, limit_arg] =
        binding::bind("catalog_search", search_params, call);
    const catalog::Catalog& cat = catalog_of(cat_arg);
    catalog::SearchQuery query;
    query.words = binding::convert_argument("words", [&] { return words_of(words_arg); });
    query.budgets = binding::convert_argument("budgets", [&] { return budgets_of(budgets_arg); });
    query.last_is_prefix = truth(prefix_arg);
    query.limit = binding::convert_argument("limit", [&] { return binding::to_size(limit_arg); });
    if (query.budgets.size() != query.words.size()) {
        binding::throw_error(PyExc_ValueError, "words and budgets differ in length");
    }
    std::vector<catalog::Hit> hits;
    {
        binding::ReleasedGil released;
        Interrupt interrupt = released.interrupt();
        hits = cat.search(query, interrupt);
    }
    return hits_to_python(held_of(cat_arg), hits);
}

catalog::MatchQuery match_options(PyObject* limit_arg, PyObject* cutoff_arg) {
    catalog::MatchQuery query;
    query.limit = binding::convert_argument("limit", [&] { return binding::to_size(limit_arg); });
    query.cutoff = PyFloat_AsDouble(cutoff_arg);
    if (query.cutoff == -1.0 && PyErr_Occurred()) {
        throw binding::PythonError{};
    }
    return query;
}

// catalog_match(catalog, words, limit, cutoff)
constexpr std::array<const char*, 4> match_params{"catalog", "words", "limit", "cutoff"};
OwnedRef catalog_match_function(PyObject*, const FastCallArgs& call) {
    auto [cat_arg, words_arg, limit_arg, cutoff_arg] =
        binding::bind("catalog_match", match_params, call);
    const catalog::Catalog& cat = catalog_of(cat_arg);
    catalog::MatchQuery query = match_options(limit_arg, cutoff_arg);
    query.words = binding::convert_argument("words", [&] { return words_of(words_arg); });
    std::vector<catalog::Hit> hits;
    {
        binding::ReleasedGil released;
        Interrupt interrupt = released.interrupt();
        hits = cat.match(query, interrupt);
    }
    return hits_to_python(held_of(cat_arg), hits);
}

// The words of a batch of names, from the distinct terms (an empty one
// leaves its word out), each name's term numbers (u32) and where each
// name's start (u64 offsets): at most `most` words per name.
std::vector<std::vector<std::u32string>> names_of(PyObject* terms_arg, PyObject* words_arg,
                                                  PyObject* offsets_arg, std::size_t most) {
    const auto terms = binding::convert_argument("terms", [&] { return words_of(terms_arg); });
    Held held;
    const auto words = held.array<std::uint32_t>(words_arg, "words");
    const auto offsets = held.array<std::uint64_t>(offsets_arg, "offsets");
    const bool fits =
        !offsets.empty() && offsets.front() == 0 && offsets.back() == words.size() &&
        std::is_sorted(offsets.begin(), offsets.end()) &&
        std::all_of(words.begin(), words.end(), [&](std::uint32_t w) { return w < terms.size(); });
    if (!fits) {
        binding::throw_error(PyExc_ValueError, "the words do not fit the terms or offsets");
    }
    std::vector<std::vector<std::u32string>> names(offsets.size() - 1);
    for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
        for (std::uint64_t at = offsets[i]; at < offsets[i + 1] && names[i].size() < most; ++at) {
            if (!terms[words[at]].empty()) {
                names[i].push_back(terms[words[at]]);
            }
        }
    }
    return names;
}

// catalog_match_many(catalog, terms, words, offsets, most, limit, cutoff,
// workers): the names as names_of reads them, each matched.
constexpr std::array<const char*, 8> match_many_params{"catalog", "terms", "words",  "offsets",
                                                       "most",    "limit", "cutoff", "workers"};
OwnedRef catalog_match_many_function(PyObject*, const FastCallArgs& call) {
    auto [cat_arg, terms_arg, words_arg, offsets_arg, most_arg, limit_arg, cutoff_arg,
          workers_arg] = binding::bind("catalog_match_many", match_many_params, call);
    const catalog::Catalog& cat = catalog_of(cat_arg);
    const catalog::MatchQuery options = match_options(limit_arg, cutoff_arg);
    const std::uint64_t most =
        binding::convert_argument("most", [&] { return binding::to_size(most_arg); });
    const auto words = names_of(terms_arg, words_arg, offsets_arg, most);
    const std::uint64_t workers = workers_of(workers_arg);
    const BatchWords expanded = expand_batch(
        cat, words, workers,
        [&](std::size_t i, std::size_t w) { return catalog::auto_budget(words[i][w].size()); },
        [](std::size_t, std::size_t) { return false; });
    return batch(held_of(cat_arg), words.size(), workers, [&](std::size_t i, Interrupt& interrupt) {
        return cat.match({words[i], options.limit, options.cutoff}, expanded.queries[i], interrupt);
    });
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

// The terms of a query, at most `most`, split here; false when it is not
// (a query past ASCII, or a catalog whose queries are not split here).
bool query_terms(const Held& held, PyObject* query, std::size_t most,
                 std::vector<std::u32string>& terms) {
    if (!held.ascii || !PyUnicode_Check(query) || !PyUnicode_IS_ASCII(query)) {
        return false;
    }
    const std::string_view text(static_cast<const char*>(PyUnicode_DATA(query)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(query)));
    return catalog::ascii_terms(*held.ascii, text, most, terms);
}

// Per word, the typos it may have: `fixed`, or by the "auto" rule.
std::vector<std::uint32_t> budgets_for(const std::vector<std::u32string>& words,
                                       std::optional<std::uint32_t> fixed) {
    std::vector<std::uint32_t> budgets;
    budgets.reserve(words.size());
    for (const std::u32string& word : words) {
        budgets.push_back(fixed ? *fixed : catalog::auto_budget(word.size()));
    }
    return budgets;
}

std::optional<std::uint32_t> typos_of(PyObject* obj) {
    return binding::convert_argument("typos",
                                     [&] { return binding::to_optional(obj, binding::to_u32); });
}

// The hits of the package's type, as a list; those whose spans are not
// known here are left as hit_to_python leaves them, counted in `pending`.
OwnedRef typed_hits(const Held& held, const std::vector<catalog::Hit>& hits, std::size_t& pending) {
    return binding::make_list(
        hits, [&](const catalog::Hit& hit) { return hit_to_python(held, hit, true, &pending); });
}

// catalog_search_text(catalog, query, typos, last_is_prefix, limit, most):
// the query's first `most` words split here, each with `typos` (None: the
// "auto" rule), then (hits, whether some are left to finish); or None when
// the query is not split here.
constexpr std::array<const char*, 6> search_text_params{"catalog",        "query", "typos",
                                                        "last_is_prefix", "limit", "most"};
OwnedRef catalog_search_text_function(PyObject*, const FastCallArgs& call) {
    auto [cat_arg, query_arg, typos_arg, prefix_arg, limit_arg, most_arg] =
        binding::bind("catalog_search_text", search_text_params, call);
    const Held& held = held_of(cat_arg);
    const std::uint64_t most =
        binding::convert_argument("most", [&] { return binding::to_size(most_arg); });
    catalog::SearchQuery query;
    if (!query_terms(held, query_arg, most, query.words)) {
        return OwnedRef::incref(Py_None);
    }
    query.budgets = budgets_for(query.words, typos_of(typos_arg));
    query.last_is_prefix = truth(prefix_arg);
    query.limit = binding::convert_argument("limit", [&] { return binding::to_size(limit_arg); });
    std::vector<catalog::Hit> hits;
    {
        binding::ReleasedGil released;
        Interrupt interrupt = released.interrupt();
        hits = held.catalog->search(query, interrupt);
    }
    std::size_t pending = 0;
    OwnedRef list = typed_hits(held, hits, pending);
    return binding::make_tuple(std::move(list), OwnedRef::incref(pending ? Py_True : Py_False));
}

// catalog_search_texts(catalog, queries, last_is_prefix, typos, limit, most,
// workers): per query, a str split here as catalog_search_text splits it,
// or the package's (words, budgets); last_is_prefix per query. Then (one
// list of hits per query, whether some are left to finish).
constexpr std::array<const char*, 7> search_texts_params{
    "catalog", "queries", "last_is_prefix", "typos", "limit", "most", "workers"};
OwnedRef catalog_search_texts_function(PyObject*, const FastCallArgs& call) {
    auto [cat_arg, queries_arg, prefix_arg, typos_arg, limit_arg, most_arg, workers_arg] =
        binding::bind("catalog_search_texts", search_texts_params, call);
    const Held& held = held_of(cat_arg);
    const std::uint64_t most =
        binding::convert_argument("most", [&] { return binding::to_size(most_arg); });
    const std::optional<std::uint32_t> typos = typos_of(typos_arg);
    struct Split {
        std::vector<std::u32string> words;
        std::vector<std::uint32_t> budgets;
    };
    const auto queries = binding::convert_argument("queries", [&] {
        return binding::to_vector<Split>(queries_arg, [&](PyObject* q) {
            Split split;
            if (query_terms(held, q, most, split.words)) {
                split.budgets = budgets_for(split.words, typos);
            } else if (PyTuple_Check(q) && PyTuple_GET_SIZE(q) == 2) {
                split.words = words_of(PyTuple_GET_ITEM(q, 0));
                split.budgets = budgets_of(PyTuple_GET_ITEM(q, 1));
                if (split.words.size() != split.budgets.size()) {
                    binding::throw_error(PyExc_ValueError, "words and budgets differ in length");
                }
            } else {
                binding::throw_error(PyExc_ValueError,
                                     "a query must be split here or given as (words, budgets)");
            }
            return split;
        });
    });
    const auto prefixes = binding::convert_argument(
        "last_is_prefix", [&] { return binding::to_vector<bool>(prefix_arg, truth); });
    const std::uint64_t limit =
        binding::convert_argument("limit", [&] { return binding::to_size(limit_arg); });
    if (prefixes.size() != queries.size()) {
        binding::throw_error(PyExc_ValueError, "queries and last_is_prefix differ in length");
    }
    const std::uint64_t workers = workers_of(workers_arg);
    const catalog::Catalog& cat = *held.catalog;
    std::vector<std::vector<std::u32string>> words;
    words.reserve(queries.size());
    for (const Split& q : queries) {
        words.push_back(q.words);
    }
    const BatchWords expanded = expand_batch(
        cat, words, workers, [&](std::size_t i, std::size_t w) { return queries[i].budgets[w]; },
        [&](std::size_t i, std::size_t w) { return prefixes[i] && w + 1 == words[i].size(); });
    const auto results = binding::run_batch<std::vector<catalog::Hit>>(
        queries.size(), workers, [&](std::size_t i, Interrupt& interrupt) {
            return cat.search({words[i], queries[i].budgets, prefixes[i], limit},
                              expanded.queries[i], interrupt);
        });
    std::size_t pending = 0;
    OwnedRef lists = binding::make_list(results, [&](const std::vector<catalog::Hit>& hits) {
        return typed_hits(held, hits, pending);
    });
    return binding::make_tuple(std::move(lists), OwnedRef::incref(pending ? Py_True : Py_False));
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
    binding::method_def<catalog_search_function>(
        "catalog_search", "catalog_search(catalog, words, budgets, last_is_prefix, limit)\n--\n\n"),
    binding::method_def<catalog_match_function>(
        "catalog_match", "catalog_match(catalog, words, limit, cutoff)\n--\n\n"),
    binding::method_def<catalog_match_many_function>(
        "catalog_match_many",
        "catalog_match_many(catalog, terms, words, offsets, most, limit, cutoff, workers)\n--\n\n"),
    binding::method_def<catalog_info_function>("catalog_info", "catalog_info(catalog)\n--\n\n"),
    binding::method_def<catalog_words_function>(
        "catalog_words", "catalog_words(catalog, hit_type, lower, synonyms)\n--\n\n"),
    binding::method_def<catalog_search_text_function>(
        "catalog_search_text",
        "catalog_search_text(catalog, query, typos, last_is_prefix, limit, most)\n--\n\n"),
    binding::method_def<catalog_search_texts_function>(
        "catalog_search_texts",
        "catalog_search_texts(catalog, queries, last_is_prefix, typos, limit, most, "
        "workers)\n--\n\n"),
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
    binding::check(
        PyModule_AddObjectRef(module, "CatalogCore", reinterpret_cast<PyObject*>(catalog_type)));
}

}  // namespace morlatch::engine
