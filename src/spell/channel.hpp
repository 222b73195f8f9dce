// The error half of a noisy-channel speller: the cost (a negative log
// probability) of typing one string when meaning another, as the cheapest
// sequence of learned substring edits and smoothed single-character edits.
// Plain C++ over std:: types; the Python side fits the edits and hands them
// over once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>
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

// Prefix trees of strings over one flat store, each built at once from
// its sorted strings: a tree's nodes are numbered depth first, so that they
// lie together, and a node's children are one run of (character, node)
// sorted by character.
class PrefixForest {
public:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // A new tree of `texts` (sorted, distinct, non-empty); `ends` receives
    // the node where each text ends. Returns the tree's root.
    std::uint32_t add(const std::vector<std::u32string_view>& texts,
                      std::vector<std::uint32_t>& ends);
    // Lays out the children once every tree is added.
    void finish();

    [[nodiscard]] std::size_t size() const { return parent_.size(); }
    // The parent of `node`, kNone at a root; a parent's number is below
    // its children's.
    [[nodiscard]] std::uint32_t parent(std::uint32_t node) const { return parent_[node]; }
    // The child of `node` for `c`, kNone if none.
    [[nodiscard]] std::uint32_t child(std::uint32_t node, char32_t c) const {
        const auto* const first = edges_.data() + first_[node];
        const auto* const end = edges_.data() + first_[node + 1];
        if (end - first <= kFewEdges) {
            // Most nodes have a few children: read in order, they are found
            // sooner than by halving.
            for (const auto* edge = first; edge != end; ++edge) {
                if (edge->first >= c) {
                    return edge->first == c ? edge->second : kNone;
                }
            }
            return kNone;
        }
        const auto* const found = std::lower_bound(
            first, end, c, [](const auto& edge, char32_t label) { return edge.first < label; });
        return found == end || found->first != c ? kNone : found->second;
    }

private:
    static constexpr std::ptrdiff_t kFewEdges = 8;
    std::vector<std::uint32_t> parent_;
    std::vector<char32_t> label_;
    // Node n's children are edges_[first_[n], first_[n + 1]).
    std::vector<std::uint32_t> first_;
    std::vector<std::pair<char32_t, std::uint32_t>> edges_;
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

    // No word costs less than this to type as another: the cheapest edit
    // that changes anything (minus infinity if an edit costs less than 0).
    [[nodiscard]] double least_change() const { return least_change_; }

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

    class Query;

private:
    // The learned sources in one tree: at the node where a source ends,
    // the root of its typed sides' tree (kNone at other nodes).
    PrefixForest sources_;
    std::vector<std::uint32_t> typed_root_;
    std::size_t longest_source_ = 0;
    // The typed sides of each source's learned edits in a tree of their own,
    // each node holding the cost of typing the source as the path to it
    // (infinity: not learned; at the root, typing nothing).
    PrefixForest typed_;
    std::vector<double> typed_cost_;
    // At each node: the cheapest cost in its subtree (at a source's root,
    // the cheapest of its learned edits).
    std::vector<double> typed_least_;
    Rates rates_;
    double least_change_;
};

// The channel's costs for one typed word (boundary-marked) against many
// words, within one alignment band. Each word's cost is kept, exact or
// known to exceed the bound it was searched under, and a later request
// under no wider bound is answered from it. Not for sharing between threads.
class Channel::Query {
public:
    Query(const Channel& channel, std::u32string_view typed, std::size_t band);

    // Sets the query up for another typed word as the constructor does,
    // forgetting every cost kept but keeping the buffers' memory.
    void reset(const Channel& channel, std::u32string_view typed, std::size_t band);

    // Channel::cost of the query's typed word and `word`: exact when at most
    // `bound`, otherwise some value above `bound` (perhaps infinity).
    [[nodiscard]] double cost(std::u32string_view word, double bound);

    // Channel::rank of the query's typed word.
    [[nodiscard]] std::vector<Scored> rank(std::span<const std::u32string> words,
                                           std::span<const double> priors, std::size_t limit,
                                           double max_cost);

private:
    [[nodiscard]] double search(std::u32string_view word, double bound);

    const Channel* channel_;
    std::u32string typed_;
    std::size_t band_;
    // Each word's cost and the bound it was searched under.
    struct Known {
        double spent;
        double bound;
    };
    // A few dozen words a typed word at most: looked for one by one, their
    // strings kept from one typed word to the next with their memory.
    struct Kept {
        std::u32string word;
        Known known;
    };
    std::vector<Kept> known_;
    std::size_t known_count_ = 0;
    // Buffers one search leaves for the next: the table, each row's least
    // cell, and the sources starting at a row, each with what every cell of
    // the row asks of it read once.
    struct Source {
        std::size_t size;
        std::uint32_t root;  // of its typed sides
        double least;        // the cheapest of its learned edits
        double empty;        // the cost of typing nothing for it
    };
    std::vector<double> best_;
    std::vector<double> row_least_;
    std::vector<Source> sources_;
};

}  // namespace morlatch::spell
