#include "binding/args.hpp"

#include <limits>

#include "base/texts.hpp"

namespace morlatch::binding {

namespace {

std::string utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        throw PythonError{};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// Raises the interpreter's own error for text that UTF-8 cannot carry (lone
// surrogates); everything else is read straight from the string's storage.
void check_encodable(PyObject* str) {
    if (PyUnicode_IS_ASCII(str) || PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND) {
        return;
    }
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) {
            Py_ssize_t ignored = 0;
            if (PyUnicode_AsUTF8AndSize(str, &ignored) == nullptr) {
                throw PythonError{};
            }
            return;
        }
    }
}

void require_str(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        throw_cannot_convert(obj, str_target_name);
    }
    check_encodable(obj);
}

long to_long(PyObject* obj) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) {
        throw PythonError{};
    }
    return value;
}

template <class T>
T to_narrow_unsigned(PyObject* obj) {
    const long value = to_long(obj);
    if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<T>::max()) {
        throw_error(PyExc_OverflowError, out_of_range_conversion_message);
    }
    return static_cast<T>(value);
}

}  // namespace

void bind_arguments(std::string_view callable, std::span<const char* const> params,
                    const FastCallArgs& call, std::span<PyObject*> slots) {
    const auto n = static_cast<Py_ssize_t>(params.size());
    if (call.nargs > n) {
        throw_error(PyExc_TypeError,
                    too_many_positional_message(callable, params.size(),
                                                static_cast<std::size_t>(call.nargs)));
    }
    for (Py_ssize_t i = 0; i < call.nargs; ++i) {
        slots[static_cast<std::size_t>(i)] = call.args[i];
    }
    const Py_ssize_t nkw = call.kwnames != nullptr ? PyTuple_GET_SIZE(call.kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(call.kwnames, k);
        std::size_t slot = params.size();
        for (std::size_t p = 0; p < params.size(); ++p) {
            if (PyUnicode_CompareWithASCIIString(name, params[p]) == 0) {
                slot = p;
                break;
            }
        }
        if (slot == params.size()) {
            throw_error(PyExc_TypeError, unexpected_keyword_message(callable, utf8_of(name)));
        }
        if (slots[slot] != nullptr) {
            throw_error(PyExc_TypeError, multiple_values_message(callable, params[slot]));
        }
        slots[slot] = call.args[call.nargs + k];
    }
    std::vector<std::string_view> missing;
    for (std::size_t p = 0; p < params.size(); ++p) {
        if (slots[p] == nullptr) {
            missing.emplace_back(params[p]);
        }
    }
    if (!missing.empty()) {
        throw_error(PyExc_TypeError, missing_arguments_message(callable, missing));
    }
}

void wrap_argument_error(const char* param) noexcept {
    // Only an exact TypeError is wrapped; subclasses and other errors pass.
    if (PyErr_Occurred() != PyExc_TypeError) {
        return;
    }
    OwnedRef original = fetch_error();
    OwnedRef text = OwnedRef::steal(PyObject_Str(original.get()));
    if (!text) {
        return;  // the failure of str() is the error that stays set
    }
    OwnedRef message =
        OwnedRef::steal(PyUnicode_FromFormat(argument_error_format, param, text.get()));
    if (!message) {
        return;
    }
    PyErr_SetObject(PyExc_TypeError, original.get());  // back in place, to become the cause
    raise_from_pending(PyExc_TypeError, message.get());
}

std::string type_name(PyObject* obj) {
    OwnedRef name = OwnedRef::steal(PyType_GetName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return unknown_type_name;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return unknown_type_name;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

void throw_cannot_convert(PyObject* obj, const char* target) {
    throw_error(PyExc_TypeError, cannot_convert_message(type_name(obj), target));
}

std::u32string to_text(PyObject* obj) {
    require_str(obj);
    return code_points(obj);
}

std::u32string code_points(PyObject* obj) {
    const int kind = PyUnicode_KIND(obj);
    const void* data = PyUnicode_DATA(obj);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
    std::u32string out(static_cast<std::size_t>(n), U'\0');
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[static_cast<std::size_t>(i)] = PyUnicode_READ(kind, data, i);
    }
    return out;
}

std::optional<char32_t> to_first_char(PyObject* obj) {
    require_str(obj);
    if (PyUnicode_GET_LENGTH(obj) == 0) {
        return std::nullopt;
    }
    return PyUnicode_READ_CHAR(obj, 0);
}

std::uint64_t to_size(PyObject* obj) {
    // Integers go straight to the conversion; anything else through __index__.
    OwnedRef number = PyLong_Check(obj) ? OwnedRef::incref(obj) : new_ref(PyNumber_Index(obj));
    const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw PythonError{};
    }
    return value;
}

std::uint32_t to_u32(PyObject* obj) {
    return to_narrow_unsigned<std::uint32_t>(obj);
}

std::uint8_t to_u8(PyObject* obj) {
    return to_narrow_unsigned<std::uint8_t>(obj);
}

void check_list_argument(PyObject* obj) {
    if (PyUnicode_Check(obj)) {
        throw_error(PyExc_TypeError, str_to_vec_message);
    }
    if (!PySequence_Check(obj)) {
        throw_cannot_convert(obj, sequence_target_name);
    }
}

}  // namespace morlatch::binding
