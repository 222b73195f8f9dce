// The error half of a noisy-channel speller: the cost (a negative log
// probability) of typing one string when meaning another, as the cheapest
// sequence of learned substring edits and smoothed single-character edits.
// Plain C++ over std:: types; the Python side fits the edits and hands them
// over once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace morlatch::spell {

// One learned edit: `source` in the meant word typed as `target`.
struct Edit {
    std::u32string source;
    std::u32string target;
    double cost;
};

// The cost of each kind of single-character edit that no learned edit covers.
struct Rates {
    double substitute;
    double remove;
    double insert;
    double swap;
};

class Channel {
public:
    Channel(const std::vector<Edit>& edits, const Rates& rates);

    // The cheapest way to edit `word` into `typed`; both are taken as they
    // are (the caller adds the word-boundary marks the edits expect).
    // Alignments that stray more than `band` cells beyond the difference in
    // length are not considered. The search gives up, returning infinity,
    // once every way on costs more than `bound`.
    [[nodiscard]] double cost(std::u32string_view typed, std::u32string_view word, std::size_t band,
                              double bound = std::numeric_limits<double>::infinity()) const;

    // The `limit` best of `words` (boundary-marked like `typed`) meant by
    // `typed`, as (position in words, score), best first: a word scores its
    // prior less its cost, words costing more than `max_cost` are left out,
    // and equal scores go by word. Words are tried from the likeliest prior
    // down (after the first, taken as the caller's best guess), each
    // searched only as far as it could still make the cut.
    struct Scored {
        std::size_t at;
        double score;
    };
    [[nodiscard]] std::vector<Scored> rank(std::u32string_view typed,
                                           const std::vector<std::u32string>& words,
                                           const std::vector<double>& priors, std::size_t limit,
                                           double max_cost, std::size_t band) const;

private:
    struct Targets;
    // Buffers one search leaves for the next to reuse.
    struct Scratch {
        std::vector<double> best;
        std::vector<double> row_least;
        std::vector<std::pair<std::size_t, const Targets*>> sources;
    };
    [[nodiscard]] double cost(Scratch& scratch, std::u32string_view typed, std::u32string_view word,
                              std::size_t band, double bound) const;

    // The typed sides learned for one source, found by their first
    // character: a cell of the table only tries those that can match there.
    struct Targets {
        struct Target {
            std::u32string text;
            double cost;
        };
        double erase_cost;  // of typing nothing for the source
        // (first character, targets starting with it), by character.
        std::vector<std::pair<char32_t, std::vector<Target>>> by_first;
    };

    // The sources that start at `at` in `word`, as (size, targets), into
    // `found` (cleared first): one walk down the sources' prefix tree.
    void sources_at(std::u32string_view word, std::size_t at,
                    std::vector<std::pair<std::size_t, const Targets*>>& found) const;

    // The texts the map's views point into; a deque never moves them.
    std::deque<std::u32string> sources_;
    std::unordered_map<std::u32string_view, Targets> edits_;
    std::size_t longest_source_ = 0;
    // The sources as a prefix tree: node 0 is the root; a node's children
    // are sorted by character, and a node that ends a source points at its
    // targets (the map's elements never move).
    struct Prefix {
        std::vector<std::pair<char32_t, std::uint32_t>> next;
        const Targets* targets = nullptr;
    };
    std::vector<Prefix> prefixes_;
    Rates rates_;
};

}  // namespace morlatch::spell
