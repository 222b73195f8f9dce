// The sets of items a search keeps per thread, and the items of a word's
// terms with its fewest typos.
#include "catalog/search_sets.hpp"

#include <cstdint>

#include "catalog/catalog.hpp"
#include "catalog/item_bits.hpp"

namespace morlatch::catalog {

detail::SearchSets& detail::search_sets() {
    thread_local SearchSets own;
    return own;
}

void Catalog::mark_fewest(const Expansion& e, std::uint32_t least, ItemBits& into) const {
    const std::uint32_t* postings = postings_.data();
    const auto mark = [&](std::uint32_t term) {
        into.insert_all(postings + posting_offsets_[term], postings + posting_offsets_[term + 1]);
    };
    if (!e.prefix) {
        for (std::size_t t = 0; t < e.terms.size() && e.terms[t].typos == least; ++t) {
            mark(e.terms[t].term);
        }
        return;
    }
    for (std::size_t r = 0; r < e.ranges.size() && e.ranges[r].typos == least; ++r) {
        for (std::uint32_t at = e.ranges[r].first; at < e.ranges[r].end; ++at) {
            mark(by_text_[at]);
        }
    }
}

std::uint64_t Catalog::fewest_postings(const Expansion& e, std::uint32_t least) const noexcept {
    std::uint64_t count = 0;
    if (!e.prefix) {
        for (std::size_t t = 0; t < e.terms.size() && e.terms[t].typos == least; ++t) {
            count += posting_offsets_[e.terms[t].term + 1] - posting_offsets_[e.terms[t].term];
        }
        return count;
    }
    for (std::size_t r = 0; r < e.ranges.size() && e.ranges[r].typos == least; ++r) {
        count += held_before_[e.ranges[r].end] - held_before_[e.ranges[r].first];
    }
    return count;
}

}  // namespace morlatch::catalog
