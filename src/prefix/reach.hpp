// What every search over a CompactTrie bounds itself by: the distance cap and
// the length rule.
#pragma once

#include <cstdint>

#include "prefix/compact.hpp"

namespace morlatch {

// Distances past this change nothing (no key is that long); every search
// caps max_dist to it, and the package does the same through _engine.
inline constexpr std::uint64_t kDistanceCap = std::uint64_t{1} << 30;

// Whether every key below a node at `depth` (given its key lengths below,
// or the record holding them) is too short or too long to be within k of a
// query of n characters: a key of length L is at least |L - n| away. (A
// subtree without keys has the saturated shortest length and a longest of 0,
// so it is mostly ruled out too.)
inline bool out_of_reach(std::uint8_t shortest, std::uint8_t longest, std::uint64_t depth,
                         std::uint64_t n, std::uint64_t k) noexcept {
    return depth + shortest > n + k ||
           (longest != CompactTrie::kLengthSaturated && depth + longest + k < n);
}
inline bool out_of_reach(std::uint32_t record, std::uint64_t depth, std::uint64_t n,
                         std::uint64_t k) noexcept {
    return out_of_reach(records::shortest(record), records::longest(record), depth, n, k);
}

}  // namespace morlatch
