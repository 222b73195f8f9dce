#include "engine/mapped_functions.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "binding/args.hpp"
#include "binding/borrowed_bytes.hpp"
#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "binding/entry.hpp"
#include "binding/gil.hpp"
#include "binding/prefix_search.hpp"
#include "binding/ref.hpp"
#include "prefix/file/mapped.hpp"
#include "prefix/file/store.hpp"
#include "prefix/search/ranked.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

// The exported buffers a borrowed layout reads. While they are held, a mmap
// cannot be closed and a bytes object cannot go away; they are released
// when the PrefixSearch that holds the layout is freed, under the
// interpreter's lock.
struct HeldBuffers {
    std::unique_ptr<binding::BufferView> layout;
    std::unique_ptr<binding::BufferView> reverse;
};

// The object whose memory a buffer of `obj` shows: a memoryview's
// exporter (memoryviews of memoryviews share the first one's), or `obj`.
PyObject* exporter_of(PyObject* obj) {
    while (obj != nullptr && PyMemoryView_Check(obj)) {
        obj = PyMemoryView_GET_BASE(obj);
    }
    return obj;
}

// Whether the memory behind `obj` cannot change: that of a bytes object, or
// of an exporter that refuses to lend it writable (a read-only mmap, the
// images of a PrefixSearch). A read-only view of a bytearray is not: the
// bytearray can still be written.
bool immutable_memory(PyObject* obj) {
    PyObject* exporter = exporter_of(obj);
    if (exporter == nullptr) {
        return false;  // a view of raw memory: nothing says who may write it
    }
    if (PyBytes_CheckExact(exporter)) {
        return true;
    }
    Py_buffer writable;
    if (PyObject_GetBuffer(exporter, &writable, PyBUF_WRITABLE) == 0) {
        PyBuffer_Release(&writable);
        return false;
    }
    PyErr_Clear();
    return true;
}

// A buffer whose bytes cannot change: they are checked once and then
// trusted by every search.
std::unique_ptr<binding::BufferView> immutable_buffer(const char* param, PyObject* obj) {
    return binding::convert_argument(param, [&] {
        if (!PyObject_CheckBuffer(obj)) {
            binding::throw_cannot_convert(obj, "bytes");
        }
        auto view = std::make_unique<binding::BufferView>(obj);
        if (!view->read_only() || !immutable_memory(obj)) {
            binding::throw_error(PyExc_TypeError,
                                 "a stored layout must be immutable (bytes or a read-only map)");
        }
        return view;
    });
}

// open_index(layout, reverse, source, layout_at, reverse_at): a
// PrefixSearch over the packed images of "nodes" (and "rnodes", or None),
// read in place. ValueError "<source>: the 'nodes' section is not a search
// layout: <what> at byte N" when they are not sound; `source` is any str
// (a file name that is not valid UTF-8 included).
constexpr std::array<const char*, 5> open_index_params{"layout", "reverse", "source", "layout_at",
                                                       "reverse_at"};
OwnedRef open_index_function(PyObject*, const FastCallArgs& call) {
    auto [layout_arg, reverse_arg, source_arg, layout_at_arg, reverse_at_arg] =
        binding::bind("open_index", open_index_params, call);
    if (!PyUnicode_Check(source_arg)) {
        binding::throw_error(PyExc_TypeError, "source must be a str");
    }
    const std::uint64_t layout_at =
        binding::convert_argument("layout_at", [&] { return binding::to_size(layout_at_arg); });
    const std::uint64_t reverse_at =
        binding::convert_argument("reverse_at", [&] { return binding::to_size(reverse_at_arg); });
    auto held = std::make_shared<HeldBuffers>();
    held->layout = immutable_buffer("layout", layout_arg);
    if (reverse_arg != Py_None) {
        held->reverse = immutable_buffer("reverse", reverse_arg);
    }
    std::optional<StoredNodes> reverse;
    if (held->reverse) {
        reverse = StoredNodes{held->reverse->bytes(), reverse_at};
    }
    // `held` outlives this scope here, so the buffers are released (if the
    // layout is refused) only once the lock is back.
    std::variant<std::unique_ptr<CompactTrie>, LayoutProblem> opened;
    {
        const binding::ReleasedGil released;
        const StoredNodes forward{held->layout->bytes(), layout_at};
        opened = open_stored_layout(forward, reverse, held);
    }
    if (LayoutProblem* problem = std::get_if<LayoutProblem>(&opened)) {
        const std::string what = problem->what + " at byte " + std::to_string(problem->offset);
        PyErr_Format(PyExc_ValueError, "%U: %s", source_arg, what.c_str());
        throw binding::PythonError{};
    }
    return binding::new_prefix_search(
        Store(std::move(std::get<std::unique_ptr<CompactTrie>>(opened))));
}

