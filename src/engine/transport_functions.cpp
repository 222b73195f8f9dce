#include "engine/transport_functions.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/entry.hpp"
#include "binding/ref.hpp"
#include "engine/search_args.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

// The packed form, in native byte order (both ends run this module):
//   header:    magic, answers, matches, text bytes (u64 each)
//   counts:    matches per answer (u32 each)
//   lengths:   UTF-8 bytes per key (u32 each)
//   payloads:  u64 each
//   distances: u32 each
//   text:      the keys' UTF-8, one after another
// Columns rather than records: each is written and read in one sweep.
constexpr std::uint64_t kMagic = 0x3173726577736e61;  // "answrs1" + version

struct Header {
    std::uint64_t magic;
    std::uint64_t answers;
    std::uint64_t matches;
    std::uint64_t text;
};

// The byte size of a packed string with these counts, if it fits the sizes
// that Python allows (answers and matches come from the packed data itself).
bool packed_size(const Header& header, std::uint64_t& size) {
    constexpr std::uint64_t cap = std::numeric_limits<Py_ssize_t>::max() / 32;
    if (header.answers > cap || header.matches > cap || header.text > cap) {
        return false;
    }
    size = sizeof(Header) + 4 * header.answers + 16 * header.matches + header.text;
    return true;
}

// One match to pack, borrowed from the answers while they are read.
struct Packing {
    std::string_view key;
    std::uint64_t payload;
    std::uint32_t distance;
};

// Reads one (str, int, int) tuple; false when it is anything else (a key
// with a lone surrogate, a payload that is not a u64...), which the caller
// then pickles instead.
bool read_match(PyObject* item, Packing& out) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) {
        return false;
    }
    PyObject* key = PyTuple_GET_ITEM(item, 0);
    PyObject* payload = PyTuple_GET_ITEM(item, 1);
    PyObject* distance = PyTuple_GET_ITEM(item, 2);
    if (!PyUnicode_CheckExact(key) || !PyLong_CheckExact(payload) || !PyLong_CheckExact(distance)) {
        return false;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &length);
    if (text == nullptr || length > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_Clear();
        return false;
    }
    out.key = std::string_view(text, static_cast<std::size_t>(length));
    out.payload = PyLong_AsUnsignedLongLong(payload);
    if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return false;
    }
    const unsigned long long far = PyLong_AsUnsignedLongLong(distance);
    if (PyErr_Occurred() != nullptr || far > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_Clear();
        return false;
    }
    out.distance = static_cast<std::uint32_t>(far);
    return true;
}

template <class T>
char* put(char* at, T value) {
    std::memcpy(at, &value, sizeof value);
    return at + sizeof value;
}

