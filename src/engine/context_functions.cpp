// A speller scores each candidate word by its neighbours: log P(word |
// before) + log P(after | word) - log P(after), with word pairs, backing off
// to a share of the lone word's probability for a pair not listed. The
// speller keeps its counts and pairs in Python dicts; the scores are read
// from those dicts as they are (no copy to keep in step), and each term is
// the same double arithmetic, in the same order, as the speller's own
// Python scoring, so the two agree to the last bit.
#include "engine/context_functions.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/entry.hpp"
#include "binding/ref.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

// The counts, pairs and scale that the scores are read from, and the two
// neighbours of every word scored; every object is borrowed from the
// call's arguments. What depends on the neighbours alone is read once.
class ContextModel {
public:
    ContextModel(PyObject* counts, PyObject* pairs, double log_total, double backoff,
                 PyObject* before, PyObject* after)
        : counts_(counts),
          pairs_(pairs),
          log_total_(log_total),
          log_backoff_(std::log(backoff)),
          before_(before),
          after_(after),
          has_pairs_(PyDict_GET_SIZE(pairs) > 0) {}

    // log P(word | before) + log P(after | word) - log P(after), or log
    // P(word) without pairs (or without neighbours).
    double context(PyObject* word) {
        if (!has_pairs_) {
            return log_p(word);
        }
        double score = before_ == Py_None ? log_p(word) : log_follow(before_, word);
        if (after_ != Py_None) {
            if (!after_read_) {
                after_log_p_ = log_p(after_);
                after_read_ = true;
            }
            score += log_follow(word, after_) - after_log_p_;
        }
        return score;
    }

private:
    // log(count(word) + 1) - log_total.
    double log_p(PyObject* word) const { return log_of_count_plus_one(word) - log_total_; }

    // log P(second | first), backing off to P(second).
    double log_follow(PyObject* first, PyObject* second) {
        PyObject* found = pair(first, second);
        if (found == nullptr) {
            return log_backoff_ + log_p(second);
        }
        const double share = to_double(found);
        return checked_log(share) - checked_log(static_cast<double>(count_of(first)) + share);
    }

    // count(word), read once for the word before.
    std::uint64_t count_of(PyObject* word) {
        if (word != before_) {
            return count(word);
        }
        if (!before_read_) {
            before_count_ = count(word);
            before_read_ = true;
        }
        return before_count_;
    }

private:
    // A word's count; 0 for a word the counts lack.
    std::uint64_t count(PyObject* word) const {
        PyObject* found = PyDict_GetItemWithError(counts_, word);
        if (found == nullptr) {
            if (PyErr_Occurred()) {
                throw binding::PythonError{};
            }
            return 0;
        }
        const unsigned long long value = PyLong_AsUnsignedLongLong(found);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            throw binding::PythonError{};
        }
        return value;
    }

    double log_of_count_plus_one(PyObject* word) const {
        const std::uint64_t value = count(word);
        // count + 1 as the nearest double, 2**64 included.
        const double plus_one = value == std::numeric_limits<std::uint64_t>::max()
                                    ? 18446744073709551616.0
                                    : static_cast<double>(value + 1);
        return std::log(plus_one);
    }

    // The pair's value (borrowed), or nullptr when it is not listed.
    // (A fresh key each time, from the interpreter's free list of pairs: a
    // tuple may cache its hash, so one key cannot be refilled.)
    PyObject* pair(PyObject* first, PyObject* second) const {
        const OwnedRef key = binding::new_ref(PyTuple_Pack(2, first, second));
        PyObject* found = PyDict_GetItemWithError(pairs_, key.get());
        if (found == nullptr && PyErr_Occurred()) {
            throw binding::PythonError{};
        }
        return found;
    }

    static double to_double(PyObject* number) {
        const double value = PyFloat_AsDouble(number);
        if (value == -1.0 && PyErr_Occurred()) {
            throw binding::PythonError{};
        }
        return value;
    }

    // log(x), with the ValueError math.log raises outside its domain.
    static double checked_log(double x) {
        if (!(x > 0.0) && !std::isnan(x)) {
            binding::throw_error(PyExc_ValueError, "math domain error");
        }
        return std::log(x);
    }

    PyObject* counts_;
    PyObject* pairs_;
    double log_total_;
    double log_backoff_;
    PyObject* before_;
    PyObject* after_;
    bool has_pairs_;
    bool after_read_ = false;
    double after_log_p_ = 0.0;
    bool before_read_ = false;
    std::uint64_t before_count_ = 0;
};

PyObject* dict_argument(PyObject* obj, const char* param) {
    return binding::convert_argument(param, [&] {
        if (!PyDict_Check(obj)) {
            binding::throw_cannot_convert(obj, "dict");
        }
        return obj;
    });
}

PyObject* optional_word(PyObject* obj, const char* param) {
    return binding::convert_argument(param, [&] {
        if (obj != Py_None && !PyUnicode_Check(obj)) {
            binding::throw_cannot_convert(obj, "str");
        }
        return obj;
    });
}

double float_argument(PyObject* obj, const char* param) {
    return binding::convert_argument(param, [&] {
        const double value = PyFloat_AsDouble(obj);
        if (value == -1.0 && PyErr_Occurred()) {
            throw binding::PythonError{};
        }
        return value;
    });
}

// context_scores(counts, pairs, log_total, backoff, words, before, after):
// the context score of every word of the list `words` between `before` and
// `after` (None: no neighbour there), in order, as a list of floats.
constexpr std::array<const char*, 7> context_scores_params{
    "counts", "pairs", "log_total", "backoff", "words", "before", "after"};
OwnedRef context_scores_function(PyObject*, const FastCallArgs& call) {
    auto [counts_arg, pairs_arg, log_total_arg, backoff_arg, words_arg, before_arg, after_arg] =
        binding::bind("context_scores", context_scores_params, call);
    PyObject* counts = dict_argument(counts_arg, "counts");
    PyObject* pairs = dict_argument(pairs_arg, "pairs");
    const double log_total = float_argument(log_total_arg, "log_total");
    const double backoff = float_argument(backoff_arg, "backoff");
    PyObject* words = binding::convert_argument("words", [&] {
        if (!PyList_Check(words_arg)) {
            binding::throw_cannot_convert(words_arg, "list");
        }
        return words_arg;
    });
    PyObject* before = optional_word(before_arg, "before");
    PyObject* after = optional_word(after_arg, "after");
    ContextModel model(counts, pairs, log_total, backoff, before, after);
    // The words are read from a copy of the list: a lookup may run Python
    // code (a key's __eq__) that changes the list.
    const OwnedRef held = binding::new_ref(PyList_AsTuple(words));
    const Py_ssize_t size = PyTuple_GET_SIZE(held.get());
    OwnedRef out = binding::new_ref(PyList_New(size));
    for (Py_ssize_t at = 0; at < size; ++at) {
        PyObject* word = PyTuple_GET_ITEM(held.get(), at);
        if (!PyUnicode_Check(word)) {
            binding::throw_error(PyExc_TypeError, "words must be a list of str");
        }
        const double score = model.context(word);
        PyList_SET_ITEM(out.get(), at, binding::new_ref(PyFloat_FromDouble(score)).release());
    }
    return out;
}

PyMethodDef context_methods[] = {
    binding::method_def<context_scores_function>(
        "context_scores",
        "context_scores(counts, pairs, log_total, backoff, words, before, after)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_context_functions(PyObject* module) {
    binding::check(PyModule_AddFunctions(module, context_methods));
}

}  // namespace morlatch::engine