// layout_sections(search): (layout, reverse) as read-only memoryviews of the
// store's own images, no copy (each keeps `search` alive), reverse None when
// searches use no reverse index; builds the reverse index if needed.
constexpr std::array<const char*, 1> layout_sections_params{"search"};
OwnedRef layout_sections_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg] = binding::bind("layout_sections", layout_sections_params, call);
    const Store& store = binding::store_of(search_arg);
    if (!store.searchable()) {
        binding::throw_error(PyExc_ValueError, "this trie's arrays are not well formed");
    }
    std::optional<std::span<const std::uint8_t>> reverse;
    {
        // Building the reverse index reads only the layout; it is thread-safe.
        const binding::ReleasedGil released;
        reverse = store.reverse_nodes();
    }
    // A store is read-only for its life, so its images stay where they are.
    OwnedRef layout = binding::borrowed_view(search_arg, store.layout_nodes());
    OwnedRef reverse_view =
        reverse ? binding::borrowed_view(search_arg, *reverse) : OwnedRef::incref(Py_None);
    return binding::make_tuple(std::move(layout), std::move(reverse_view));
}

// Whether `text` (a str) holds exactly the code points of `key`.
bool same_text(PyObject* text, std::u32string_view key) {
    if (!PyUnicode_Check(text) ||
        static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) != key.size()) {
        return false;
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i)) != key[i]) {
            return false;
        }
    }
    return true;
}

// forms_agree(search, folded, starts): whether the trie's keys, in
// code-point order, carry the payloads 0, 1, 2, ... and every item of the
// list `folded` from starts[g] up to starts[g + 1] is the key numbered g
// (`starts`: a buffer of 64-bit positions, one per key and one more, the
// last len(folded)). A folded index's keys as given, folded again, against
// the trie of their forms; the caller finds what differs when they do not.
constexpr std::array<const char*, 3> forms_agree_params{"search", "folded", "starts"};
OwnedRef forms_agree_function(PyObject*, const FastCallArgs& call) {
    auto [search_arg, folded_arg, starts_arg] =
        binding::bind("forms_agree", forms_agree_params, call);
    const Store& store = binding::store_of(search_arg);
    if (!store.searchable()) {
        binding::throw_error(PyExc_ValueError, "this trie's arrays are not well formed");
    }
    if (!PyList_Check(folded_arg)) {
        binding::throw_error(PyExc_TypeError, "folded must be a list");
    }
    const binding::BufferView starts_view(starts_arg);
    const std::span<const std::uint8_t> raw = starts_view.bytes();
    std::vector<std::uint64_t> starts(raw.size() / sizeof(std::uint64_t));
    std::memcpy(starts.data(), raw.data(), starts.size() * sizeof(std::uint64_t));
    const auto items = static_cast<std::uint64_t>(PyList_GET_SIZE(folded_arg));
    std::unique_ptr<KeyCursor> cursor = store.keys(U"");
    std::u32string key;
    Payload payload = 0;
    std::uint64_t form = 0;
    bool agree = !starts.empty() && starts.front() == 0 && starts.back() == items;
    while (agree && cursor->next(key, payload)) {
        agree = payload == form && form + 1 < starts.size() && starts[form] <= starts[form + 1] &&
                starts[form + 1] <= items;
        for (std::uint64_t i = agree ? starts[form] : 0; agree && i < starts[form + 1]; ++i) {
            agree = same_text(PyList_GET_ITEM(folded_arg, static_cast<Py_ssize_t>(i)), key);
        }
        ++form;
    }
    agree = agree && form + 1 == starts.size();
    return binding::new_ref(PyBool_FromLong(agree ? 1 : 0));
}

PyMethodDef mapped_methods[] = {
    binding::method_def<open_index_function>(
        "open_index", "open_index(layout, reverse, source, layout_at, reverse_at)\n--\n\n"),
    binding::method_def<layout_sections_function>("layout_sections",
                                                  "layout_sections(search)\n--\n\n"),
    binding::method_def<forms_agree_function>("forms_agree",
                                              "forms_agree(search, folded, starts)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_mapped_functions(PyObject* module) {
    binding::check(PyModule_AddFunctions(module, mapped_methods));
}

}  // namespace morlatch::engine
