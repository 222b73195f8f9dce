// The parts of the catalog's native functions that its searches and its
// construction share (catalog_functions_common.hpp).
#include "engine/catalog_functions_common.hpp"

#include <algorithm>
#include <utility>

#include "binding/args.hpp"

namespace morlatch::engine::catalog_glue {

PyTypeObject* catalog_type = nullptr;

const Held& held_of(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, catalog_type)) {
        binding::throw_cannot_convert(obj, "CatalogCore");
    }
    return *reinterpret_cast<const CatalogObject*>(obj)->held;
}

const catalog::Catalog& catalog_of(PyObject* obj) {
    return *held_of(obj).catalog;
}

bool truth(PyObject* obj) {
    const int value = PyObject_IsTrue(obj);
    binding::check(value);
    return value != 0;
}

std::vector<std::u32string> words_of(PyObject* obj) {
    return binding::to_vector<std::u32string>(obj, binding::code_points);
}

std::vector<std::uint32_t> budgets_of(PyObject* obj) {
    return binding::to_vector<std::uint32_t>(obj, binding::to_u32);
}

std::uint64_t workers_of(PyObject* obj) {
    return binding::convert_argument("workers", [&] { return binding::to_size(obj); });
}

namespace {

// The spans of the matched words of an ASCII text split as the package
// splits it, sorted and each once; false when they are not known here (a
// text past ASCII, or a word that has no term).
bool matched_spans(const Held& held, const catalog::Hit& hit,
                   std::vector<std::pair<std::uint32_t, std::uint32_t>>& chosen) {
    thread_local std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
    const catalog::Catalog& cat = *held.catalog;
    if (!held.kinds || !catalog::ascii_spans(*held.kinds, cat.text(hit.item), spans) ||
        spans.size() != cat.words(hit.item).size()) {
        return false;
    }
    chosen.clear();
    for (const std::uint32_t at : hit.positions) {
        if (at != catalog::kUnmatched) {
            chosen.push_back(spans[at]);
        }
    }
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    return true;
}

// A (text, payload, score, spans) of the package's hit type, the fields
// taken over.
OwnedRef new_hit(const Held& held, OwnedRef text, OwnedRef payload, OwnedRef score,
                 OwnedRef spans) {
    auto* type = reinterpret_cast<PyTypeObject*>(held.hit_type.get());
    OwnedRef hit = binding::new_ref(type->tp_alloc(type, 4));
    PyTuple_SET_ITEM(hit.get(), 0, text.release());
    PyTuple_SET_ITEM(hit.get(), 1, payload.release());
    PyTuple_SET_ITEM(hit.get(), 2, score.release());
    PyTuple_SET_ITEM(hit.get(), 3, spans.release());
    return hit;
}

}  // namespace

OwnedRef hit_to_python(const Held& held, const catalog::Hit& hit, bool typed,
                       std::size_t* pending) {
    const catalog::Catalog& cat = *held.catalog;
    const std::string_view text = cat.text(hit.item);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> chosen;
    OwnedRef where;
    const bool known = matched_spans(held, hit, chosen);
    if (known) {
        where = binding::make_list(chosen, [](std::pair<std::uint32_t, std::uint32_t> span) {
            return binding::make_tuple(binding::to_python(span.first),
                                       binding::to_python(span.second));
        });
    } else {
        if (pending != nullptr) {
            ++*pending;
        }
        where = binding::new_ref(PyTuple_New(static_cast<Py_ssize_t>(hit.positions.size())));
        for (std::size_t w = 0; w < hit.positions.size(); ++w) {
            OwnedRef at = hit.positions[w] == catalog::kUnmatched
                              ? OwnedRef::incref(Py_None)
                              : binding::to_python(hit.positions[w]);
            PyTuple_SET_ITEM(where.get(), static_cast<Py_ssize_t>(w), at.release());
        }
    }
    OwnedRef text_obj = binding::new_ref(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
    OwnedRef payload = binding::to_python(cat.payload(hit.item));
    OwnedRef score = binding::new_ref(PyFloat_FromDouble(hit.score));
    if (typed && known && held.hit_type) {
        return new_hit(held, std::move(text_obj), std::move(payload), std::move(score),
                       std::move(where));
    }
    return binding::make_tuple(std::move(text_obj), std::move(payload), std::move(score),
                               std::move(where));
}

OwnedRef hits_to_python(const Held& held, const std::vector<catalog::Hit>& hits) {
    return binding::make_list(hits,
                              [&](const catalog::Hit& hit) { return hit_to_python(held, hit); });
}

OwnedRef typed_hits(const Held& held, const std::vector<catalog::Hit>& hits, std::size_t& pending) {
    return binding::make_list(
        hits, [&](const catalog::Hit& hit) { return hit_to_python(held, hit, true, &pending); });
}

}  // namespace morlatch::engine::catalog_glue
