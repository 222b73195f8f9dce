#include "engine/search_functions.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/gil.hpp"
#include "binding/ref.hpp"
#include "engine/search_args.hpp"
#include "engine/weight_functions.hpp"
#include "prefix/file/store.hpp"
#include "prefix/ranking/weighted.hpp"
#include "prefix/search/ranked.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

// The searchable store of a PrefixSearch argument, and the table that ranks
// its keys (null: none).
struct Ranking {
    const Store& store;
    const WeightTable* table;
};

Ranking ranking_of(PyObject* search, PyObject* table) {
    if (table == Py_None) {
        return {searchable_store(search, "ranked search, completion and key listing need"),
                nullptr};
    }
    const Store& store = searchable_store(search, "weighted ranking needs");
    return {store, optional_table(table, store.layout())};
}

// The keys within options.max_dist of `query`, by (distance, -weight, key).
std::vector<Match> ranked(const Ranking& ranking, std::u32string_view query,
                          const RankedOptions& options, Interrupt& interrupt) {
    if (ranking.table == nullptr) {
        return ranking.store.ranked_search(query, options, interrupt);
    }
    return weighted_search(ranking.store.layout(), ranking.table, query, options, interrupt);
}

// The completions of `prefix`, by (distance, key length, key) or, with
// weights, by (distance, -weight, key).
std::vector<Match> completed(const Ranking& ranking, std::u32string_view prefix,
                             const RankedOptions& options, Interrupt& interrupt) {
    if (ranking.table == nullptr) {
        return ranking.store.complete(prefix, options, interrupt);
    }
    return weighted_complete(ranking.store.layout(), *ranking.table, prefix, options, interrupt);
}

using Query = std::vector<Match> (*)(const Ranking&, std::u32string_view, const RankedOptions&,
                                     Interrupt&);

// search and complete: (search, table, text, max_dist, limit,
// transpositions, match_type); the table is None or a WeightTable.
template <Query Run>
OwnedRef one_query(const char* name, const char* text_param, const FastCallArgs& call) {
    const std::array<const char*, 7> params{"search", "table",          text_param,  "max_dist",
                                            "limit",  "transpositions", "match_type"};
    auto [search_arg, table_arg, text_arg, max_dist_arg, limit_arg, swap_arg, type_arg] =
        binding::bind(name, params, call);
    const Ranking ranking = ranking_of(search_arg, table_arg);
    const std::u32string text =
        binding::convert_argument(text_param, [&] { return query_text(text_arg); });
    const RankedOptions options = options_of(max_dist_arg, limit_arg, swap_arg);
    PyTypeObject* type = match_type_of(type_arg);
    std::vector<Match> matches;
    {
        binding::ReleasedGil released;
        Interrupt interrupt = released.interrupt();
        matches = Run(ranking, text, options, interrupt);
    }
    return matches_to_python(type, matches);
}

OwnedRef search_function(PyObject*, const FastCallArgs& call) {
    return one_query<&ranked>("search", "query", call);
}

OwnedRef complete_function(PyObject*, const FastCallArgs& call) {
    return one_query<&completed>("complete", "prefix", call);
}

constexpr std::array<const char*, 8> search_many_params{
    "search", "table", "queries", "max_dist", "limit", "transpositions", "workers", "match_type"};
OwnedRef search_many_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg, table_arg, queries_arg, max_dist_arg, limit_arg, swap_arg, workers_arg,
          type_arg] = binding::bind("search_many", search_many_params, call);
    const Ranking ranking = ranking_of(search_arg, table_arg);
    const std::vector<std::u32string> queries = binding::convert_argument(
        "queries", [&] { return binding::to_vector<std::u32string>(queries_arg, query_text); });
    const RankedOptions options = options_of(max_dist_arg, limit_arg, swap_arg);
    const std::uint64_t workers =
        binding::convert_argument("workers", [&] { return binding::to_size(workers_arg); });
    PyTypeObject* type = match_type_of(type_arg);
    return batch_to_python(type, queries.size(), workers, [&](std::size_t i, Interrupt& interrupt) {
        return ranked(ranking, queries[i], options, interrupt);
    });
}

// ---- correction ---------------------------------------------------------------------

// The search layout of a PrefixSearch argument.
const CompactTrie& compact_of(PyObject* obj) {
    return searchable_store(obj, "weighted ranking needs").layout();
}

