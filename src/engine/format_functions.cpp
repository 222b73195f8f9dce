// Unlike _morlatch, whose from_bytes faults (with a report on standard error)
// on a byte string that is not a trie, these report such problems as plain
// values, so that the package can raise its own exceptions quietly.
#include "engine/format_functions.hpp"

#include <array>
#include <string>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "binding/entry.hpp"
#include "binding/ref.hpp"
#include "format/codec.hpp"

namespace morlatch::engine {
namespace {

using binding::FastCallArgs;
using binding::OwnedRef;

// check_bytes(data): None when data starts with a complete trie image (what
// from_bytes accepts), else what is wrong and where, e.g.
// "InvalidIntegerType { expected: U32, found: Reserved } at byte 12".
constexpr std::array<const char*, 1> check_bytes_params{"data"};
OwnedRef check_bytes_function(PyObject*, const FastCallArgs& call) {
    auto [data_arg] = binding::bind("check_bytes", check_bytes_params, call);
    const binding::BufferView view = binding::convert_argument("data", [&] {
        if (!PyObject_CheckBuffer(data_arg)) {
            binding::throw_cannot_convert(data_arg, "bytes");
        }
        return binding::BufferView(data_arg);
    });
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

PyMethodDef format_methods[] = {
    binding::method_def<check_bytes_function>("check_bytes", "check_bytes(data)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_format_functions(PyObject* module) {
    binding::check(PyModule_AddFunctions(module, format_methods));
}

}  // namespace morlatch::engine
