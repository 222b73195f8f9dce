// The morlatch._engine module: native helpers for the morlatch package.
//
// Unlike _morlatch, whose from_bytes faults (with a report on standard error)
// on a byte string that is not a trie, these report such problems as plain
// values, so that the package can raise its own exceptions quietly.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/entry.hpp"
#include "binding/ref.hpp"
#include "engine/index_functions.hpp"
#include "engine/weighted_functions.hpp"
#include "format/codec.hpp"

namespace morlatch {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

// A read-only view of a bytes-like argument for as long as it lives.
class ByteView {
public:
    explicit ByteView(PyObject* obj) {
        if (!PyObject_CheckBuffer(obj)) {
            binding::throw_cannot_convert(obj, "bytes");
        }
        binding::check(PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE));
    }
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() { PyBuffer_Release(&view_); }

    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

// check_bytes(data): None when data starts with a complete trie image (what
// from_bytes accepts), else what is wrong and where, e.g.
// "InvalidIntegerType { expected: U32, found: Reserved } at byte 12".
constexpr std::array<const char*, 1> check_bytes_params{"data"};
OwnedRef check_bytes_function(PyObject*, const FastCallArgs& call) {
    auto [data_arg] = binding::bind("check_bytes", check_bytes_params, call);
    const ByteView view = binding::convert_argument("data", [&] { return ByteView(data_arg); });
    // The exported buffer cannot be resized while it is held, and decoding
    // runs no Python code.
    const format::DecodeResult result = format::decode(view.bytes());
    if (result) {
        return OwnedRef::incref(Py_None);
    }
    const std::string problem =
        format::render(result.error()) + " at byte " + std::to_string(result.error_offset());
    return binding::new_ref(
        PyUnicode_FromStringAndSize(problem.data(), static_cast<Py_ssize_t>(problem.size())));
}

PyMethodDef engine_methods[] = {
    binding::method_def<check_bytes_function>("check_bytes", "check_bytes(data)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef engine_def = {
    PyModuleDef_HEAD_INIT,
    "morlatch._engine",
    "Native helpers of the morlatch package; not a public interface.",
    0,
    engine_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace morlatch

PyMODINIT_FUNC PyInit__engine() {
    return morlatch::binding::guarded([] {
        morlatch::binding::OwnedRef module =
            morlatch::binding::new_ref(PyModule_Create2(&morlatch::engine_def, PYTHON_API_VERSION));
        morlatch::engine::add_index_functions(module.get());
        morlatch::engine::add_weighted_functions(module.get());
        return module;
    });
}
