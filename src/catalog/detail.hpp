// What the catalog's searches share inside the library: per-thread scratch
// space, and the expansions of a query's words.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "catalog/catalog.hpp"

namespace morlatch::catalog::detail {

// Per query, per thread: which terms a query word matched (a list per term,
// threaded through `entries`) and which items were looked at. Entries are
// valid only where their stamp is the query's, so nothing is cleared
// between queries.
struct Entry {
    std::uint32_t word;
    std::uint32_t typos;
    std::uint32_t prefix;
    std::uint32_t next;
};
inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;
// The words whose items a search marks in bitmaps before it reads the first.
inline constexpr std::size_t kFilters = 2;
// ... when they reach at most this many times the items of the first.
inline constexpr std::uint64_t kFilterReach = 32;

struct Scratch {
    std::vector<std::uint32_t> term_stamp;
    std::vector<std::uint32_t> term_head;
    // How the query's prefix word matches a term, once worked out.
    std::vector<std::uint32_t> prefix_stamp;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> prefix_value;
    std::vector<std::uint32_t> item_stamp;
    std::vector<Entry> entries;
    std::uint32_t stamp = 0;

    // A new stamp for a query over `terms` terms and `items` items.
    std::uint32_t begin(std::size_t terms, std::size_t items) {
        if (term_stamp.size() < terms) {
            term_stamp.resize(terms, 0);
            term_head.resize(terms, kNone);
            prefix_stamp.resize(terms, 0);
            prefix_value.resize(terms);
        }
        if (item_stamp.size() < items) {
            item_stamp.resize(items, 0);
        }
        if (++stamp == 0) {
            std::fill(term_stamp.begin(), term_stamp.end(), 0);
            std::fill(prefix_stamp.begin(), prefix_stamp.end(), 0);
            std::fill(item_stamp.begin(), item_stamp.end(), 0);
            stamp = 1;
        }
        entries.clear();
        return stamp;
    }

    void add(std::uint32_t term, Entry entry) {
        if (term_stamp[term] != stamp) {
            term_stamp[term] = stamp;
            term_head[term] = kNone;
        }
        entry.next = term_head[term];
        term_head[term] = static_cast<std::uint32_t>(entries.size());
        entries.push_back(entry);
    }

    std::uint32_t head(std::uint32_t term) const noexcept {
        return term_stamp[term] == stamp ? term_head[term] : kNone;
    }

    // Whether the item is seen for the first time in this query.
    bool first_visit(std::uint32_t item) noexcept {
        if (item_stamp[item] == stamp) {
            return false;
        }
        item_stamp[item] = stamp;
        return true;
    }
};

// Offsets that start at 0, never run backwards and end at `end`.
bool offsets_hold(std::span<const std::uint64_t> offsets, std::uint64_t end) noexcept;
// Element `at` of an array of texts one after the other.
std::string_view slice(std::span<const char> text, std::span<const std::uint64_t> offsets,
                       std::size_t at) noexcept;

// This thread's scratch space.
Scratch& scratch();

// The expansions of every word of a query, and pointers to them.
struct Expanded {
    std::vector<Expansion> owned;
    std::vector<const Expansion*> pointers;

    // Points at every owned expansion, in order, once they are all made.
    std::span<const Expansion* const> point() {
        pointers.clear();
        for (const Expansion& one : owned) {
            pointers.push_back(&one);
        }
        return pointers;
    }
};

}  // namespace morlatch::catalog::detail
