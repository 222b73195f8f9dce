// What the engine's search functions share: reading their options and the
// result type, and making the results.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "binding/ref.hpp"
#include "prefix/query.hpp"
#include "prefix/ranked.hpp"
#include "prefix/store.hpp"

namespace morlatch::engine {

// The named tuple class that results are made of: a tuple subclass with no
// fields of its own.
PyTypeObject* match_type_of(PyObject* obj);
// One `type` tuple (key, payload, distance), left untracked by the collector.
binding::OwnedRef make_match(PyTypeObject* type, binding::OwnedRef key, binding::OwnedRef payload,
                             binding::OwnedRef distance);
// A list of `type` tuples (key, payload, distance).
binding::OwnedRef matches_to_python(PyTypeObject* type, const std::vector<Match>& matches);
// The store of a PrefixSearch argument, which must hold the search layout:
// ValueError otherwise, saying that `needs` (what the caller does, with its
// verb: "weighted ranking needs") well-formed arrays.
const Store& searchable_store(PyObject* obj, const char* needs);
// max_dist, limit (None: every result) and transpositions, as the package
// passes them.
RankedOptions options_of(PyObject* max_dist, PyObject* limit, PyObject* transpositions);

}  // namespace morlatch::engine
