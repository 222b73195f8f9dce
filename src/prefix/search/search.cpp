// Fuzzy search over a CompactTrie.
//
// One depth-first banded walk (band.hpp) finds the keys in the plain walk's
// order. For k >= 1 and a query long enough, the search is split after Mihov
// and Schulz's forward-backward method: cut the query q into q1 q2 at
// position s. Follow an alignment of cost e <= k along the query; let F be
// its cost when it first reaches a position >= s, and L its cost when it
// last stands at a position <= s. The forward walk allows at most a edits on
// the cells of positions <= s (k beyond) and still reaches every key with
// F <= a; a walk of the reversed keys with the reversed query and b reaches
// every key with e - L <= b. Usually the alignment stands at s, so F <= L
// and F + (e - L) <= e: with a + b >= k - 1 one of the two walks finds each
// hit. With transpositions, a swap of q[s - 1] q[s] jumps from s - 1 to
// s + 1, so F = L + 1 and F + (e - L) = e + 1; but then the forward walk
// finds the key already when L <= a (the cells before the swap are within
// a; in the middle of the swap, cell s + 1, past the cut, holds at most
// L + 1 <= k: skip q[s - 1], match q[s]), and the backward walk likewise
// when e - F <= b, so a miss would need e = L + 1 + (e - F) >= a + b + 3.
// Both walks prune far more than one walk with k everywhere; their hits are
// merged, deduplicated and put in the plain walk's order.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "prefix/layout/compact.hpp"
#include "prefix/search/band_walk.hpp"
#include "prefix/search/reused.hpp"
#include "prefix/search/split_walks.hpp"

