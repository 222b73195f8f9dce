// A speller reads a text as whitespace-separated pieces; a piece that looks
// like a URL, an address, a number or code is skipped, and the words of the
// others are runs of letters with apostrophes inside ("don't"). The
// character classes are the interpreter's own (those its regular
// expressions use), so the words are the ones the package's pattern finds.
// Whether a piece is skipped takes a pattern of many rules; a piece that
// cannot meet any of them (letters and plain punctuation) is decided here,
// any other by the caller's own `skipped`.
#include "engine/text_functions.hpp"

#include <array>
#include <string_view>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/entry.hpp"
#include "binding/ref.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

// A letter of a word: a word character that is neither a decimal digit
// nor "_" (what [^\W\d_] matches).
bool is_letter(Py_UCS4 ch) {
    return ch != '_' && Py_UNICODE_ISALNUM(ch) && !Py_UNICODE_ISDECIMAL(ch);
}

bool is_apostrophe(Py_UCS4 ch) {
    return ch == '\'' || ch == 0x2019;
}

bool is_ascii_lower(Py_UCS4 ch) {
    return ch >= 'a' && ch <= 'z';
}
bool is_ascii_upper(Py_UCS4 ch) {
    return ch >= 'A' && ch <= 'Z';
}

// Whether the piece [start, end) cannot be one to skip: none of the signs
// of an address, path, markup or code, no digit, no surrogate, no dot (a
// dot may join two words, "e.g", or follow "www"), no small letter before
// a capital.
bool plainly_prose(int kind, const void* data, Py_ssize_t start, Py_ssize_t end) {
    constexpr std::string_view signs = "/\\_=<>{}[]#$%^&*|~`+@.";
    Py_UCS4 last = 0;
    for (Py_ssize_t at = start; at < end; ++at) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, at);
        if ((ch < 0x80 && signs.find(static_cast<char>(ch)) != std::string_view::npos) ||
            Py_UNICODE_ISDECIMAL(ch) || (ch >= 0xD800 && ch <= 0xDFFF) ||
            (is_ascii_lower(last) && is_ascii_upper(ch))) {
            return false;
        }
        last = ch;
    }
    return true;
}

// Appends the words of the piece [start, end) to `spans` as (start, end).
void add_words(PyObject* spans, int kind, const void* data, Py_ssize_t start, Py_ssize_t end) {
    Py_ssize_t at = start;
    while (at < end) {
        if (!is_letter(PyUnicode_READ(kind, data, at))) {
            ++at;
            continue;
        }
        const Py_ssize_t first = at;
        while (at < end && is_letter(PyUnicode_READ(kind, data, at))) {
            ++at;
        }
        // An apostrophe inside the word, letters after it.
        while (at + 1 < end && is_apostrophe(PyUnicode_READ(kind, data, at)) &&
               is_letter(PyUnicode_READ(kind, data, at + 1))) {
            at += 2;
            while (at < end && is_letter(PyUnicode_READ(kind, data, at))) {
                ++at;
            }
        }
        OwnedRef span = binding::new_ref(Py_BuildValue("(nn)", first, at));
        binding::check(PyList_Append(spans, span.get()));
    }
}

// text_spans(text, skipped): the (start, end) spans of the words of `text`
// that are checked, in order; `skipped(piece)` says whether a
// whitespace-separated piece that is not plainly prose holds no words to
// check.
constexpr std::array<const char*, 2> text_spans_params{"text", "skipped"};
OwnedRef text_spans_function(PyObject*, const FastCallArgs& call) {
    auto [text_arg, skipped_arg] = binding::bind("text_spans", text_spans_params, call);
    PyObject* text = binding::convert_argument("text", [&] {
        if (!PyUnicode_Check(text_arg)) {
            binding::throw_cannot_convert(text_arg, "str");
        }
        return text_arg;
    });
    const OwnedRef held = OwnedRef::incref(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    OwnedRef spans = binding::new_ref(PyList_New(0));
    Py_ssize_t at = 0;
    while (at < size) {
        if (Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, at))) {
            ++at;
            continue;
        }
        const Py_ssize_t start = at;
        while (at < size && !Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, at))) {
            ++at;
        }
        if (!plainly_prose(kind, data, start, at)) {
            OwnedRef piece = binding::new_ref(PyUnicode_Substring(text, start, at));
            OwnedRef answer = binding::new_ref(PyObject_CallOneArg(skipped_arg, piece.get()));
            const int skip = PyObject_IsTrue(answer.get());
            binding::check(skip);
            if (skip != 0) {
                continue;
            }
        }
        add_words(spans.get(), kind, data, start, at);
    }
    return spans;
}

PyMethodDef text_methods[] = {
    binding::method_def<text_spans_function>("text_spans", "text_spans(text, skipped)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_text_functions(PyObject* module) {
    binding::check(PyModule_AddFunctions(module, text_methods));
}

}  // namespace morlatch::engine
