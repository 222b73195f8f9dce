// The one holder of an exported buffer (PEP 3118): the bytes of a bytes-like
// object, read in place for as long as the holder lives. While it is held
// the exporter cannot resize them (bytearray refuses), so native code may
// read them without the interpreter running in between.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "binding/ref.hpp"

namespace morlatch::binding {

class BufferView {
public:
    // Raises the exporter's error (TypeError for a non-buffer) as PythonError.
    explicit BufferView(PyObject* obj) { check(PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE)); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }

    bool read_only() const noexcept { return view_.readonly != 0; }

    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

}  // namespace morlatch::binding
