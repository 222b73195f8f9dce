// Splitting many texts into words at once, for building a catalog: the
// words are the runs of ASCII letters and digits and of bytes past ASCII
// (whole UTF-8 characters, which the caller sorts out: letters, or not),
// plus each ASCII character of `symbols` on its own; `separator` ends one
// text and starts the next.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morlatch::catalog {

struct Split {
    std::vector<std::string_view> distinct;  // each word once, by first appearance
    std::vector<std::uint32_t> words;        // per word, its number in `distinct`
    std::vector<std::uint64_t> offsets;      // text i's words are [offsets[i], offsets[i + 1])
};

// The views in the result point into `blob`.
Split split_words(std::string_view blob, char separator, std::string_view symbols);

// No number: a word to leave out.
inline constexpr std::uint32_t kDropped = 0xFFFFFFFFu;

// The split's words with every number w replaced by table[w] (each w is
// below table.size()), those mapped to kDropped left out, and the offsets
// to match.
void renumber(std::vector<std::uint32_t>& words, std::vector<std::uint64_t>& offsets,
              std::span<const std::uint32_t> table);

}  // namespace morlatch::catalog