namespace morlatch {

namespace {

// Whether key a comes before key b in the plain walk's order for `query`.
bool walk_before(std::u32string_view a, std::u32string_view b, std::u32string_view query) {
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (ia == a.end()) {
        return ib != b.end();  // a key comes before its extensions
    }
    if (ib == b.end()) {
        return false;
    }
    const std::size_t p = static_cast<std::size_t>(ia - a.begin());
    if (p < query.size()) {
        if (*ia == query[p]) {
            return true;
        }
        if (*ib == query[p]) {
            return false;
        }
    }
    return *ia < *ib;
}

// Whether to split a query of length n for k edits. Shorter queries leave
// the halves too little to prune with, and two walks then visit more nodes
// than one (measured on English word lists: the break-even length is about
// 2k, and 3 for k = 1).
bool worth_splitting(std::size_t n, std::uint64_t k) {
    return k >= 1 && k <= 16 && n >= std::max<std::uint64_t>(3, 2 * k);
}

// Gathers the hits in w.found (emptied first).
template <Metric M>
void split_or_single_search(const CompactTrie& trie, const NodeView& nodes,
                            std::u32string_view query, std::uint32_t k,
                            std::optional<std::uint64_t> limit, Interrupt& interrupt,
                            SplitWalks<M>& w) {
    HitList& found = w.found;
    found.hits.clear();
    found.text.clear();
    const std::size_t n = query.size();
    const ReverseIndex* reverse = worth_splitting(n, k) ? trie.reverse_index(interrupt) : nullptr;
    if (reverse == nullptr) {
        walk_in(w.forward, nodes, query, k, Budget{k, k, 0}, interrupt)
            .run([&](NodeId node, std::uint32_t distance, std::u32string_view path) {
                found.add(path, trie.payload(node), distance, node);
                return !limit || found.hits.size() < *limit;
            });
        return;
    }

    // Both walks record the key's node in the forward trie; the hits are
    // merged by node.
    const std::size_t split = n / 2;
    const std::uint32_t forward_low = k / 2;
    const std::uint32_t backward_low = (k - 1) / 2;
    walk_in(w.forward, nodes, query, k, Budget{forward_low, k, split}, interrupt)
        .run([&](NodeId node, std::uint32_t distance, std::u32string_view path) {
            found.add(path, 0, distance, node);
            return true;
        });
    w.reversed.assign(query.rbegin(), query.rend());
    walk_in(w.backward, reverse->view(), w.reversed, k, Budget{backward_low, k, n - split},
            interrupt)
        .run([&](NodeId, std::uint32_t distance, std::u32string_view path) {
            w.key.assign(path.rbegin(), path.rend());
            // The reverse index holds the keys of the forward layout (checked
            // when it is read from a file), so the lookup finds it.
            if (const std::optional<NodeId> node = trie.find_key(w.key)) {
                found.add(w.key, 0, distance, *node);
            }
            return true;
        });
    std::vector<HitList::Hit>& hits = found.hits;
    std::sort(hits.begin(), hits.end(),
              [](const HitList::Hit& a, const HitList::Hit& b) { return a.node < b.node; });
    hits.erase(
        std::unique(hits.begin(), hits.end(),
                    [](const HitList::Hit& a, const HitList::Hit& b) { return a.node == b.node; }),
        hits.end());
    std::sort(hits.begin(), hits.end(), [&](const HitList::Hit& a, const HitList::Hit& b) {
        return walk_before(found.key(a), found.key(b), query);
    });
    if (limit && *limit < hits.size()) {
        hits.resize(static_cast<std::size_t>(*limit));
    }
    for (HitList::Hit& hit : hits) {
        hit.payload = trie.payload(hit.node);
    }
}

template <Metric M>
HitList split_or_single_search(const CompactTrie& trie, const NodeView& nodes,
                               std::u32string_view query, std::uint32_t k,
                               std::optional<std::uint64_t> limit, Interrupt& interrupt) {
    SplitWalks<M> walks;
    split_or_single_search(trie, nodes, query, k, limit, interrupt, walks);
    return std::move(walks.found);
}

}  // namespace

HitList CompactTrie::search(std::u32string_view query, std::uint64_t max_dist,
                            std::optional<std::uint64_t> limit, Interrupt& interrupt,
                            bool transpositions) const {
    if (limit && *limit == 0) {
        return HitList{};
    }
    if (max_dist == 0) {
        // Only the query itself can match.
        HitList found;
        if (const std::optional<NodeId> node = find_key(query)) {
            found.add(query, payload(*node), 0, *node);
        }
        return found;
    }
    // No distance comes near the cap, so a larger max_dist behaves exactly
    // like it.
    const auto k = static_cast<std::uint32_t>(std::min(max_dist, kDistanceCap));
    return transpositions
               ? split_or_single_search<Metric::osa>(*this, view_, query, k, limit, interrupt)
               : split_or_single_search<Metric::levenshtein>(*this, view_, query, k, limit,
                                                             interrupt);
}

// ---- the same search, its memory kept from one search to the next -------

SearchScratch::SearchScratch() : walks(std::make_unique<Walks>()) {}
SearchScratch::~SearchScratch() = default;

const HitList& search(const CompactTrie& trie, std::u32string_view query, std::uint64_t max_dist,
                      Interrupt& interrupt, bool transpositions, SearchScratch& scratch) {
    SearchScratch::Walks& walks = *scratch.walks;
    if (max_dist == 0) {
        HitList& found = walks.osa.found;
        found.hits.clear();
        found.text.clear();
        if (const std::optional<NodeId> node = trie.find_key(query)) {
            found.add(query, trie.payload(*node), 0, *node);
        }
        return found;
    }
    const auto k = static_cast<std::uint32_t>(std::min(max_dist, kDistanceCap));
    const NodeView& nodes = trie.view();
    if (transpositions) {
        split_or_single_search(trie, nodes, query, k, std::nullopt, interrupt, walks.osa);
        return walks.osa.found;
    }
    split_or_single_search(trie, nodes, query, k, std::nullopt, interrupt, walks.levenshtein);
    return walks.levenshtein.found;
}

}  // namespace morlatch
