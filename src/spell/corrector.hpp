// The word half of a noisy-channel speller: for a word it does not know, the
// likeliest word meant, from the candidates of the word search (one edit
// away first, two only when the best near word is no cheap slip) and the
// words whose sounds-like key is within one edit of the typed word's, ranked
// by corpus count and the channel. Plain C++ over the prefix searches; the
// corrector reads the searches and never writes them, so threads may share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/ranking/correct_farther.hpp"
#include "prefix/ranking/weighted.hpp"
#include "prefix/search/letters.hpp"
#include "prefix/search/reused.hpp"
#include "spell/channel.hpp"

namespace morlatch::spell {

// Texts looked up by view without a copy.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::u32string_view text) const noexcept {
        return std::hash<std::u32string_view>{}(text);
    }
};

// Where the candidates come from: the word search and its weights (count + 1
// of each word seen, which bound its walks: see Corrector::best), the sounds-like keys' search and
// its weights, and each key's words, commonest first.
struct Searches {
    const CompactTrie* words = nullptr;
    const WeightTable* word_weights = nullptr;
    const CompactTrie* sounds = nullptr;
    const WeightTable* sound_weights = nullptr;
    ErrorModel search_model;  // the word search's own cheap ranking
    std::unordered_map<std::u32string, std::vector<std::u32string>, TextHash, std::equal_to<>>
        sounding;
};

// Words and their corpus counts.
using Counts = std::unordered_map<std::u32string, std::uint64_t, TextHash, std::equal_to<>>;

// The limits that bound a word's work.
struct Limits {
    std::size_t edit_candidates = 24;  // taken from the word search
    std::size_t sound_candidates = 8;  // taken from the sounds-like keys
    double near_cost = 5.0;            // a near word this cheap stands
    double max_cost = 18.0;            // dearer candidates are no answer
    std::size_t longest_word = 40;     // longer words are not corrected
    std::size_t band = 3;              // the channel's alignment band
};

class Corrector {
public:
    // `counts` holds every known word (words counted 0 included, which are
    // accepted but never suggested), every key of the word search among them; a word's prior is
    // log(count + 1) less `log_total`.
    Corrector(Searches searches, Counts counts, double log_total, Limits limits);

    // The word meant by the lower-case `typed`; empty when `typed` is
    // known, too long, or nothing is within reach.
    [[nodiscard]] std::optional<std::u32string> best(const Channel& channel,
                                                     std::u32string_view typed,
                                                     Interrupt& interrupt) const;

    [[nodiscard]] bool known(std::u32string_view word) const;

private:
    struct Found {
        std::u32string word;
        double cost;
        double score;  // prior less cost
    };
    struct Scratch;  // corrector.cpp
    // The best of the word search's candidates `near`, then the words of
    // `heard` not among them, by the channel's query in `scratch` of the
    // marked typed word (which keeps the costs of words scored before). A
    // `guess` among them is scored first: a good guess bounds the search of
    // every other word.
    [[nodiscard]] std::optional<Found> ranked(Scratch& scratch,
                                              const std::vector<correction::Candidate>& near,
                                              std::span<const std::u32string_view> heard,
                                              std::u32string_view guess) const;
    // The words sounding like `key`, into scratch.alike (which must be
    // empty), commonest key first.
    void heard(std::u32string_view key, Scratch& scratch, Interrupt& interrupt) const;

    Searches searches_;
    // The letters below each node of the word search, the sounds-like
    // keys' search and their reverse indexes: bounds for their walks.
    LettersBelow word_letters_;
    LettersBelow word_letters_reversed_;
    LettersBelow sound_letters_;
    LettersBelow sound_letters_reversed_;
    Counts counts_;
    double log_total_;
    Limits limits_;
};

}  // namespace morlatch::spell
