// A catalog: items of several words (names, titles) searched word by word.
//
// The package splits every item into words and folds them to terms; this
// core receives the result as flat arrays: the items' texts (UTF-8, one
// after the other), payloads and weight codes, the distinct terms, and per
// item its terms in order (the forward index). From those it builds a trie
// of the terms (payload: the term's number), which the ranked searches of
// ranked.hpp expand a query word against, and the postings (the items that
// hold each term).
//
// search ranks items by (query words matched, typos, proximity, prefixes,
// weight, text, payload); match scores whole names by a weighted Dice
// coefficient over their words. Both read only immutable data and keep their
// scratch space per thread, so a batch runs them on several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/trie.hpp"

namespace morlatch::catalog {

// The arrays a catalog is made of, read in place (the caller keeps them
// alive as long as the catalog).
struct Parts {
    std::span<const char> terms;                  // UTF-8, one after the other
    std::span<const std::uint64_t> term_offsets;  // term t is [off[t], off[t + 1])
    std::span<const char> texts;                  // the items' texts, UTF-8
    std::span<const std::uint64_t> text_offsets;  // item i is [off[i], off[i + 1])
    std::span<const Payload> payloads;            // one per item
    std::span<const std::uint64_t> weights;       // one code per item, or none
    std::span<const std::uint32_t> words;         // term numbers, item by item
    std::span<const std::uint64_t> word_offsets;  // item i's are [off[i], off[i + 1])
};

// What a catalog derives from its parts, kept beside them in a file so that
// opening it reads them in place: the term trie's image (see NodeImage),
// the postings, each item's place among equals and the terms in code-point
// order.
struct Derived {
    std::span<const std::uint8_t> trie;
    std::span<const std::uint64_t> posting_offsets;  // term t's are [off[t], off[t + 1])
    std::span<const std::uint32_t> postings;
    std::span<const std::uint32_t> tie_rank;  // per item
    std::span<const std::uint32_t> by_text;   // term numbers
};

class ItemBits;

// What parts are wrong (empty when they hold together): offsets that do not
// start at 0, run backwards or past their array, term numbers out of range,
// arrays of different item counts, terms that are not distinct valid UTF-8.
std::string check(const Parts& parts);

// No position: an item word that matched no query word.
inline constexpr std::uint32_t kUnmatched = 0xFFFFFFFFu;

struct Hit {
    std::uint32_t item;
    double score;
    // Per query word, the position of the item word it matched, or
    // kUnmatched.
    std::vector<std::uint32_t> positions;
};

// The terms a query word matches (fewest typos first), with the typos each
// costs and whether as a prefix (1) or whole (0), and how many items they
// reach together.
struct TermMatch {
    std::uint32_t term;
    std::uint32_t typos;
    std::uint32_t prefix;
};
// The terms below one entry point of a prefix: positions [first, end) in
// the terms' code-point order, each at most `typos` from the prefix.
struct PrefixRange {
    std::uint32_t first;
    std::uint32_t end;
    std::uint32_t typos;
};
// A word's matches. A prefix word's are not listed term by term (a short
// beginning can start a good part of all terms): `ranges` holds them, fewest
// typos first, and `terms` only the terms it matches whole, by term number.
struct Expansion {
    std::vector<TermMatch> terms;
    std::vector<PrefixRange> ranges;
    // The ranges again by position (they nest as subtrees do), each with the
    // least typos of it and the ranges around it, and the range around it.
    std::vector<PrefixRange> by_position;
    std::vector<std::uint32_t> around;
    bool prefix = false;
    std::uint64_t postings = 0;  // items over all the terms, with repeats
};

struct SearchQuery {
    std::vector<std::u32string> words;   // folded terms, in query order
    std::vector<std::uint32_t> budgets;  // typos allowed, per word
    bool last_is_prefix = true;
    std::uint64_t limit = 10;
};

struct MatchQuery {
    std::vector<std::u32string> words;
    std::uint64_t limit = 1;
    double cutoff = 0.6;
};

// The typos that the "auto" rule allows a word of `length` characters:
// none below 3, 1 from 3, 2 from 6.
constexpr std::uint32_t auto_budget(std::size_t length) noexcept {
    return length < 3 ? 0 : length < 6 ? 1 : 2;
}

// Each of a proximity's word pairs costs at most this.
inline constexpr std::uint32_t kProximityCap = 7;

class Catalog {
public:
    // The parts must pass check(); they are read in place.
    Catalog(const Parts& parts, Interrupt& interrupt);
    // A catalog over parts that pass check() and what was derived from them
    // (stored()), read in place once it is checked to be exactly what
    // building would derive; or null, with what is wrong in `problem`.
    static std::unique_ptr<Catalog> open(const Parts& parts, const Derived& derived,
                                         std::string& problem, Interrupt& interrupt);
    ~Catalog();
    Catalog(const Catalog&) = delete;
    Catalog& operator=(const Catalog&) = delete;

