#include "prefix/ranked.hpp"

#include "prefix/band.hpp"
#include "prefix/reach.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <utility>

namespace morlatch {
namespace {

using Cell = std::uint32_t;

// The children of `node` (row `depth`) that the narrowing rule (reach.hpp)
// leaves for a bound `t`, in descending label order, once each; false when
// every child may qualify.
template <Metric M>
bool narrow_children(const BandRows<M>& rows, const CompactTrie& trie, NodeId node,
                     std::size_t depth, Cell t, std::vector<NodeId>& out) {
    const bool narrowed = rows.narrow(depth, t, [&](char32_t ch) {
        if (const std::optional<NodeId> child = trie.child(node, ch)) {
            out.push_back(*child);
        }
    });
    if (!narrowed) {
        return false;
    }
    std::sort(out.begin(), out.end(), std::greater<>());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return true;
}

struct Frame {
    NodeId node;
    std::uint32_t depth;
    Cell best;  // the smallest distance of a beginning above
};

// The hits ranked by (distance, key), the best `limit` of them.
std::vector<Match> rank(const HitList& found, std::optional<std::uint64_t> limit) {
    std::vector<const HitList::Hit*> order;
    order.reserve(found.hits.size());
    for (const HitList::Hit& hit : found.hits) {
        order.push_back(&hit);
    }
    auto better = [&found](const HitList::Hit* a, const HitList::Hit* b) {
        return a->distance != b->distance ? a->distance < b->distance
                                          : found.key(*a) < found.key(*b);
    };
    if (limit && *limit < order.size()) {
        const auto end = order.begin() + static_cast<std::ptrdiff_t>(*limit);
        std::partial_sort(order.begin(), end, order.end(), better);
        order.erase(end, order.end());
    } else {
        std::sort(order.begin(), order.end(), better);
    }
    std::vector<Match> matches;
    matches.reserve(order.size());
    for (const HitList::Hit* hit : order) {
        matches.push_back(found.match(*hit));
    }
    return matches;
}

}  // namespace

std::vector<Match> ranked_search(const CompactTrie& trie, std::u32string_view query,
                                 const RankedOptions& options, Interrupt& interrupt) {
    if (options.limit && *options.limit == 0) {
        return {};
    }
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);
    // The trie's own search finds the keys; they are ranked here. With a
    // limit, distance by distance: a search within d costs a fraction of one
    // within d + 1, so looking at growing distances costs little more than
    // the last search alone. No key is farther from the query than the
    // longer of the two.
    const std::uint64_t m = query.size();
    const std::uint8_t longest = trie.longest_below(CompactTrie::kRoot);
    const bool bounded = longest != CompactTrie::kLengthSaturated;
    for (std::uint64_t d = options.limit ? 0 : k;; ++d) {
        if (d > m + CompactTrie::kLengthSaturated) {
            d = k;
        }
        const HitList found =
            trie.search(query, d, std::nullopt, interrupt, options.transpositions);
        if (d >= k || found.hits.size() >= *options.limit ||
            (bounded && d >= std::max<std::uint64_t>(m, longest))) {
            return rank(found, options.limit);
        }
    }
}

