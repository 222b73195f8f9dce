// What every search over a CompactTrie bounds itself by: the distance cap,
// the length rule and the narrowing rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "prefix/layout/compact.hpp"

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

// The narrowing rule. When no cell of row `depth` (the row of a node
// labelled `label`) is below t, a child's row can hold a cell <= t only
// through a match on the diagonal from a cell that holds t: so only children
// labelled like the query character there qualify. Calls add(label) for each
// such label (in no order, maybe twice) and returns true, or returns false
// when every child may qualify. A swap adds no label: one from cell i of the
// row above, at most t - 1, puts a child labelled query[i] within t, but cell
// i of this row is at most that cell plus one, so it holds t and names
// query[i] already (and lies in the band, as a cell below k at the band's
// edge cannot). `rows` answers minimum(d), band_low(d), band_high(d) and
// cell(d, j) for its rows of unit costs.
template <class Rows, class Add>
bool narrow_labels(const Rows& rows, std::u32string_view query, std::size_t depth, std::uint32_t t,
                   Add&& add) {
    if (rows.minimum(depth) < t) {
        return false;
    }
    const std::size_t m = query.size();
    for (std::size_t j = rows.band_low(depth); j <= rows.band_high(depth) && j < m; ++j) {
        if (rows.cell(depth, j) == t) {
            add(query[j]);
        }
    }
    return true;
}

}  // namespace morlatch
