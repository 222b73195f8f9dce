// The searches of morlatch.Catalog: of words split by the package, of whole
// query texts split here, and the matching of whole names, one by one and
// in batches on native threads.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding/args.hpp"
#include "binding/batch.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/gil.hpp"
#include "binding/ref.hpp"
#include "catalog/catalog.hpp"
#include "catalog/split.hpp"
#include "engine/catalog_functions_batch.hpp"
#include "engine/catalog_functions_common.hpp"

namespace morlatch::engine::catalog_glue {
namespace {

using binding::FastCallArgs;

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

// A batch of names as term numbers: the distinct terms, and each name's
// words as their numbers (at most `most` per name, an empty term left out).
struct BatchNames {
    std::vector<std::u32string> terms;
    std::vector<std::uint32_t> words;
    std::vector<std::uint64_t> offsets;  // name i's words are [offsets[i], offsets[i + 1])

    std::size_t size() const noexcept { return offsets.size() - 1; }
};

// The names from the distinct terms, each name's term numbers (u32) and
// where each name's start (u64 offsets).
BatchNames names_of(PyObject* terms_arg, PyObject* words_arg, PyObject* offsets_arg,
                    std::size_t most) {
    BatchNames names;
    names.terms = binding::convert_argument("terms", [&] { return words_of(terms_arg); });
    Held held;
    const auto words = held.array<std::uint32_t>(words_arg, "words");
    const auto offsets = held.array<std::uint64_t>(offsets_arg, "offsets");
    const bool fits = !offsets.empty() && offsets.front() == 0 && offsets.back() == words.size() &&
                      std::is_sorted(offsets.begin(), offsets.end()) &&
                      std::all_of(words.begin(), words.end(),
                                  [&](std::uint32_t w) { return w < names.terms.size(); });
    if (!fits) {
        binding::throw_error(PyExc_ValueError, "the words do not fit the terms or offsets");
    }
    names.words.reserve(words.size());
    names.offsets.reserve(offsets.size());
    names.offsets.push_back(0);
    for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
        const std::size_t first = names.words.size();
        for (std::uint64_t at = offsets[i];
             at < offsets[i + 1] && names.words.size() - first < most; ++at) {
            if (!names.terms[words[at]].empty()) {
                names.words.push_back(words[at]);
            }
        }
        names.offsets.push_back(names.words.size());
    }
    return names;
}

// Each term that some name holds expanded once (by the "auto" budget, not
// as a prefix), on native threads; expansion[t] is term t's, or null.
struct TermExpansions {
    std::vector<catalog::Expansion> expansions;
    std::vector<const catalog::Expansion*> of_term;
};

TermExpansions expand_terms(const catalog::Catalog& cat, const BatchNames& names,
                            std::uint64_t workers) {
    constexpr std::uint32_t unused = 0xFFFFFFFFu;
    std::vector<std::uint32_t> slot(names.terms.size(), unused);
    std::vector<std::uint32_t> held;
    for (const std::uint32_t t : names.words) {
        if (slot[t] == unused) {
            slot[t] = static_cast<std::uint32_t>(held.size());
            held.push_back(t);
        }
    }
    TermExpansions out;
    out.expansions = binding::run_batch<catalog::Expansion>(
        held.size(), workers, [&](std::size_t d, Interrupt& interrupt) {
            const std::u32string& term = names.terms[held[d]];
            return cat.expand(term, catalog::auto_budget(term.size()), false, interrupt);
        });
    out.of_term.assign(names.terms.size(), nullptr);
    for (std::size_t d = 0; d < held.size(); ++d) {
        out.of_term[held[d]] = &out.expansions[d];
    }
    return out;
}

// Every name of a batch matched on native threads, its hits made Python
// objects while the others still run: (one list of hits per name, the
// names whose hits are left to finish), the hits as catalog_search_texts
// makes them.
OwnedRef match_names(const Held& held, const BatchNames& names, const catalog::MatchQuery& options,
                     std::uint64_t workers) {
    const catalog::Catalog& cat = *held.catalog;
    const TermExpansions expanded = expand_terms(cat, names, workers);
    std::size_t pending = 0;
    std::vector<std::uint64_t> unfinished;
    OwnedRef lists = run_converted<std::vector<catalog::Hit>>(
        names.size(), workers,
        [&](std::size_t i, Interrupt& interrupt) {
            // Per thread, so that its words keep their memory from name to name.
            thread_local catalog::MatchQuery query;
            thread_local std::vector<const catalog::Expansion*> expansions;
            const std::span<const std::uint32_t> terms(names.words.data() + names.offsets[i],
                                                       names.offsets[i + 1] - names.offsets[i]);
            query.words.resize(terms.size());
            expansions.clear();
            for (std::size_t w = 0; w < terms.size(); ++w) {
                query.words[w] = names.terms[terms[w]];
                expansions.push_back(expanded.of_term[terms[w]]);
            }
            query.limit = options.limit;
            query.cutoff = options.cutoff;
            return cat.match(query, expansions, interrupt);
        },
        [&](std::size_t i, const std::vector<catalog::Hit>& hits) {
            const std::size_t before = pending;
            OwnedRef list = typed_hits(held, hits, pending);
            if (pending != before) {
                unfinished.push_back(i);
            }
            return list;
        });
    return binding::make_tuple(
        std::move(lists),
        binding::make_list(unfinished, [](std::uint64_t i) { return binding::to_python(i); }));
}

// catalog_match_many(catalog, terms, words, offsets, most, limit, cutoff,
// workers): the names as names_of reads them, each matched (match_names).
constexpr std::array<const char*, 8> match_many_params{"catalog", "terms", "words",  "offsets",
                                                       "most",    "limit", "cutoff", "workers"};
OwnedRef catalog_match_many_function(PyObject*, const FastCallArgs& call) {
    auto [cat_arg, terms_arg, words_arg, offsets_arg, most_arg, limit_arg, cutoff_arg,
          workers_arg] = binding::bind("catalog_match_many", match_many_params, call);
    const Held& held = held_of(cat_arg);
    const catalog::MatchQuery options = match_options(limit_arg, cutoff_arg);
    const std::uint64_t most =
        binding::convert_argument("most", [&] { return binding::to_size(most_arg); });
    const BatchNames names = names_of(terms_arg, words_arg, offsets_arg, most);
    return match_names(held, names, options, workers_of(workers_arg));
}

// A batch of names, each a str of ASCII split here as query_terms splits a
// query (on the native threads) or the list of its terms split by the
// package, then their terms numbered by first appearance; none when the
// catalog's names are not split here.
std::optional<BatchNames> split_names(const Held& held, PyObject* names_arg, std::size_t most,
                                      std::uint64_t workers) {
    if (!held.ascii) {
        return std::nullopt;
    }
    // A tuple of its own, which keeps the texts alive while the lock is let go.
    const OwnedRef names = binding::convert_argument(
        "names", [&] { return binding::new_ref(PySequence_Tuple(names_arg)); });
    const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(names.get()));
    std::vector<std::string_view> texts(count);
    std::vector<std::vector<std::u32string>> split(count);
    std::vector<std::uint8_t> here(count, 0);
    binding::convert_argument("names", [&] {
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* name = PyTuple_GET_ITEM(names.get(), static_cast<Py_ssize_t>(i));
            if (PyUnicode_Check(name) && PyUnicode_IS_ASCII(name)) {
                texts[i] = {static_cast<const char*>(PyUnicode_DATA(name)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(name))};
                here[i] = 1;
            } else if (PyList_Check(name)) {
                split[i] = words_of(name);
                split[i].resize(std::min(split[i].size(), most));
            } else {
                binding::throw_error(PyExc_ValueError,
                                     "a name must be a str of ASCII or the list of its terms");
            }
        }
        return 0;
    });
    binding::run_batch<char>(count, workers, [&](std::size_t i, Interrupt&) {
        if (here[i]) {
            catalog::ascii_terms(*held.ascii, texts[i], most, split[i]);
        }
        return char{};
    });
    BatchNames out;
    std::unordered_map<std::u32string_view, std::uint32_t> numbers;
    out.offsets.reserve(count + 1);
    out.offsets.push_back(0);
    for (const std::vector<std::u32string>& terms : split) {
        for (const std::u32string& term : terms) {
            if (term.empty()) {
                continue;  // a word left out
            }
            const auto [at, added] =
                numbers.try_emplace(term, static_cast<std::uint32_t>(out.terms.size()));
            if (added) {
                out.terms.push_back(term);
            }
            out.words.push_back(at->second);
        }
        out.offsets.push_back(out.words.size());
    }
    return out;
}