    std::size_t size() const noexcept { return parts_.payloads.size(); }
    std::size_t term_count() const noexcept { return parts_.term_offsets.size() - 1; }
    // Whether no two terms are the same (each is then one key of the trie).
    bool terms_distinct() const noexcept;
    std::string_view text(std::uint32_t item) const noexcept;
    Payload payload(std::uint32_t item) const noexcept { return parts_.payloads[item]; }
    std::span<const std::uint32_t> words(std::uint32_t item) const noexcept {
        const std::uint64_t first = parts_.word_offsets[item];
        return parts_.words.subspan(first, parts_.word_offsets[item + 1] - first);
    }
    // The derived arrays, to be stored beside the parts.
    Derived stored() const noexcept;
    // Bytes held besides the parts: the term trie, postings and lengths
    // (mapped or not).
    std::size_t memory_bytes() const noexcept;

    std::vector<Hit> search(const SearchQuery& query, Interrupt& interrupt) const;
    std::vector<Hit> match(const MatchQuery& query, Interrupt& interrupt) const;

    // The terms `word` matches within `budget` typos, also as a prefix.
    // A batch expands each distinct word once and passes the expansions of
    // a query's words, in order, to the overloads below.
    Expansion expand(std::u32string_view word, std::uint32_t budget, bool prefix,
                     Interrupt& interrupt) const;
    std::vector<Hit> search(const SearchQuery& query, std::span<const Expansion* const> expansions,
                            Interrupt& interrupt) const;
    std::vector<Hit> match(const MatchQuery& query, std::span<const Expansion* const> expansions,
                           Interrupt& interrupt) const;

    // The weight of a term: ln(1 + items / items holding it).
    double mass(std::uint32_t term) const noexcept { return mass_[term]; }
    // The weight of a word no item holds: ln(1 + items).
    double unseen_mass() const noexcept;

private:
    // One query's run (search.cpp, match.cpp): its state and steps.
    class SearchRun;
    class MatchRun;

    explicit Catalog(const Parts& parts) : parts_(parts) {}
    // Whether item a comes before item b among equals: heavier, then by
    // text, then payload.
    bool tie_before(std::uint32_t a, std::uint32_t b) const noexcept;
    void order_items();
    void build_postings(Interrupt& interrupt);
    // What is wrong with stored arrays (empty when they are what building
    // derives); checked in this order, each relying on the ones before.
    std::string check_trie(const Derived& derived);
    std::string check_by_text(const Derived& derived) const;
    std::string check_tie_rank(const Derived& derived) const;
    std::string check_postings(const Derived& derived, Interrupt& interrupt) const;
    // The rest, derived in one pass each whether built or opened.
    void derive_rest();

    // How a prefix word matches `term` (typos, 1 if as a prefix), or
    // {kNone, 0}.
    std::pair<std::uint32_t, std::uint32_t> prefix_match(const Expansion& e,
                                                         std::uint32_t term) const noexcept;
    // f(term, typos) for each term a word matches, fewest typos first.
    template <class F>
    void for_each_term(const Expansion& e, F&& f) const;
    // The items of a word's terms with `least` typos (search_sets.cpp), and
    // how many postings those terms hold (nested ranges counted again).
    void mark_fewest(const Expansion& e, std::uint32_t least, ItemBits& into) const;
    std::uint64_t fewest_postings(const Expansion& e, std::uint32_t least) const noexcept;
    std::uint64_t weight(std::uint32_t item) const noexcept {
        return parts_.weights.empty() ? 0 : parts_.weights[item];
    }

    Parts parts_;
    std::unique_ptr<CompactTrie> trie_;
    // Built here, or read in place from stored arrays.
    std::span<const std::uint64_t> posting_offsets_;
    std::span<const std::uint32_t> postings_;  // items per term, once each, by tie_rank_
    std::span<const std::uint32_t> tie_rank_;  // per item, its place among equals
    std::span<const std::uint32_t> by_text_;   // term numbers in code-point order
    std::vector<std::uint64_t> own_posting_offsets_;
    std::vector<std::uint32_t> own_postings_;
    std::vector<std::uint32_t> own_tie_rank_;
    std::vector<std::uint32_t> own_by_text_;
    std::vector<std::uint32_t> term_length_;  // in code points
    std::vector<double> mass_;                // per term
    std::vector<float> item_mass_;            // per item, its words' masses summed
    std::vector<std::uint32_t> text_rank_;    // and each term's place in it
    std::vector<std::uint64_t> held_before_;  // postings of the terms before a place
    // Per node of the term trie, the places [first, end) of the terms below.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> below_;
};

}  // namespace morlatch::catalog
