// What the engine's search functions share: reading their options and the
// result type, and making the results.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

#include "binding/batch.hpp"
#include "binding/convert.hpp"
#include "binding/ref.hpp"
#include "prefix/file/store.hpp"
#include "prefix/search/query.hpp"
#include "prefix/search/ranked.hpp"

namespace morlatch::engine {

// The named tuple class that results are made of: a tuple subclass with no
// fields of its own.
PyTypeObject* match_type_of(PyObject* obj);
// One `type` tuple (key, payload, distance), left untracked by the collector.
binding::OwnedRef make_match(PyTypeObject* type, binding::OwnedRef key, binding::OwnedRef payload,
                             binding::OwnedRef distance);
// A list of `type` tuples (key, payload, distance).
binding::OwnedRef matches_to_python(PyTypeObject* type, const std::vector<Match>& matches);
// search(i, interrupt) for every i < count on `workers` native threads (see
// run_batch), as a list of lists of `type` tuples.
template <class Search>
binding::OwnedRef batch_to_python(PyTypeObject* type, std::size_t count, std::uint64_t workers,
                                  Search search) {
    const std::vector<std::vector<Match>> results =
        binding::run_batch<std::vector<Match>>(count, workers, search);
    return binding::make_list(results, [type](const std::vector<Match>& matches) {
        return matches_to_python(type, matches);
    });
}
// The store of a PrefixSearch argument, which must hold the search layout:
// ValueError otherwise, saying that `needs` (what the caller does, with its
// verb: "weighted ranking needs") well-formed arrays.
const Store& searchable_store(PyObject* obj, const char* needs);
// Query text as code points. Unlike keys, a query may hold a lone
// surrogate: it is one character that no key holds.
std::u32string query_text(PyObject* obj);
// The truth of a flag argument.
bool truth(PyObject* obj);
// max_dist, limit (None: every result) and transpositions, as the package
// passes them.
RankedOptions options_of(PyObject* max_dist, PyObject* limit, PyObject* transpositions);

}  // namespace morlatch::engine
