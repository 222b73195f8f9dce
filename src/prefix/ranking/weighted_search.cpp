// Ranked search and completion by weight.
#include <algorithm>
#include <cstddef>
#include <utility>

#include "prefix/ranking/weighted.hpp"
#include "prefix/search/reach.hpp"

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

namespace {

// Best first below the entry points of one distance at a time: a node is
// expanded in the order of the largest weight below it, and a key is taken
// once no node left can hold a better one. Ties go to the smaller key: the
// depth-first rank of a node orders its path like the keys, and a node is
// expanded before a key of the same weight and rank is taken.
class WeightedCompletion {
public:
    WeightedCompletion(const CompactTrie& trie, const WeightTable& table, std::uint64_t wanted,
                       Interrupt& interrupt)
        : trie_(trie), table_(table), wanted_(wanted), interrupt_(interrupt) {}

    bool done() const noexcept { return results_.size() >= wanted_; }
    std::vector<Match> take() noexcept { return std::move(results_); }

    // The completions of the prefix itself (distance 0), often enough on
    // their own.
    void exact(std::u32string_view prefix) {
        const std::optional<NodeId> node = trie_.find(prefix);
        if (node && trie_.holds_keys(*node)) {
            entries_.push_back(
                completion::EntryPoint{*node, static_cast<std::uint32_t>(prefix.size()), 0, 0});
            paths_.assign(prefix);
            take_best(0, 1);
        }
    }

    // Then the entry points of every distance up to k (the exact one among
    // them, done), distance by distance: the nodes whose path is closer to
    // the prefix than any shorter path above them. A key's distance is the
    // one of the deepest entry point on its path.
    void within(std::u32string_view prefix, std::uint64_t k, bool transpositions) {
        entries_.clear();
        paths_.clear();
        completion::find_entry_points(trie_, prefix, static_cast<std::uint32_t>(k), transpositions,
                                      interrupt_, entries_, paths_);
        for (const completion::EntryPoint& entry : entries_) {
            entry_nodes_.push_back(entry.node);
        }
        std::sort(entry_nodes_.begin(), entry_nodes_.end());
        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const completion::EntryPoint& a, const completion::EntryPoint& b) {
                             return a.distance < b.distance;
                         });
        std::size_t first = 0;
        while (first < entries_.size() && entries_[first].distance == 0) {
            ++first;
        }
        while (first < entries_.size() && !done()) {
            std::size_t last = first;
            while (last < entries_.size() && entries_[last].distance == entries_[first].distance) {
                ++last;
            }
            take_best(first, last);
            first = last;
        }
    }

private:
    struct Visit {
        Weight bound;
        std::uint32_t rank;
        std::uint8_t take;  // 0: expand the node, 1: take its key
        NodeId node;
        std::uint32_t step;
    };
    static bool worse(const Visit& a, const Visit& b) {
        if (a.bound != b.bound) {
            return a.bound < b.bound;
        }
        return a.rank != b.rank ? a.rank > b.rank : a.take > b.take;
    }
    void push(Visit visit) {
        heap_.push_back(visit);
        std::push_heap(heap_.begin(), heap_.end(), worse);
    }
    // Expands `node` of steps_[step] (of rank `rank`): its key to be taken
    // at its own weight, its children by the heaviest below them.
    void expand(NodeId node, std::uint32_t rank, std::uint32_t step) {
        if (trie_.is_key(node) && node != CompactTrie::kRoot) {
            push(Visit{table_.weight(node), rank, 1, node, step});
        }
        for (NodeId c = trie_.first_child(node); c < trie_.end_child(node); ++c) {
            if (!trie_.holds_keys(c) ||
                std::binary_search(entry_nodes_.begin(), entry_nodes_.end(), c)) {
                continue;
            }
            steps_.push_back(completion::Step{c, step, 0});
            push(Visit{table_.best_below(c), table_.order(c), 0, c,
                       static_cast<std::uint32_t>(steps_.size() - 1)});
        }
    }
    // The best keys below the entry points [first, last).
    void take_best(std::size_t first, std::size_t last) {
        heap_.clear();
        steps_.clear();
        for (std::size_t e = first; e < last; ++e) {
            const NodeId node = entries_[e].node;
            steps_.push_back(
                completion::Step{node, completion::kNoParent, static_cast<std::uint32_t>(e)});
            push(Visit{table_.best_below(node), table_.order(node), 0, node,
                       static_cast<std::uint32_t>(steps_.size() - 1)});
        }
        while (!heap_.empty() && !done()) {
            interrupt_.tick();
            std::pop_heap(heap_.begin(), heap_.end(), worse);
            const Visit visit = heap_.back();
            heap_.pop_back();
            if (!visit.take) {
                expand(visit.node, visit.rank, visit.step);
                continue;
            }
            completion::Reached reached =
                completion::key_at(trie_, steps_, entries_, paths_, visit.step, tail_);
            results_.push_back(
                Match{std::move(reached.key), trie_.payload(visit.node), reached.entry.distance});
        }
    }

    const CompactTrie& trie_;
    const WeightTable& table_;
    std::uint64_t wanted_;
    Interrupt& interrupt_;
    std::vector<Match> results_;
    std::vector<completion::EntryPoint> entries_;
    std::vector<NodeId> entry_nodes_;  // sorted, once known
    std::u32string paths_;
    std::vector<Visit> heap_;
    std::vector<completion::Step> steps_;
    std::u32string tail_;
};

}  // namespace

std::vector<Match> weighted_complete(const CompactTrie& trie, const WeightTable& table,
                                     std::u32string_view prefix, const RankedOptions& options,
                                     Interrupt& interrupt) {
    const std::uint64_t wanted = options.limit.value_or(UINT64_MAX);
    if (wanted == 0) {
        return {};
    }
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);
    WeightedCompletion completion(trie, table, wanted, interrupt);
    completion.exact(prefix);
    if (k != 0 && !completion.done()) {
        completion.within(prefix, k, options.transpositions);
    }
    return completion.take();
}

}  // namespace morlatch
