// What the native functions of morlatch.Catalog share: the buffers a
// catalog object holds, how its hits become Python objects, and how a
// batch's words are expanded once on native threads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/args.hpp"
#include "binding/batch.hpp"
#include "binding/boundary.hpp"
#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "binding/ref.hpp"
#include "catalog/catalog.hpp"
#include "catalog/split.hpp"

namespace morlatch::engine::catalog_glue {

using binding::OwnedRef;

// The buffers a catalog reads, held for its life; a buffer whose start does
// not suit its element type is copied once.
struct Held {
    std::vector<std::unique_ptr<binding::BufferView>> views;
    std::vector<std::vector<std::uint64_t>> copies;
    std::unique_ptr<catalog::Catalog> catalog;
    // How the package splits ASCII texts, when hits carry their spans.
    std::optional<catalog::ByteKinds> kinds;
    // How it makes terms of ASCII words, when queries are split here, and
    // the type of the hits made here (a tuple subclass of four fields).
    std::optional<catalog::AsciiTerms> ascii;
    OwnedRef hit_type;

    template <class T>
    std::span<const T> array(PyObject* obj, const char* name) {
        auto view = binding::convert_argument(name, [&] {
            if (!PyObject_CheckBuffer(obj)) {
                binding::throw_cannot_convert(obj, "bytes");
            }
            return std::make_unique<binding::BufferView>(obj);
        });
        const std::span<const std::uint8_t> bytes = view->bytes();
        views.push_back(std::move(view));
        if (bytes.size() % sizeof(T) != 0) {
            binding::throw_error(PyExc_ValueError,
                                 std::string(name) + " is not a whole number of elements");
        }
        const void* start = bytes.data();
        if (reinterpret_cast<std::uintptr_t>(start) % alignof(T) != 0) {
            auto& copy = copies.emplace_back((bytes.size() + 7) / 8);
            std::memcpy(copy.data(), bytes.data(), bytes.size());
            start = copy.data();
        }
        return {static_cast<const T*>(start), bytes.size() / sizeof(T)};
    }
};

struct CatalogObject {
    PyObject_HEAD Held* held;
};

// The type of catalog objects, made once by add_catalog_functions.
extern PyTypeObject* catalog_type;

// The catalog object's held buffers, or TypeError when `obj` is not one.
const Held& held_of(PyObject* obj);
const catalog::Catalog& catalog_of(PyObject* obj);

bool truth(PyObject* obj);
std::vector<std::u32string> words_of(PyObject* obj);
std::vector<std::uint32_t> budgets_of(PyObject* obj);
std::uint64_t workers_of(PyObject* obj);

// A hit as (text, payload, score, spans), spans a list of (start, end)
// pairs, of the package's hit type when `typed` and it is known; or, where
// the spans are not known here, (text, payload, score, positions),
// positions a tuple with None for the query words that matched nothing,
// which counts in `pending`.
OwnedRef hit_to_python(const Held& held, const catalog::Hit& hit, bool typed = false,
                       std::size_t* pending = nullptr);
OwnedRef hits_to_python(const Held& held, const std::vector<catalog::Hit>& hits);
// The hits of the package's type, as a list; those whose spans are not
// known here are left as hit_to_python leaves them, counted in `pending`.
OwnedRef typed_hits(const Held& held, const std::vector<catalog::Hit>& hits, std::size_t& pending);

// A batch's queries as the expansions of their words: each distinct (word,
// budget, prefix) expanded once, on native threads, for every query it is in.
struct BatchWords {
    std::vector<catalog::Expansion> expansions;
    std::vector<std::vector<const catalog::Expansion*>> queries;
};

template <class Budget, class Prefix>
BatchWords expand_batch(const catalog::Catalog& cat,
                        const std::vector<std::vector<std::u32string>>& words,
                        std::uint64_t workers, Budget budget_of, Prefix prefix_of) {
    struct Distinct {
        const std::u32string* word;
        std::uint32_t budget;
        bool prefix;
    };
    std::vector<Distinct> distinct;
    std::unordered_map<std::u32string, std::size_t> seen;
    std::vector<std::vector<std::size_t>> at(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        for (std::size_t w = 0; w < words[i].size(); ++w) {
            const std::uint32_t budget = budget_of(i, w);
            const bool prefix = prefix_of(i, w);
            std::u32string key{static_cast<char32_t>(budget), prefix ? U'p' : U'w'};
            key += words[i][w];
            const auto [found, added] = seen.try_emplace(std::move(key), distinct.size());
            if (added) {
                distinct.push_back({&words[i][w], budget, prefix});
            }
            at[i].push_back(found->second);
        }
    }
    BatchWords out;
    out.expansions = binding::run_batch<catalog::Expansion>(
        distinct.size(), workers, [&](std::size_t d, Interrupt& interrupt) {
            return cat.expand(*distinct[d].word, distinct[d].budget, distinct[d].prefix, interrupt);
        });
    out.queries.resize(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        for (const std::size_t d : at[i]) {
            out.queries[i].push_back(&out.expansions[d]);
        }
    }
    return out;
}

template <class Run>
OwnedRef batch(const Held& held, std::size_t count, std::uint64_t workers, Run run) {
    const auto results = binding::run_batch<std::vector<catalog::Hit>>(count, workers, run);
    return binding::make_list(
        results, [&](const std::vector<catalog::Hit>& hits) { return hits_to_python(held, hits); });
}

// Adds the search and match functions to the module.
void add_search_functions(PyObject* module);

}  // namespace morlatch::engine::catalog_glue
