// What a search finds: keys with their distance and payload. One hit type,
// BasicMatch, over how it holds its key: its own string as handed back
// (Match), or a span of the one buffer a walk gathers its keys in (HitList),
// so that a hit costs no allocation of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/trie.hpp"

namespace morlatch {

// Where a hit's key lies in its list's buffer.
struct KeySpan {
    std::size_t offset;
    std::uint32_t length;
};

// One query hit, with the node's payload in place of its id.
template <class Key>
struct BasicMatch {
    Key key;
    Payload payload;
    std::uint64_t distance;
    NodeId node = 0;  // the key's node in the layout searched (0: not known)

    // Node ids differ between layouts of one key set, so a hit is its key,
    // payload and distance.
    bool operator==(const BasicMatch& other) const {
        return key == other.key && payload == other.payload && distance == other.distance;
    }
};

using Match = BasicMatch<std::u32string>;

// The hits of one search, their keys one after the other in one buffer.
struct HitList {
    using Hit = BasicMatch<KeySpan>;
    std::vector<char32_t> text;
    std::vector<Hit> hits;

    std::u32string_view key(const Hit& hit) const noexcept {
        return std::u32string_view(text.data() + hit.key.offset, hit.key.length);
    }
    void add(std::u32string_view key, Payload payload, std::uint64_t distance, NodeId node = 0) {
        hits.push_back(Hit{KeySpan{text.size(), static_cast<std::uint32_t>(key.size())}, payload,
                           distance, node});
        text.insert(text.end(), key.begin(), key.end());
    }
    // The hit as handed back, its key copied out.
    Match match(const Hit& hit) const {
        return Match{std::u32string(key(hit)), hit.payload, hit.distance, hit.node};
    }
};

}  // namespace morlatch
