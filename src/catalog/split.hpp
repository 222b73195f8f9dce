// Splitting many texts into words at once, for building a catalog: the
// words are the runs of ASCII letters and digits and of bytes past ASCII
// (whole UTF-8 characters, which the caller sorts out: letters, or not),
// plus each ASCII character of `symbols` on its own; `separator` ends one
// text and starts the next.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace morlatch::catalog {

struct Split {
    std::vector<std::string_view> distinct;  // each word once, by first appearance
    std::vector<std::uint32_t> words;        // per word, its number in `distinct`
    std::vector<std::uint64_t> offsets;      // text i's words are [offsets[i], offsets[i + 1])
};

// The views in the result point into `blob`.
Split split_words(std::string_view blob, char separator, std::string_view symbols);

// What each byte is to the splitter: 0 between words, 1 inside a word (an
// ASCII letter or digit, or any byte past ASCII), 2 a word of its own (a
// symbol), 3 the separator.
using ByteKinds = std::array<std::uint8_t, 256>;
ByteKinds byte_kinds(std::string_view symbols, char separator);

// The (start, end) spans of the words of an ASCII text, as split_words
// finds them; false, with `spans` unspecified, when the text is not ASCII.
bool ascii_spans(const ByteKinds& kinds, std::string_view text,
                 std::vector<std::pair<std::uint32_t, std::uint32_t>>& spans);

// How the package makes the terms of ASCII words: the splitter's byte kinds
// (separator '\0'), lowercase or not (its fold, on ASCII), then the term a
// folded word's synonyms lead to, where it has one.
struct AsciiTerms {
    ByteKinds kinds{};
    bool lower = true;
    std::unordered_map<std::string, std::u32string> synonyms;
};

// The terms of an ASCII text, at most `most`; false, with `terms`
// unspecified, when the text is not ASCII.
bool ascii_terms(const AsciiTerms& rule, std::string_view text, std::size_t most,
                 std::vector<std::u32string>& terms);

// No number: a word to leave out.
inline constexpr std::uint32_t kDropped = 0xFFFFFFFFu;

// The split's words with every number w replaced by table[w] (each w is
// below table.size()), those mapped to kDropped left out, and the offsets
// to match.
void renumber(std::vector<std::uint32_t>& words, std::vector<std::uint64_t>& offsets,
              std::span<const std::uint32_t> table);

}  // namespace morlatch::catalog
