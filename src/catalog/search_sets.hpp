// The sets of items a search keeps per thread (see ItemBits).
#pragma once

#include <array>
#include <cstddef>

#include "catalog/detail.hpp"
#include "catalog/item_bits.hpp"

namespace morlatch::catalog::detail {

// This thread's sets of items for a search: those seen, those of the first
// word that the filter words hold too, and those that hold a later word
// with its fewest typos.
struct SearchSets {
    ItemBits seen;
    std::array<ItemBits, kFilters + 1> held;
    std::array<ItemBits, kFilters> fewest;

    void reset(std::size_t items) {
        seen.reset(items);
        for (ItemBits& one : held) {
            one.reset(items);
        }
        for (ItemBits& one : fewest) {
            one.reset(items);
        }
    }
};

// This thread's.
SearchSets& search_sets();

}  // namespace morlatch::catalog::detail
