// The layout's typo search run again and again on one thread, keeping its
// memory from one search to the next.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "prefix/hits.hpp"
#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"

namespace morlatch {

// The walks' rows, padding, stacks and child lists and the hit list of the
// searches run with it. One thread uses it at a time.
class SearchScratch {
public:
    SearchScratch();
    ~SearchScratch();
    SearchScratch(const SearchScratch&) = delete;
    SearchScratch& operator=(const SearchScratch&) = delete;

    struct Walks;  // search.cpp
    std::unique_ptr<Walks> walks;
};

// trie.search(query, max_dist, std::nullopt, interrupt, transpositions): the
// same hits in the same order, gathered in `scratch`, where they stay until
// its next search.
const HitList& search(const CompactTrie& trie, std::u32string_view query, std::uint64_t max_dist,
                      Interrupt& interrupt, bool transpositions, SearchScratch& scratch);

}  // namespace morlatch
