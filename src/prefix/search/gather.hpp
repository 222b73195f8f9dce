// The keys at exactly one distance from a query, for a caller that ranks
// them its own way: the walks of the layout's search (search.cpp), split in
// halves where it splits, without putting the hits in walk order, and with a
// say over each key, by node, before its text is copied.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/layout/compact.hpp"
#include "prefix/search/band_walk.hpp"
#include "prefix/search/letters.hpp"
#include "prefix/search/split_walks.hpp"

namespace morlatch {

// Calls on_key(node, key) once for each key of `trie` exactly `distance`
// (>= 1) edits from `query` that keep(node) accepts, in no set order: the
// keys that trie.search(query, distance) finds at that distance. keep(node)
// must answer the same for a node all through the call. The walks run in
// `scratch`, whose memory stays from one call to the next; on_key must not
// search with it. `letters` may hold the letter tables (letters.hpp) of
// `trie` and of its reverse index: the walks then skip the subtrees they
// rule out, finding the same keys. `valued` may bound a value of the keys
// of `trie` by node (band_walk.hpp): keys short of its floor may then be left
// out unseen, so keep(node) must refuse them.
template <Metric M, class Keep, class OnKey>
void gather_at(const CompactTrie& trie, std::u32string_view query, std::uint32_t distance,
               Interrupt& interrupt, SearchScratch& scratch, Keep&& keep, OnKey&& on_key,
               const LetterTables& letters = {}, const ValueBound& valued = {}) {
    const std::uint32_t k = distance;
    const std::size_t n = query.size();
    SplitWalks<M>& w = scratch.walks->template of<M>();
    // The search splits the same queries (see worth_splitting in search.cpp).
    const bool split = k <= 16 && n >= std::max<std::uint64_t>(3, 2 * k);
    const ReverseIndex* reverse = split ? trie.reverse_index(interrupt) : nullptr;
    if (reverse == nullptr) {
        BandWalk<M>& whole = walk_in(w.forward, trie.view(), query, k, Budget{k, k, 0}, interrupt);
        whole.bound_by(letters.forward);
        whole.bound_by(valued);
        whole.run([&](NodeId node, std::uint32_t found, std::u32string_view path) {
            if (found == k && keep(node)) {
                on_key(node, path);
            }
            return true;
        });
        return;
    }
    // A key found by both walks is taken from the forward one: the backward
    // walk skips the nodes it took.
    const std::size_t cut = n / 2;
    std::vector<NodeId>& seen = w.seen;
    seen.clear();
    BandWalk<M>& forward =
        walk_in(w.forward, trie.view(), query, k, Budget{k / 2, k, cut}, interrupt);
    forward.bound_by(letters.forward);
    forward.bound_by(valued);
    forward.run([&](NodeId node, std::uint32_t found, std::u32string_view path) {
        if (found == k && keep(node)) {
            seen.push_back(node);
            on_key(node, path);
        }
        return true;
    });
    std::sort(seen.begin(), seen.end());
    w.reversed.assign(query.rbegin(), query.rend());
    std::u32string& key = w.key;
    BandWalk<M>& backward = walk_in(w.backward, reverse->view(), w.reversed, k,
                                    Budget{(k - 1) / 2, k, n - cut}, interrupt);
    backward.bound_by(letters.backward);
    backward.run([&](NodeId, std::uint32_t found, std::u32string_view path) {
        if (found != k) {
            return true;
        }
        key.assign(path.rbegin(), path.rend());
        // The reverse index holds the keys of the forward layout.
        const std::optional<NodeId> node = trie.find_key(key);
        if (node && !std::binary_search(seen.begin(), seen.end(), *node) && keep(*node)) {
            on_key(*node, std::u32string_view(key));
        }
        return true;
    });
}

}  // namespace morlatch
