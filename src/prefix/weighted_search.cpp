// Ranked search and completion by weight.
#include <algorithm>
#include <cstddef>
#include <utility>

#include "prefix/reach.hpp"
#include "prefix/weighted.hpp"

namespace morlatch {

// ---- ranked search ---------------------------------------------------------------

std::vector<Match> weighted_search(const CompactTrie& trie, const WeightTable* table,
                                   std::u32string_view query, const RankedOptions& options,
                                   Interrupt& interrupt) {
    if (options.limit && *options.limit == 0) {
        return {};
    }
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);
    RankedOptions each{k, std::nullopt, options.transpositions};
    std::vector<Match> hits;
    if (!options.limit) {
        hits = ranked_search(trie, query, each, interrupt);
    } else {
        // Whole distances at a time: the weights decide within one.
        for (std::uint64_t d = 0;; ++d) {
            if (d > query.size() + CompactTrie::kLengthSaturated) {
                d = k;  // only keys longer than any length kept per node are left
            }
            each.max_dist = std::min(d, k);
            hits = ranked_search(trie, query, each, interrupt);
            if (d >= k || hits.size() >= *options.limit || hits.size() >= trie.key_count()) {
                break;
            }
        }
    }
    if (table == nullptr) {
        if (options.limit && hits.size() > *options.limit) {
            hits.resize(static_cast<std::size_t>(*options.limit));
        }
        return hits;
    }
    struct Ranked {
        std::uint64_t distance;
        Weight weight;
        std::size_t index;  // hits come in (distance, key) order
    };
    std::vector<Ranked> order;
    order.reserve(hits.size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const std::optional<NodeId> node = trie.find(hits[i].key);
        order.push_back(Ranked{hits[i].distance, node ? table->weight(*node) : 0, i});
    }
    auto better = [](const Ranked& a, const Ranked& b) {
        if (a.distance != b.distance) {
            return a.distance < b.distance;
        }
        return a.weight != b.weight ? a.weight > b.weight : a.index < b.index;
    };
    std::size_t keep = order.size();
    if (options.limit && *options.limit < keep) {
        keep = static_cast<std::size_t>(*options.limit);
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep),
                          order.end(), better);
    } else {
        std::sort(order.begin(), order.end(), better);
    }
    std::vector<Match> ranked;
    ranked.reserve(keep);
    for (std::size_t i = 0; i < keep; ++i) {
        ranked.push_back(std::move(hits[order[i].index]));
    }
    return ranked;
}

// ---- completion ------------------------------------------------------------------

std::vector<Match> weighted_complete(const CompactTrie& trie, const WeightTable& table,
                                     std::u32string_view prefix, const RankedOptions& options,
                                     Interrupt& interrupt) {
    std::vector<Match> results;
    const std::uint64_t wanted = options.limit.value_or(UINT64_MAX);
    if (wanted == 0) {
        return results;
    }
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);
    const std::uint64_t m = prefix.size();

    // Entry points: the nodes whose path is closer to the prefix than any
    // shorter path above them. A key's distance is the one of the deepest
    // entry point on its path.
    using completion::EntryPoint;
    std::vector<EntryPoint> entries;
    std::vector<NodeId> entry_nodes;  // sorted, once known
    std::u32string paths;

    // Best first below the entry points of one distance: a node is expanded
    // in the order of the largest weight below it, and a key is taken once
    // no node left can hold a better one. Ties go to the smaller key: the
    // depth-first rank of a node orders its path like the keys, and a node
    // is expanded before a key of the same weight and rank is taken.
    struct Visit {
        Weight bound;
        std::uint32_t rank;
        std::uint8_t take;  // 0: expand the node, 1: take its key
        NodeId node;
        std::uint32_t step;
    };
    using completion::Step;
    auto worse = [](const Visit& a, const Visit& b) {
        if (a.bound != b.bound) {
            return a.bound < b.bound;
        }
        return a.rank != b.rank ? a.rank > b.rank : a.take > b.take;
    };
    std::vector<Visit> heap;
    std::vector<Step> steps;
    std::u32string tail;
    auto push = [&](Visit visit) {
        heap.push_back(visit);
        std::push_heap(heap.begin(), heap.end(), worse);
    };
    auto take_best = [&](std::size_t first, std::size_t last) {
        heap.clear();
        steps.clear();
        for (std::size_t e = first; e < last; ++e) {
            const NodeId node = entries[e].node;
            steps.push_back(Step{node, completion::kNoParent, static_cast<std::uint32_t>(e)});
            push(Visit{table.best_below(node), table.order(node), 0, node,
                       static_cast<std::uint32_t>(steps.size() - 1)});
        }
        while (!heap.empty() && results.size() < wanted) {
            interrupt.tick();
            std::pop_heap(heap.begin(), heap.end(), worse);
            const Visit visit = heap.back();
            heap.pop_back();
            if (visit.take) {
                completion::Reached reached =
                    completion::key_at(trie, steps, entries, paths, visit.step, tail);
                results.push_back(Match{std::move(reached.key), trie.payload(visit.node),
                                        reached.entry.distance});
                continue;
            }
            if (trie.is_key(visit.node) && visit.node != CompactTrie::kRoot) {
                push(Visit{table.weight(visit.node), visit.rank, 1, visit.node, visit.step});
            }
            for (NodeId c = trie.first_child(visit.node); c < trie.end_child(visit.node); ++c) {
                if (!trie.holds_keys(c) ||
                    std::binary_search(entry_nodes.begin(), entry_nodes.end(), c)) {
                    continue;
                }
                steps.push_back(Step{c, visit.step, 0});
                push(Visit{table.best_below(c), table.order(c), 0, c,
                           static_cast<std::uint32_t>(steps.size() - 1)});
            }
        }
    };

    // Distance 0 first: the prefix itself, often enough on its own.
    const std::optional<NodeId> exact = trie.find(prefix);
    if (exact && trie.holds_keys(*exact)) {
        entries.push_back(EntryPoint{*exact, static_cast<std::uint32_t>(m), 0, 0});
        paths.assign(prefix);
        take_best(0, 1);
    }
    if (k == 0 || results.size() >= wanted) {
        return results;
    }
    // Then the entry points of every distance (the exact one among them,
    // done), distance by distance.
    entries.clear();
    paths.clear();
    completion::find_entry_points(trie, prefix, static_cast<std::uint32_t>(k),
                                  options.transpositions, interrupt, entries, paths);
    for (const EntryPoint& entry : entries) {
        entry_nodes.push_back(entry.node);
    }
    std::sort(entry_nodes.begin(), entry_nodes.end());
    std::stable_sort(entries.begin(), entries.end(), [](const EntryPoint& a, const EntryPoint& b) {
        return a.distance < b.distance;
    });
    std::size_t first = 0;
    while (first < entries.size() && entries[first].distance == 0) {
        ++first;
    }
    while (first < entries.size() && results.size() < wanted) {
        std::size_t last = first;
        while (last < entries.size() && entries[last].distance == entries[first].distance) {
            ++last;
        }
        take_best(first, last);
        first = last;
    }
    return results;
}

}  // namespace morlatch