// catalog_match_texts(catalog, names, most, limit, cutoff, workers): the
// names as split_names reads them, each matched (match_names); or None when
// the catalog's names are not split here.
constexpr std::array<const char*, 6> match_texts_params{"catalog", "names",  "most",
                                                        "limit",   "cutoff", "workers"};
OwnedRef catalog_match_texts_function(PyObject*, const FastCallArgs& call) {
    auto [cat_arg, names_arg, most_arg, limit_arg, cutoff_arg, workers_arg] =
        binding::bind("catalog_match_texts", match_texts_params, call);
    const Held& held = held_of(cat_arg);
    const catalog::MatchQuery options = match_options(limit_arg, cutoff_arg);
    const std::uint64_t most =
        binding::convert_argument("most", [&] { return binding::to_size(most_arg); });
    const std::uint64_t workers = workers_of(workers_arg);
    const std::optional<BatchNames> names = split_names(held, names_arg, most, workers);
    if (!names) {
        return OwnedRef::incref(Py_None);
    }
    return match_names(held, *names, options, workers);
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

PyMethodDef search_methods[] = {
    binding::method_def<catalog_search_function>(
        "catalog_search", "catalog_search(catalog, words, budgets, last_is_prefix, limit)\n--\n\n"),
    binding::method_def<catalog_match_function>(
        "catalog_match", "catalog_match(catalog, words, limit, cutoff)\n--\n\n"),
    binding::method_def<catalog_match_many_function>(
        "catalog_match_many",
        "catalog_match_many(catalog, terms, words, offsets, most, limit, cutoff, workers)\n--\n\n"),
    binding::method_def<catalog_match_texts_function>(
        "catalog_match_texts",
        "catalog_match_texts(catalog, names, most, limit, cutoff, workers)\n--\n\n"),
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

void add_search_functions(PyObject* module) {
    binding::check(PyModule_AddFunctions(module, search_methods));
}

}  // namespace morlatch::engine::catalog_glue