// The options of correct and correct_many; `model` (kept by the caller)
// receives the error model when model_arg is not None.
CorrectOptions correct_options(PyObject* max_dist_arg, PyObject* limit_arg, PyObject* swap_arg,
                               PyObject* model_arg, ErrorModel& model) {
    CorrectOptions options;
    options.max_dist =
        binding::convert_argument("max_dist", [&] { return binding::to_size(max_dist_arg); });
    options.limit = binding::convert_argument("limit", [&] { return binding::to_size(limit_arg); });
    options.transpositions = truth(swap_arg);
    if (model_arg != Py_None) {
        if (!PyTuple_Check(model_arg) || PyTuple_GET_SIZE(model_arg) != 3) {
            binding::throw_error(PyExc_TypeError, "model must be None or (edit, cheap, vowels)");
        }
        const auto cost = [](PyObject* obj) {
            return static_cast<std::uint32_t>(
                std::min<std::uint64_t>(binding::to_size(obj), 1000000));
        };
        model.edit = binding::convert_argument(
            "model", [&] { return cost(PyTuple_GET_ITEM(model_arg, 0)); });
        model.cheap = binding::convert_argument(
            "model", [&] { return cost(PyTuple_GET_ITEM(model_arg, 1)); });
        model.vowels = binding::convert_argument(
            "model", [&] { return query_text(PyTuple_GET_ITEM(model_arg, 2)); });
        options.model = &model;
    }
    return options;
}

// correct(search, table, word, max_dist, limit, transpositions, model,
// match_type); model is None (the plain rule) or (edit cost, cheap cost,
// vowels) with costs in thousandths of a nat.
constexpr std::array<const char*, 8> correct_params{
    "search", "table", "word", "max_dist", "limit", "transpositions", "model", "match_type"};
OwnedRef correct_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg, table_arg, word_arg, max_dist_arg, limit_arg, swap_arg, model_arg, type_arg] =
        binding::bind("correct", correct_params, call);
    const CompactTrie& trie = compact_of(search_arg);
    const WeightTable* table = optional_table(table_arg, trie);
    const std::u32string word =
        binding::convert_argument("word", [&] { return query_text(word_arg); });
    ErrorModel model;
    const CorrectOptions options =
        correct_options(max_dist_arg, limit_arg, swap_arg, model_arg, model);
    PyTypeObject* type = match_type_of(type_arg);
    std::vector<Match> matches;
    {
        binding::ReleasedGil released;
        Interrupt interrupt = released.interrupt();
        matches = correct(trie, table, word, options, interrupt);
    }
    return matches_to_python(type, matches);
}

// correct_many(search, table, words, max_dist, limit, transpositions, model,
// workers, match_type): correct for every word, on native threads.
constexpr std::array<const char*, 9> correct_many_params{"search",   "table",   "words",
                                                         "max_dist", "limit",   "transpositions",
                                                         "model",    "workers", "match_type"};
OwnedRef correct_many_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg, table_arg, words_arg, max_dist_arg, limit_arg, swap_arg, model_arg,
          workers_arg, type_arg] = binding::bind("correct_many", correct_many_params, call);
    const CompactTrie& trie = compact_of(search_arg);
    const WeightTable* table = optional_table(table_arg, trie);
    const std::vector<std::u32string> words = binding::convert_argument(
        "words", [&] { return binding::to_vector<std::u32string>(words_arg, query_text); });
    ErrorModel model;
    const CorrectOptions options =
        correct_options(max_dist_arg, limit_arg, swap_arg, model_arg, model);
    const std::uint64_t workers =
        binding::convert_argument("workers", [&] { return binding::to_size(workers_arg); });
    PyTypeObject* type = match_type_of(type_arg);
    return batch_to_python(type, words.size(), workers, [&](std::size_t i, Interrupt& interrupt) {
        return correct(trie, table, words[i], options, interrupt);
    });
}

PyMethodDef search_methods[] = {
    binding::method_def<search_function>(
        "search",
        "search(search, table, query, max_dist, limit, transpositions, match_type)\n--\n\n"),
    binding::method_def<complete_function>(
        "complete",
        "complete(search, table, prefix, max_dist, limit, transpositions, match_type)\n--\n\n"),
    binding::method_def<search_many_function>(
        "search_many",
        "search_many(search, table, queries, max_dist, limit, transpositions, workers, "
        "match_type)\n--\n\n"),
    binding::method_def<correct_function>(
        "correct",
        "correct(search, table, word, max_dist, limit, transpositions, model, match_type)"
        "\n--\n\n"),
    binding::method_def<correct_many_function>(
        "correct_many",
        "correct_many(search, table, words, max_dist, limit, transpositions, model, workers, "
        "match_type)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_search_functions(PyObject* module) {
    binding::check(PyModule_AddFunctions(module, search_methods));
}

}  // namespace morlatch::engine
