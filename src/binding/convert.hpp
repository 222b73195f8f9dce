// Result conversion: native values to new Python objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "binding/ref.hpp"

namespace morlatch::binding {

inline OwnedRef to_python(std::u32string_view text) {
    return new_ref(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                             static_cast<Py_ssize_t>(text.size())));
}

inline OwnedRef char_to_python(char32_t c) {
    return to_python(std::u32string_view(&c, 1));
}

inline OwnedRef to_python(std::uint64_t value) {
    return new_ref(PyLong_FromUnsignedLongLong(value));
}

inline OwnedRef to_python(std::uint32_t value) {
    return new_ref(PyLong_FromUnsignedLong(value));
}

template <class T>
OwnedRef to_python(const std::optional<T>& value) {
    if (!value) {
        return OwnedRef::incref(Py_None);
    }
    return to_python(*value);
}

// A tuple of already converted items; takes them over.
template <class... Items>
OwnedRef make_tuple(Items&&... items) {
    OwnedRef tuple = new_ref(PyTuple_New(sizeof...(Items)));
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(tuple.get(), i++, items.release()), ...);
    return tuple;
}

// A list of exactly range.size() items, each made by convert(element).
template <class Range, class Convert>
OwnedRef make_list(const Range& range, Convert&& convert) {
    OwnedRef list = new_ref(PyList_New(static_cast<Py_ssize_t>(range.size())));
    Py_ssize_t i = 0;
    for (const auto& element : range) {
        PyList_SET_ITEM(list.get(), i++, convert(element).release());
    }
    return list;
}

}  // namespace morlatch::binding
