#include "binding/args.hpp"

#include <limits>

namespace morlatch::binding {

namespace {

std::string quoted(std::string_view name) {
    std::string out = "'";
    out += name;
    out += "'";
    return out;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string join_names(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        out += quoted(names[i]);
    }
    return out;
}

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
        throw_cannot_convert(obj, "PyString");
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
        throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<T>(value);
}

}  // namespace

void bind_arguments(std::string_view callable, std::span<const char* const> params,
                    const FastCallArgs& call, std::span<PyObject*> slots) {
    const auto n = static_cast<Py_ssize_t>(params.size());
    if (call.nargs > n) {
        throw_error(PyExc_TypeError, std::string(callable) + "() takes " + std::to_string(n) +
                                         " positional arguments but " + std::to_string(call.nargs) +
                                         (call.nargs == 1 ? " was given" : " were given"));
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
            throw_error(PyExc_TypeError, std::string(callable) +
                                             "() got an unexpected keyword argument '" +
                                             utf8_of(name) + "'");
        }
        if (slots[slot] != nullptr) {
            throw_error(PyExc_TypeError, std::string(callable) +
                                             "() got multiple values for argument '" +
                                             params[slot] + "'");
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
        throw_error(PyExc_TypeError,
                    std::string(callable) + "() missing " + std::to_string(missing.size()) +
                        " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                        join_names(missing));
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
        OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
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
        return "<unknown>";
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return "<unknown>";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

void throw_cannot_convert(PyObject* obj, const char* target) {
    std::string message = "'";
    message += type_name(obj);
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    throw_error(PyExc_TypeError, message);
}

std::u32string to_text(PyObject* obj) {
    require_str(obj);
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
        throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(obj)) {
        throw_cannot_convert(obj, "Sequence");
    }
}

}  // namespace morlatch::binding
