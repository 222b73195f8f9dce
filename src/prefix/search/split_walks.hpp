// The walks of one split search (search.cpp) and of one gathering of the
// keys at a distance (gather.hpp), kept in a SearchScratch so that a thread
// running search after search allocates nothing once they have grown.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/hits.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/search/band_walk.hpp"
#include "prefix/search/reused.hpp"

namespace morlatch {

// The forward and backward walks of one search, the hits they gather and
// the texts and nodes they need on the way. A search run with them resets
// the walks of the one before, keeping their memory.
template <Metric M>
struct SplitWalks {
    std::optional<BandWalk<M>> forward;
    std::optional<BandWalk<M>> backward;
    HitList found;
    std::u32string reversed;
    std::u32string key;
    std::vector<NodeId> seen;
};

struct SearchScratch::Walks {
    SplitWalks<Metric::osa> osa;
    SplitWalks<Metric::levenshtein> levenshtein;
    // The keys that a caller of gather_at collects, for its own use.
    HitList gathered;

    template <Metric M>
    SplitWalks<M>& of() noexcept {
        if constexpr (M == Metric::osa) {
            return osa;
        } else {
            return levenshtein;
        }
    }
};

// The walk in `slot`, set up for `query` as a new one would be.
template <Metric M>
BandWalk<M>& walk_in(std::optional<BandWalk<M>>& slot, const NodeView& nodes,
                     std::u32string_view query, std::uint32_t k, Budget budget,
                     Interrupt& interrupt) {
    if (slot) {
        slot->reset(nodes, query, k, budget, interrupt);
    } else {
        slot.emplace(nodes, query, k, budget, interrupt);
    }
    return *slot;
}

}  // namespace morlatch