namespace {

// Completion, step 1: the entry points, the nodes whose path is closer to
// the prefix than any shorter path above them.
using completion::EntryPoint;

template <Metric M>
void entry_points(const CompactTrie& trie, std::u32string_view prefix, std::uint32_t k,
                  Interrupt& interrupt, std::vector<EntryPoint>& entries, std::u32string& paths) {
    BandRows<M> rows(prefix, k, Budget{k, k, 0});
    std::u32string path;
    std::vector<Frame> stack;
    std::vector<NodeId> narrow;
    // Below a node, only a beginning closer than `best` matters.
    auto push_children = [&](NodeId node, std::uint32_t depth, Cell best) {
        narrow.clear();
        if (narrow_children(rows, trie, node, depth, best - 1, narrow)) {
            for (const NodeId c : narrow) {
                if (trie.holds_keys(c)) {
                    stack.push_back(Frame{c, depth + 1, best});
                }
            }
            return;
        }
        for (NodeId c = trie.end_child(node); c-- > trie.first_child(node);) {
            if (trie.holds_keys(c)) {
                stack.push_back(Frame{c, depth + 1, best});
            }
        }
    };
    const std::uint64_t m = prefix.size();
    rows.start();
    Cell best = rows.infinity();
    if (m <= k) {
        best = static_cast<Cell>(m);
        entries.push_back(EntryPoint{CompactTrie::kRoot, 0, best, 0});
    }
    if (rows.floor(0) < best) {
        push_children(CompactTrie::kRoot, 0, best);
    }
    while (!stack.empty()) {
        interrupt.tick();
        Frame frame = stack.back();
        stack.pop_back();
        path.resize(frame.depth - 1);
        const char32_t parent = path.empty() ? 0 : path.back();
        path.push_back(trie.label(frame.node));
        rows.step(frame.depth, path.back(), parent);
        const Cell distance = rows.last(frame.depth);
        if (distance < frame.best) {
            entries.push_back(EntryPoint{frame.node, frame.depth, distance,
                                         static_cast<std::uint32_t>(paths.size())});
            paths += path;
            frame.best = distance;
        }
        // Below here, only a closer beginning would matter.
        const Cell floor = rows.floor(frame.depth);
        if (floor < frame.best && floor <= k) {
            push_children(frame.node, frame.depth, frame.best);
        }
    }
}

}  // namespace

void completion::find_entry_points(const CompactTrie& trie, std::u32string_view prefix,
                                   std::uint32_t k, bool transpositions, Interrupt& interrupt,
                                   std::vector<EntryPoint>& entries, std::u32string& paths) {
    if (transpositions) {
        entry_points<Metric::osa>(trie, prefix, k, interrupt, entries, paths);
    } else {
        entry_points<Metric::levenshtein>(trie, prefix, k, interrupt, entries, paths);
    }
}

namespace {

// Completion, step 2: distance by distance, the keys below the entry points
// of that distance (but not below a closer entry point), best first, until
// `wanted`. Node ids run in level order with siblings by code point, so
// (length, id) is (length, key); (depth + shortest key length below, id)
// never exceeds the rank of any key below a node, which makes the first keys
// taken from the heap the best ones. `entries` are sorted by distance,
// `entry_nodes` by id.
void take_completions(const CompactTrie& trie, const std::vector<EntryPoint>& entries,
                      const std::vector<NodeId>& entry_nodes, const std::u32string& paths,
                      std::uint64_t wanted, Interrupt& interrupt, std::vector<Match>& results) {
    struct Visit {
        std::uint32_t bound;
        NodeId node;
        std::uint32_t depth;
        std::uint32_t step;  // into `steps`
    };
    using completion::Step;
    auto later = [](const Visit& a, const Visit& b) {
        return a.bound != b.bound ? a.bound > b.bound : a.node > b.node;
    };
    std::vector<Visit> heap;
    std::vector<Step> steps;
    std::u32string tail;
    const auto push = [&](NodeId node, std::uint32_t depth, Step step) {
        steps.push_back(step);
        heap.push_back(Visit{depth + trie.shortest_below(node), node, depth,
                             static_cast<std::uint32_t>(steps.size() - 1)});
        std::push_heap(heap.begin(), heap.end(), later);
    };
    std::size_t next_entry = 0;
    while (next_entry < entries.size() && results.size() < wanted) {
        const Cell distance = entries[next_entry].distance;
        heap.clear();
        steps.clear();
        for (; next_entry < entries.size() && entries[next_entry].distance == distance;
             ++next_entry) {
            const EntryPoint& entry = entries[next_entry];
            push(entry.node, entry.depth,
                 Step{entry.node, completion::kNoParent, static_cast<std::uint32_t>(next_entry)});
        }
        while (!heap.empty() && results.size() < wanted) {
            interrupt.tick();
            std::pop_heap(heap.begin(), heap.end(), later);
            const Visit visit = heap.back();
            heap.pop_back();
            if (trie.is_key(visit.node) && visit.node != CompactTrie::kRoot) {
                results.push_back(
                    Match{completion::key_at(trie, steps, entries, paths, visit.step, tail).key,
                          trie.payload(visit.node), distance});
            }
            for (NodeId c = trie.first_child(visit.node); c < trie.end_child(visit.node); ++c) {
                if (trie.holds_keys(c) &&
                    !std::binary_search(entry_nodes.begin(), entry_nodes.end(), c)) {
                    push(c, visit.depth + 1, Step{c, visit.step, 0});
                }
            }
        }
    }
}

}  // namespace

