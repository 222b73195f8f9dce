#include "engine/spell_functions.hpp"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/batch.hpp"
#include "binding/boundary.hpp"
#include "binding/entry.hpp"
#include "binding/gil.hpp"
#include "binding/ref.hpp"
#include "engine/search_args.hpp"
#include "engine/weight_functions.hpp"
#include "spell/channel.hpp"
#include "spell/corrector.hpp"
#include "spell/sounds.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

constexpr const char* kCapsule = "morlatch._engine.Channel";

double to_double(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        throw binding::PythonError{};
    }
    return value;
}

std::u32string text_of(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        binding::throw_cannot_convert(obj, "str");
    }
    return binding::code_points(obj);
}

void channel_destructor(PyObject* capsule) {
    delete static_cast<spell::Channel*>(PyCapsule_GetPointer(capsule, kCapsule));
}

// channel(sources, targets, costs, rates): a channel of the learned edits
// sources[i] -> targets[i] at costs[i], with rates = (substitute, remove,
// insert, swap) for the single-character edits none of them covers.
constexpr std::array<const char*, 4> channel_params{"sources", "targets", "costs", "rates"};
OwnedRef channel_function(PyObject*, const FastCallArgs& call) {
    auto [sources_arg, targets_arg, costs_arg, rates_arg] =
        binding::bind("channel", channel_params, call);
    const auto sources = binding::convert_argument(
        "sources", [&] { return binding::to_vector<std::u32string>(sources_arg, text_of); });
    const auto targets = binding::convert_argument(
        "targets", [&] { return binding::to_vector<std::u32string>(targets_arg, text_of); });
    const auto costs = binding::convert_argument(
        "costs", [&] { return binding::to_vector<double>(costs_arg, to_double); });
    const auto rates = binding::convert_argument(
        "rates", [&] { return binding::to_vector<double>(rates_arg, to_double); });
    if (sources.size() != targets.size() || sources.size() != costs.size()) {
        binding::throw_error(PyExc_ValueError, "sources, targets and costs differ in length");
    }
    if (rates.size() != 4) {
        binding::throw_error(PyExc_ValueError, "rates must hold four costs");
    }
    std::vector<spell::Edit> edits;
    edits.reserve(sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) {
        edits.push_back({sources[i], targets[i], costs[i]});
    }
    auto channel = std::make_unique<spell::Channel>(
        edits, spell::Rates{rates[0], rates[1], rates[2], rates[3]});
    OwnedRef capsule = binding::new_ref(PyCapsule_New(channel.get(), kCapsule, channel_destructor));
    channel.release();
    return capsule;
}

// channel_costs(channel, typed, words, band): the cost of typing `typed` for
// each of `words`, as a list of floats.
constexpr std::array<const char*, 4> costs_params{"channel", "typed", "words", "band"};
OwnedRef channel_costs_function(PyObject*, const FastCallArgs& call) {
    auto [channel_arg, typed_arg, words_arg, band_arg] =
        binding::bind("channel_costs", costs_params, call);
    auto* channel = static_cast<const spell::Channel*>(PyCapsule_GetPointer(channel_arg, kCapsule));
    if (channel == nullptr) {
        throw binding::PythonError{};
    }
    const std::u32string typed =
        binding::convert_argument("typed", [&] { return text_of(typed_arg); });
    const auto words = binding::convert_argument(
        "words", [&] { return binding::to_vector<std::u32string>(words_arg, text_of); });
    const std::uint64_t band =
        binding::convert_argument("band", [&] { return binding::to_size(band_arg); });
    OwnedRef list = binding::new_ref(PyList_New(static_cast<Py_ssize_t>(words.size())));
    for (std::size_t i = 0; i < words.size(); ++i) {
        OwnedRef value = binding::new_ref(
            PyFloat_FromDouble(channel->cost(typed, words[i], static_cast<std::size_t>(band))));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value.release());
    }
    return list;
}

std::u32string marked_text_of(PyObject* obj) {
    std::u32string text = text_of(obj);
    text.insert(text.begin(), U'^');
    text.push_back(U'$');
    return text;
}

// channel_rank(channel, typed, words, priors, limit, max_cost, band): the
// `limit` best of `words` meant by `typed` (all lower-case, without boundary
// marks), as a list of (position in words, score), best first; a word scores
// its prior less the cost of typing `typed` for it, and words costing more
// than `max_cost` are left out.
constexpr std::array<const char*, 7> rank_params{"channel", "typed",    "words", "priors",
                                                 "limit",   "max_cost", "band"};
