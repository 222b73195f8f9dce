// Argument binding and conversion for the fast-call-with-keywords convention.
//
// Every parameter is required and may be passed by position or by keyword.
// Conversion failures raise the exact TypeError / OverflowError texts users
// see; a TypeError from converting a parameter is re-raised as
// "argument '<param>': <message>" with the original as its cause.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/boundary.hpp"
#include "binding/ref.hpp"

namespace morlatch::binding {

struct FastCallArgs {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;
};

// Fills slots (one per parameter, borrowed) from positional and keyword
// arguments, raising the binding TypeErrors.
void bind_arguments(std::string_view callable, std::span<const char* const> params,
                    const FastCallArgs& call, std::span<PyObject*> slots);

template <std::size_t N>
std::array<PyObject*, N> bind(std::string_view callable, const std::array<const char*, N>& params,
                              const FastCallArgs& call) {
    std::array<PyObject*, N> slots{};
    bind_arguments(callable, params, call, slots);
    return slots;
}

// Re-raises a pending TypeError as "argument '<param>': <message>".
void wrap_argument_error(const char* param) noexcept;

// Runs convert(); a PythonError it throws is wrapped for param.
template <class Convert>
auto convert_argument(const char* param, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonError&) {
        wrap_argument_error(param);
        throw;
    }
}

// The name of obj's type, as messages show it.
std::string type_name(PyObject* obj);

// Raises TypeError "'<type>' object cannot be converted to '<target>'".
[[noreturn]] void throw_cannot_convert(PyObject* obj, const char* target);

// Element conversions.
std::u32string to_text(PyObject* obj);
// The code points of a str as they are, lone surrogates included (a query
// may hold one: it is a character that no key holds).
std::u32string code_points(PyObject* str);
std::optional<char32_t> to_first_char(PyObject* obj);
std::uint64_t to_size(PyObject* obj);
std::uint32_t to_u32(PyObject* obj);
std::uint8_t to_u8(PyObject* obj);

template <class Convert>
auto to_optional(PyObject* obj, Convert&& convert) -> std::optional<decltype(convert(obj))> {
    if (obj == Py_None) {
        return std::nullopt;
    }
    return convert(obj);
}

inline constexpr Py_ssize_t max_reserve_hint = Py_ssize_t{1} << 20;

// Refuses str and non-sequences with the list-argument TypeErrors.
void check_list_argument(PyObject* obj);

// Converts any sequence element by element, in iteration order.
template <class T, class Convert>
std::vector<T> to_vector(PyObject* obj, Convert&& convert) {
    check_list_argument(obj);
    std::vector<T> out;
    if (PyList_CheckExact(obj)) {
        // Same as iterating: the length is re-read after every element, since
        // converting one may run Python code that changes the list.
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            OwnedRef item = OwnedRef::incref(PyList_GET_ITEM(obj, i));
            out.push_back(convert(item.get()));
        }
        return out;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(obj);
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            out.push_back(convert(PyTuple_GET_ITEM(obj, i)));
        }
        return out;
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    // The hint comes from __len__ and cannot be trusted to be sane.
    out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, max_reserve_hint)));
    OwnedRef iter = new_ref(PyObject_GetIter(obj));
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iter.get()))) {
        out.push_back(convert(item.get()));
    }
    if (PyErr_Occurred()) {
        throw PythonError{};
    }
    return out;
}

}  // namespace morlatch::binding