template <class T>
T get(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// pack_answers(answers): a list of lists of (str, int, int) tuples as one
// bytes object, or None when some item has another shape.
constexpr std::array<const char*, 1> pack_params{"answers"};
OwnedRef pack_answers_function(PyObject*, const FastCallArgs& call) {
    auto [answers_arg] = binding::bind("pack_answers", pack_params, call);
    if (!PyList_Check(answers_arg)) {
        binding::throw_cannot_convert(answers_arg, "list");
    }
    const Py_ssize_t answers = PyList_GET_SIZE(answers_arg);
    std::vector<std::uint32_t> counts;
    counts.reserve(static_cast<std::size_t>(answers));
    std::vector<Packing> matches;
    Header header{kMagic, static_cast<std::uint64_t>(answers), 0, 0};
    // Nothing below runs Python code, so the lists and keys stay as read.
    for (Py_ssize_t i = 0; i < answers; ++i) {
        PyObject* answer = PyList_GET_ITEM(answers_arg, i);
        if (!PyList_Check(answer) ||
            PyList_GET_SIZE(answer) > std::numeric_limits<std::uint32_t>::max()) {
            return OwnedRef::incref(Py_None);
        }
        const Py_ssize_t count = PyList_GET_SIZE(answer);
        counts.push_back(static_cast<std::uint32_t>(count));
        for (Py_ssize_t j = 0; j < count; ++j) {
            Packing& match = matches.emplace_back();
            if (!read_match(PyList_GET_ITEM(answer, j), match)) {
                return OwnedRef::incref(Py_None);
            }
            header.text += match.key.size();
        }
    }
    header.matches = matches.size();
    std::uint64_t size = 0;
    if (!packed_size(header, size)) {
        return OwnedRef::incref(Py_None);
    }
    OwnedRef packed =
        binding::new_ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    char* at = PyBytes_AS_STRING(packed.get());
    at = put(at, header);
    for (const std::uint32_t count : counts) {
        at = put(at, count);
    }
    for (const Packing& match : matches) {
        at = put(at, static_cast<std::uint32_t>(match.key.size()));
    }
    for (const Packing& match : matches) {
        at = put(at, match.payload);
    }
    for (const Packing& match : matches) {
        at = put(at, match.distance);
    }
    for (const Packing& match : matches) {
        std::memcpy(at, match.key.data(), match.key.size());
        at += match.key.size();
    }
    return packed;
}

[[noreturn]] void throw_not_packed() {
    binding::throw_error(PyExc_ValueError, "data is not a pack_answers result");
}

// unpack_answers(data, match_type): the lists that pack_answers packed, each
// match a match_type (key, payload, distance).
constexpr std::array<const char*, 2> unpack_params{"data", "match_type"};
OwnedRef unpack_answers_function(PyObject*, const FastCallArgs& call) {
    auto [data_arg, type_arg] = binding::bind("unpack_answers", unpack_params, call);
    if (!PyBytes_Check(data_arg)) {
        binding::throw_cannot_convert(data_arg, "bytes");
    }
    PyTypeObject* type = match_type_of(type_arg);
    const char* data = PyBytes_AS_STRING(data_arg);
    const auto data_size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(data_arg));
    if (data_size < sizeof(Header)) {
        throw_not_packed();
    }
    const auto header = get<Header>(data);
    std::uint64_t size = 0;
    if (header.magic != kMagic || !packed_size(header, size) || size != data_size) {
        throw_not_packed();
    }
    const char* counts = data + sizeof(Header);
    const char* lengths = counts + 4 * header.answers;
    const char* payloads = lengths + 4 * header.matches;
    const char* distances = payloads + 8 * header.matches;
    const char* text = distances + 4 * header.matches;
    const char* text_end = text + header.text;
    // Every count and length is checked against what is left before it is
    // used, so no read leaves the data.
    OwnedRef out = binding::new_ref(PyList_New(static_cast<Py_ssize_t>(header.answers)));
    std::uint64_t match = 0;
    for (std::uint64_t i = 0; i < header.answers; ++i) {
        const auto count = get<std::uint32_t>(counts + 4 * i);
        if (count > header.matches - match) {
            throw_not_packed();
        }
        OwnedRef answer = binding::new_ref(PyList_New(count));
        for (std::uint32_t j = 0; j < count; ++j, ++match) {
            const auto length = get<std::uint32_t>(lengths + 4 * match);
            if (length > static_cast<std::uint64_t>(text_end - text)) {
                throw_not_packed();
            }
            OwnedRef key = binding::new_ref(PyUnicode_DecodeUTF8(text, length, nullptr));
            text += length;
            OwnedRef payload = binding::new_ref(
                PyLong_FromUnsignedLongLong(get<std::uint64_t>(payloads + 8 * match)));
            OwnedRef distance = binding::new_ref(
                PyLong_FromUnsignedLong(get<std::uint32_t>(distances + 4 * match)));
            PyList_SET_ITEM(
                answer.get(), j,
                make_match(type, std::move(key), std::move(payload), std::move(distance))
                    .release());
        }
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), answer.release());
    }
    if (match != header.matches || text != text_end) {
        throw_not_packed();
    }
    return out;
}

PyMethodDef transport_methods[] = {
    binding::method_def<pack_answers_function>("pack_answers", "pack_answers(answers)\n--\n\n"),
    binding::method_def<unpack_answers_function>("unpack_answers",
                                                 "unpack_answers(data, match_type)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_transport_functions(PyObject* module) {
    binding::check(PyModule_AddFunctions(module, transport_methods));
}

}  // namespace morlatch::engine
