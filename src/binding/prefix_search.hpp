// The layout of a PrefixSearch instance, shared by every module of the
// package that reads one (they are built from the same sources, so they
// agree on it).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "prefix/compact.hpp"
#include "prefix/trie.hpp"

namespace morlatch::binding {

struct PrefixSearchObject {
    PyObject_HEAD
    // The arrays as given: what to_bytes writes and get_children reads.
    // Empty when the layout below reproduces them exactly (arrays laid out
    // by the builder); the layout then answers for them.
    Trie trie;
    // Their search layout when they pass the well-formedness check; null
    // otherwise, and then the plain walk answers the queries.
    std::unique_ptr<const CompactTrie> compact;
    bool arrays_in_layout = false;
};

}  // namespace morlatch::binding