std::vector<Match> complete(const CompactTrie& trie, std::u32string_view prefix,
                            const RankedOptions& options, Interrupt& interrupt) {
    std::vector<Match> results;
    if (options.limit && *options.limit == 0) {
        return results;
    }
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);

    // 1. Entry points. A key's distance is the one of the deepest entry
    // point on its path.
    std::vector<EntryPoint> entries;
    std::u32string paths;
    completion::find_entry_points(trie, prefix, static_cast<std::uint32_t>(k),
                                  options.transpositions, interrupt, entries, paths);
    std::vector<NodeId> entry_nodes;
    entry_nodes.reserve(entries.size());
    for (const EntryPoint& entry : entries) {
        entry_nodes.push_back(entry.node);
    }
    std::sort(entry_nodes.begin(), entry_nodes.end());
    std::stable_sort(entries.begin(), entries.end(), [](const EntryPoint& a, const EntryPoint& b) {
        return a.distance < b.distance;
    });
    // 2. The keys below them.
    take_completions(trie, entries, entry_nodes, paths, options.limit.value_or(UINT64_MAX),
                     interrupt, results);
    return results;
}

KeyCursor::KeyCursor(const CompactTrie& trie, std::u32string_view prefix) : trie_(trie) {
    if (const std::optional<NodeId> start = trie.find(prefix)) {
        path_ = prefix;
        base_ = static_cast<std::uint32_t>(prefix.size());
        stack_.push_back(Frame{*start, base_});
    }
}

bool KeyCursor::next(std::u32string& key, Payload& payload) {
    while (!stack_.empty()) {
        const Frame frame = stack_.back();
        stack_.pop_back();
        if (frame.depth > base_) {
            path_.resize(frame.depth - 1);
            path_.push_back(trie_.label(frame.node));
        } else {
            path_.resize(base_);
        }
        for (NodeId c = trie_.end_child(frame.node); c-- > trie_.first_child(frame.node);) {
            if (trie_.holds_keys(c)) {
                stack_.push_back(Frame{c, frame.depth + 1});
            }
        }
        if (trie_.is_key(frame.node) && frame.node != CompactTrie::kRoot) {
            key = path_;
            payload = trie_.payload(frame.node);
            return true;
        }
    }
    return false;
}

completion::Reached completion::key_at(const CompactTrie& trie, const std::vector<Step>& steps,
                                       const std::vector<EntryPoint>& entries,
                                       const std::u32string& paths, std::uint32_t step,
                                       std::u32string& tail) {
    tail.clear();
    std::uint32_t at = step;
    while (steps[at].parent != kNoParent) {
        tail.push_back(trie.label(steps[at].node));
        at = steps[at].parent;
    }
    const EntryPoint& entry = entries[steps[at].entry];
    std::u32string key(paths, entry.path_offset, entry.depth);
    key.append(tail.rbegin(), tail.rend());
    return Reached{std::move(key), entry};
}

}  // namespace morlatch