OwnedRef channel_rank_function(PyObject*, const FastCallArgs& call) {
    auto [channel_arg, typed_arg, words_arg, priors_arg, limit_arg, max_cost_arg, band_arg] =
        binding::bind("channel_rank", rank_params, call);
    auto* channel = static_cast<const spell::Channel*>(PyCapsule_GetPointer(channel_arg, kCapsule));
    if (channel == nullptr) {
        throw binding::PythonError{};
    }
    const std::u32string typed =
        binding::convert_argument("typed", [&] { return marked_text_of(typed_arg); });
    const auto words = binding::convert_argument(
        "words", [&] { return binding::to_vector<std::u32string>(words_arg, marked_text_of); });
    const auto priors = binding::convert_argument(
        "priors", [&] { return binding::to_vector<double>(priors_arg, to_double); });
    if (priors.size() != words.size()) {
        binding::throw_error(PyExc_ValueError, "words and priors differ in length");
    }
    const std::uint64_t limit =
        binding::convert_argument("limit", [&] { return binding::to_size(limit_arg); });
    const double max_cost =
        binding::convert_argument("max_cost", [&] { return to_double(max_cost_arg); });
    const std::uint64_t band =
        binding::convert_argument("band", [&] { return binding::to_size(band_arg); });
    const auto ranked = channel->rank(typed, words, priors, static_cast<std::size_t>(limit),
                                      max_cost, static_cast<std::size_t>(band));
    OwnedRef list = binding::new_ref(PyList_New(static_cast<Py_ssize_t>(ranked.size())));
    for (std::size_t i = 0; i < ranked.size(); ++i) {
        OwnedRef item = binding::new_ref(
            Py_BuildValue("(nd)", static_cast<Py_ssize_t>(ranked[i].at), ranked[i].score));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

// ---- the corrector ------------------------------------------------------------------

constexpr const char* kCorrector = "morlatch._engine.Corrector";

// A corrector and the Python objects whose memory its searches read.
struct HeldCorrector {
    spell::Corrector corrector;
    std::array<OwnedRef, 4> kept;
};

void corrector_destructor(PyObject* capsule) {
    delete static_cast<HeldCorrector*>(PyCapsule_GetPointer(capsule, kCorrector));
}

// The items of a dict, each through convert(key, value).
template <class Convert>
void for_items(PyObject* obj, Convert&& convert) {
    if (!PyDict_Check(obj)) {
        binding::throw_cannot_convert(obj, "dict");
    }
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(obj, &at, &key, &value)) {
        convert(key, value);
    }
}

ErrorModel search_model_of(PyObject* obj) {
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 3) {
        binding::throw_error(PyExc_TypeError, "model must be (edit, cheap, vowels)");
    }
    return {binding::to_u32(PyTuple_GET_ITEM(obj, 0)), binding::to_u32(PyTuple_GET_ITEM(obj, 1)),
            text_of(PyTuple_GET_ITEM(obj, 2))};
}

spell::Limits limits_of(PyObject* obj) {
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 6) {
        binding::throw_error(PyExc_TypeError, "limits must be a tuple of six");
    }
    const auto item = [obj](Py_ssize_t at) { return PyTuple_GET_ITEM(obj, at); };
    return {binding::to_size(item(0)), binding::to_size(item(1)), to_double(item(2)),
            to_double(item(3)),        binding::to_size(item(4)), binding::to_size(item(5))};
}

// corrector(words, word_weights, sounds, sound_weights, model, sounding,
// counts, log_total, limits): a corrector over the word search and the
// sounds-like keys' search (PrefixSearch objects with their WeightTables);
// model = (edit, cheap, vowels) ranks the word search's candidates, sounding
// maps each key to its words (commonest first), counts maps every known word
// to its count, and limits = (edit candidates, sound candidates, near cost,
// most cost, longest word, band).
constexpr std::array<const char*, 9> corrector_params{"words",         "word_weights", "sounds",
                                                      "sound_weights", "model",        "sounding",
                                                      "counts",        "log_total",    "limits"};
