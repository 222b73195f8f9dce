// The error half of a noisy-channel speller: the cost (a negative log
// probability) of typing one string when meaning another, as the cheapest
// sequence of learned substring edits and smoothed single-character edits.
// Plain C++ over std:: types; the Python side fits the edits and hands them
// over once.
#pragma once

#include <cstddef>
#include <deque>
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
    // length are not considered.
    [[nodiscard]] double cost(std::u32string_view typed, std::u32string_view word,
                              std::size_t band) const;

private:
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

    // The texts the map's views point into; a deque never moves them.
    std::deque<std::u32string> sources_;
    std::unordered_map<std::u32string_view, Targets> edits_;
    std::size_t longest_source_ = 0;
    Rates rates_;
};

}  // namespace morlatch::spell
