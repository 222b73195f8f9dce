// What a search finds: keys with their distance and payload, as handed
// back (Match), and as a walk gathers them (HitList: the keys one after the
// other in one buffer, so that a hit costs no allocation of its own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/trie.hpp"

namespace morlatch {

// One query hit, with the node's payload in place of its id.
struct Match {
    std::u32string key;
    Payload payload;
    std::uint64_t distance;

    bool operator==(const Match&) const = default;
};

// The hits of one search, their keys one after the other in one buffer.
struct HitList {
    struct Hit {
        std::size_t offset;  // of the key in `text`
        std::uint32_t length;
        Payload payload;
        std::uint32_t distance;
        NodeId node;  // the key's node in the layout searched (0: not known)
    };
    std::vector<char32_t> text;
    std::vector<Hit> hits;

    std::u32string_view key(const Hit& hit) const noexcept {
        return std::u32string_view(text.data() + hit.offset, hit.length);
    }
    void add(std::u32string_view key, Payload payload, std::uint32_t distance, NodeId node = 0) {
        hits.push_back(
            Hit{text.size(), static_cast<std::uint32_t>(key.size()), payload, distance, node});
        text.insert(text.end(), key.begin(), key.end());
    }
    // The hit as handed back, its key copied out.
    Match match(const Hit& hit) const {
        return Match{std::u32string(key(hit)), hit.payload, hit.distance};
    }
};

}  // namespace morlatch