OwnedRef corrector_function(PyObject*, const FastCallArgs& call) {
    auto [words_arg, word_weights_arg, sounds_arg, sound_weights_arg, model_arg, sounding_arg,
          counts_arg, log_total_arg, limits_arg] =
        binding::bind("corrector", corrector_params, call);
    spell::Searches searches;
    searches.words = binding::convert_argument(
        "words", [&] { return &searchable_store(words_arg, "the corrector needs").layout(); });
    searches.word_weights = binding::convert_argument(
        "word_weights", [&] { return optional_table(word_weights_arg, *searches.words); });
    searches.sounds = binding::convert_argument(
        "sounds", [&] { return &searchable_store(sounds_arg, "the corrector needs").layout(); });
    searches.sound_weights = binding::convert_argument(
        "sound_weights", [&] { return optional_table(sound_weights_arg, *searches.sounds); });
    searches.search_model =
        binding::convert_argument("model", [&] { return search_model_of(model_arg); });
    binding::convert_argument("sounding", [&] {
        for_items(sounding_arg, [&](PyObject* key, PyObject* words) {
            searches.sounding.emplace(text_of(key),
                                      binding::to_vector<std::u32string>(words, text_of));
        });
        return 0;
    });
    spell::Counts counts;
    binding::convert_argument("counts", [&] {
        for_items(counts_arg, [&](PyObject* word, PyObject* count) {
            counts.emplace(text_of(word), binding::to_size(count));
        });
        return 0;
    });
    const double log_total =
        binding::convert_argument("log_total", [&] { return to_double(log_total_arg); });
    const spell::Limits limits =
        binding::convert_argument("limits", [&] { return limits_of(limits_arg); });
    auto held = std::make_unique<HeldCorrector>(
        HeldCorrector{spell::Corrector(std::move(searches), std::move(counts), log_total, limits),
                      {OwnedRef::incref(words_arg), OwnedRef::incref(word_weights_arg),
                       OwnedRef::incref(sounds_arg), OwnedRef::incref(sound_weights_arg)}});
    OwnedRef capsule =
        binding::new_ref(PyCapsule_New(held.get(), kCorrector, corrector_destructor));
    held.release();
    return capsule;
}

// corrector_best(corrector, channel, words, workers): for each lower-case
// word of `words`, the word meant, or None when the word is known or nothing
// is within reach; on `workers` native threads (0: one per core) without the
// interpreter's lock.
constexpr std::array<const char*, 4> best_params{"corrector", "channel", "words", "workers"};
OwnedRef corrector_best_function(PyObject*, const FastCallArgs& call) {
    auto [corrector_arg, channel_arg, words_arg, workers_arg] =
        binding::bind("corrector_best", best_params, call);
    auto* held = static_cast<const HeldCorrector*>(PyCapsule_GetPointer(corrector_arg, kCorrector));
    auto* channel = static_cast<const spell::Channel*>(PyCapsule_GetPointer(channel_arg, kCapsule));
    if (held == nullptr || channel == nullptr) {
        throw binding::PythonError{};
    }
    const auto words = binding::convert_argument(
        "words", [&] { return binding::to_vector<std::u32string>(words_arg, query_text); });
    const std::uint64_t workers =
        binding::convert_argument("workers", [&] { return binding::to_size(workers_arg); });
    const auto found = binding::run_batch<std::optional<std::u32string>>(
        words.size(), workers, [&](std::size_t i, Interrupt& interrupt) {
            return held->corrector.best(*channel, words[i], interrupt);
        });
    return binding::make_list(
        found, [](const std::optional<std::u32string>& word) { return binding::to_python(word); });
}

// sounds_like(word): the sounds-like key of the lower-case `word`.
constexpr std::array<const char*, 1> sounds_params{"word"};
OwnedRef sounds_like_function(PyObject*, const FastCallArgs& call) {
    auto [word_arg] = binding::bind("sounds_like", sounds_params, call);
    const std::u32string word =
        binding::convert_argument("word", [&] { return query_text(word_arg); });
    return binding::to_python(std::u32string_view(spell::sounds_like(word)));
}

PyMethodDef spell_methods[] = {
    binding::method_def<channel_function>("channel",
                                          "channel(sources, targets, costs, rates)\n--\n\n"),
    binding::method_def<channel_costs_function>(
        "channel_costs", "channel_costs(channel, typed, words, band)\n--\n\n"),
    binding::method_def<channel_rank_function>(
        "channel_rank",
        "channel_rank(channel, typed, words, priors, limit, max_cost, band)\n--\n\n"),
    binding::method_def<corrector_function>(
        "corrector",
        "corrector(words, word_weights, sounds, sound_weights, model, sounding, counts, "
        "log_total, limits)\n--\n\n"),
    binding::method_def<corrector_best_function>(
        "corrector_best", "corrector_best(corrector, channel, words, workers)\n--\n\n"),
    binding::method_def<sounds_like_function>("sounds_like", "sounds_like(word)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_spell_functions(PyObject* module) {
    binding::check(PyModule_AddFunctions(module, spell_methods));
}

}  // namespace morlatch::engine
