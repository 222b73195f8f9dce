// Ranked lookups over the search layout: the closest keys to a query, the
// best completions of a mistyped beginning, and the keys below a prefix.
//
// Both searches compute edit distances with the banded kernel of band.hpp:
// one band of cells per trie level, so a row costs O(max_dist) in time and
// memory whatever the query's length. Ranked search ranks the hits of the
// layout's own (split) search. With transpositions the distance is the
// optimal string alignment distance: swapping two adjacent characters counts
// as one edit (a swapped pair is not edited again).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/search/query.hpp"

namespace morlatch {

struct RankedOptions {
    std::uint64_t max_dist = 0;
    // The best `limit` results only; every result when empty.
    std::optional<std::uint64_t> limit;
    bool transpositions = false;
};

// Keys within max_dist of the whole query, ranked by (distance, key in
// code-point order). With a limit it searches distance 0, then 1, ..., and
// stops at the first distance that yields enough keys.
std::vector<Match> ranked_search(const CompactTrie& trie, std::u32string_view query,
                                 const RankedOptions& options, Interrupt& interrupt);

// Keys that begin with some string within max_dist of `prefix`, ranked by
// (the smallest such distance, key length, key in code-point order); each
// result carries that smallest distance.
std::vector<Match> complete(const CompactTrie& trie, std::u32string_view prefix,
                            const RankedOptions& options, Interrupt& interrupt);

// The keys that start with a prefix, one at a time in code-point order; the
// walk goes only as far as the keys taken.
class KeyCursor {
public:
    KeyCursor(const CompactTrie& trie, std::u32string_view prefix);

    // The next key and its payload; false once every key was taken.
    bool next(std::u32string& key, Payload& payload);

private:
    struct Frame {
        NodeId node;
        std::uint32_t depth;  // characters of the path above the node's own
    };
    const CompactTrie& trie_;
    std::u32string path_;
    std::uint32_t base_ = 0;  // length of the prefix; the start node's depth
    std::vector<Frame> stack_;
};

// What both completions (by length here, by weight in weighted.hpp) keep
// while they walk: the entry points, the nodes whose path is closer to the
// prefix than any shorter path above them, and the steps taken below them.
namespace completion {

struct EntryPoint {
    NodeId node;
    std::uint32_t depth;
    std::uint32_t distance;
    std::uint32_t path_offset;  // its path is paths[offset, offset + depth)
};

inline constexpr std::uint32_t kNoParent = 0xFFFFFFFFu;

struct Step {
    NodeId node;
    std::uint32_t parent;  // into the steps, or kNoParent for an entry point
    std::uint32_t entry;   // into the entry points, for an entry point
};

// The key of the node of steps[step] (its entry point's path, then the
// labels on the way down) and the entry point it lies below. `tail` is
// scratch space, kept between calls.
struct Reached {
    std::u32string key;
    const EntryPoint& entry;
};
Reached key_at(const CompactTrie& trie, const std::vector<Step>& steps,
               const std::vector<EntryPoint>& entries, const std::u32string& paths,
               std::uint32_t step, std::u32string& tail);

// Appends the entry points of `prefix` within k edits (the exact prefix's
// node among them, at distance 0, when it holds keys), each path appended
// to `paths`, in walk order.
void find_entry_points(const CompactTrie& trie, std::u32string_view prefix, std::uint32_t k,
                       bool transpositions, Interrupt& interrupt, std::vector<EntryPoint>& entries,
                       std::u32string& paths);

}  // namespace completion

}  // namespace morlatch
