// The BorrowedBytes type of morlatch._engine: a read-only buffer (PEP 3118)
// over bytes that an object owns, exported without a copy. Each instance
// holds a strong reference to that owner, and every view of it holds the
// instance, so the bytes outlive the last view whatever the caller drops.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

#include "binding/ref.hpp"

namespace morlatch::binding {

// Creates the type (once) and keeps it in the process state.
PyTypeObject* create_borrowed_bytes_type();

// A read-only memoryview of `bytes`, which `owner` keeps unchanged and
// alive for as long as `owner` lives (the store of a PrefixSearch).
OwnedRef borrowed_view(PyObject* owner, std::span<const std::uint8_t> bytes);

}  // namespace morlatch::binding
