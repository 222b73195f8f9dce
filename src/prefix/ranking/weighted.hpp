// Ranking by weight over the search layout: a weight per key (a corpus count
// or a score), ranked search and completion by (distance, -weight, key), and
// spelling correction with an error model.
//
// Weights are 64-bit codes whose unsigned order is the weights' order: an
// integer weight is itself, a non-negative double is its bit pattern (which
// IEEE 754 orders like the values). The table knows which of the two it holds
// only to turn codes back into numbers for the error model.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/error_model.hpp"
#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/search/letters.hpp"
#include "prefix/search/query.hpp"
#include "prefix/search/ranked.hpp"

namespace morlatch {

using Weight = std::uint64_t;

class WeightTable {
public:
    // `by_node[n]` is the weight of key node n (ignored for other nodes).
    WeightTable(const CompactTrie& trie, std::vector<Weight> by_node, bool floats);
    // The weights of the keys in code-point order, as in_key_order gives them.
    static WeightTable from_key_order(const CompactTrie& trie, std::span<const Weight> weights,
                                      bool floats);

    const CompactTrie& trie() const noexcept { return trie_; }
    bool floats() const noexcept { return floats_; }
    Weight weight(NodeId node) const noexcept { return own_[node]; }
    // The largest weight of a key in the subtree of `node`.
    Weight best_below(NodeId node) const noexcept { return best_[node]; }
    // best_below of every node, by node: a bound for the layout's walks.
    const Weight* best_below_all() const noexcept { return best_.data(); }
    // The same among the keys of at least kLongKey characters. The heaviest
    // keys of a language are short words, which make every shallow node
    // heavy; a search that reaches only longer keys bounds its shallow
    // nodes with these instead.
    static constexpr std::size_t kLongKey = 5;
    Weight best_long_below(NodeId node) const noexcept {
        return node < long_best_.size() ? long_best_[node] : best_[node];
    }
    // The weight that one key in kHeavyShare weighs at least (the heaviest
    // first).
    static constexpr std::size_t kHeavyShare = 8;
    Weight heavy_quantile() const noexcept { return heavy_quantile_; }
    // The rank of `node` in depth-first order, children by code point: the
    // code-point order of the nodes' paths.
    std::uint32_t order(NodeId node) const noexcept { return order_[node]; }
    // The children of `node`, heaviest subtree first (ties by label): a walk
    // that wants heavy keys reads them in one pass and stops at the first
    // child too light to matter. (Siblings' ids are consecutive, so their
    // best_below values share a cache line or two.)
    std::span<const NodeId> heavy_children(NodeId node) const noexcept {
        return heavy_children(trie_.first_child(node), trie_.end_child(node));
    }
    // The same for the children [first, end) of a node.
    std::span<const NodeId> heavy_children(NodeId first, NodeId end) const noexcept {
        return {heavy_.data() + first, heavy_.data() + end};
    }
    // The weight as a number (for the error model).
    double value(Weight code) const noexcept;
    // A code no greater than that of any weight of at least `least`.
    Weight code_below(double least) const noexcept;
    std::vector<Weight> in_key_order() const;
    std::size_t memory_bytes() const noexcept;

private:
    const CompactTrie& trie_;
    bool floats_;
    std::vector<Weight> own_;
    std::vector<Weight> best_;
    std::vector<std::uint32_t> order_;
    // Indexed like the children: the slots [first_child(n), end_child(n))
    // hold n's children by descending heaviest.
    std::vector<NodeId> heavy_;
    // best_long_below for the nodes less than kLongKey deep, the first ids
    // (level order); deeper nodes hold long keys only.
    std::vector<Weight> long_best_;
    Weight heavy_quantile_ = 0;
};

// ranked_search's keys ranked by (distance, -weight, key); `table` may be
// null (every weight 0), which gives ranked_search's own order. With a limit,
// distance by distance until enough keys are found.
std::vector<Match> weighted_search(const CompactTrie& trie, const WeightTable* table,
                                   std::u32string_view query, const RankedOptions& options,
                                   Interrupt& interrupt);

// Keys that begin with some string within max_dist of `prefix`, ranked by
// (that smallest distance, -weight, key). The best `limit` are found best
// first from each node's largest weight below, without listing the others.
std::vector<Match> weighted_complete(const CompactTrie& trie, const WeightTable& table,
                                     std::u32string_view prefix, const RankedOptions& options,
                                     Interrupt& interrupt);

struct CorrectOptions {
    std::uint64_t max_dist = 2;
    std::uint64_t limit = 1;
    bool transpositions = true;
    // Null: the plain rule, (distance, -weight, key). Otherwise keys are
    // ranked by log(1 + weight) minus the cheapest alignment's cost, then
    // key.
    const ErrorModel* model = nullptr;
    // The letter tables of the layout and its reverse index (letters.hpp),
    // when the caller keeps them: the walks that gather keys skip the
    // subtrees they rule out. The results are the same.
    LetterTables letters;
    // Keys lighter than this are left out, as if not in the layout (a caller
    // that knows they cannot serve it); the subtrees of lighter keys only are
    // not walked.
    Weight least_weight = 0;
};

// The best `limit` corrections of `word` within max_dist edits. A key equal
// to the word comes first. Distances are searched one at a time and the
// search stops once no farther key can rank among the best; within a
// distance, subtrees whose largest weight cannot make the cut are skipped.
std::vector<Match> correct(const CompactTrie& trie, const WeightTable* table,
                           std::u32string_view word, const CorrectOptions& options,
                           Interrupt& interrupt);

}  // namespace morlatch
