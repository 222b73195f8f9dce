#include "engine/search_args.hpp"

#include <string>
#include <utility>

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/prefix_search.hpp"

namespace morlatch::engine {

using binding::OwnedRef;

PyTypeObject* match_type_of(PyObject* obj) {
    if (!PyType_Check(obj)) {
        binding::throw_cannot_convert(obj, "type");
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj);
    if (!PyType_IsSubtype(type, &PyTuple_Type) || type->tp_basicsize != PyTuple_Type.tp_basicsize ||
        type->tp_itemsize != PyTuple_Type.tp_itemsize) {
        binding::throw_error(PyExc_TypeError, "match_type must be a plain tuple subclass");
    }
    return type;
}

OwnedRef make_match(PyTypeObject* type, OwnedRef key, OwnedRef payload, OwnedRef distance) {
    OwnedRef tuple = binding::new_ref(type->tp_alloc(type, 3));
    PyTuple_SET_ITEM(tuple.get(), 0, key.release());
    PyTuple_SET_ITEM(tuple.get(), 1, payload.release());
    PyTuple_SET_ITEM(tuple.get(), 2, distance.release());
    // Holding a str and two ints, it can be in no cycle: the collector would
    // untrack it at its first pass over it; untracked now, the millions a
    // batch makes are not walked by the collections their making sets off.
    PyObject_GC_UnTrack(tuple.get());
    return tuple;
}

namespace {

OwnedRef match_to_python(PyTypeObject* type, const Match& match) {
    OwnedRef key = binding::to_python(std::u32string_view(match.key));
    OwnedRef payload = binding::to_python(match.payload);
    OwnedRef distance = binding::to_python(match.distance);
    return make_match(type, std::move(key), std::move(payload), std::move(distance));
}

}  // namespace

OwnedRef matches_to_python(PyTypeObject* type, const std::vector<Match>& matches) {
    return binding::make_list(matches, [type](const Match& m) { return match_to_python(type, m); });
}

const Store& searchable_store(PyObject* obj, const char* needs) {
    const Store& store = binding::store_of(obj);
    if (!store.searchable()) {
        binding::throw_error(PyExc_ValueError,
                             std::string("this trie's arrays are not well formed: ") + needs +
                                 " every node reached exactly once from the root and the "
                                 "children of each node in strictly ascending code-point order");
    }
    return store;
}

std::u32string query_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        binding::throw_cannot_convert(obj, "str");
    }
    return binding::code_points(obj);
}

bool truth(PyObject* obj) {
    const int value = PyObject_IsTrue(obj);
    binding::check(value);
    return value != 0;
}

RankedOptions options_of(PyObject* max_dist, PyObject* limit, PyObject* transpositions) {
    RankedOptions options;
    options.max_dist =
        binding::convert_argument("max_dist", [&] { return binding::to_size(max_dist); });
    options.limit = binding::convert_argument(
        "limit", [&] { return binding::to_optional(limit, binding::to_size); });
    options.transpositions = truth(transpositions);
    return options;
}

}  // namespace morlatch::engine
