#include "engine/spell_functions.hpp"

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/entry.hpp"
#include "binding/ref.hpp"
#include "spell/channel.hpp"

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

PyMethodDef spell_methods[] = {
    binding::method_def<channel_function>("channel",
                                          "channel(sources, targets, costs, rates)\n--\n\n"),
    binding::method_def<channel_costs_function>(
        "channel_costs", "channel_costs(channel, typed, words, band)\n--\n\n"),
    binding::method_def<channel_rank_function>(
        "channel_rank",
        "channel_rank(channel, typed, words, priors, limit, max_cost, band)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_spell_functions(PyObject* module) {
    binding::check(PyModule_AddFunctions(module, spell_methods));
}

}  // namespace morlatch::engine
