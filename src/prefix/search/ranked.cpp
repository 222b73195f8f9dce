#include "prefix/search/ranked.hpp"

#include "prefix/search/band.hpp"
#include "prefix/search/descent.hpp"
#include "prefix/search/reach.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace morlatch {
namespace {

using Cell = std::uint32_t;

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

// A hit is a node closer to the prefix than every node above it; below a
// node, only a closer beginning matters, so its children are entered while
// the row's floor is below the closest above, and only those the narrowing
// rule (reach.hpp) leaves for that bound. Children come in label order.
template <Metric M>
class EntryWalk {
public:
    struct Frame {
        // The children to take: the narrowed list of their level, or the
        // ids [next, end).
        std::uint32_t next;
        std::uint32_t end;
        bool listed;
    };

    EntryWalk(const CompactTrie& trie, std::u32string_view prefix, std::uint32_t k,
              std::vector<EntryPoint>& entries, std::u32string& paths)
        : trie_(trie), k_(k), rows_(prefix, k, Budget{k, k, 0}), entries_(entries), paths_(paths) {}

    void run(std::size_t m, Interrupt& interrupt) {
        rows_.start();
        Cell best = rows_.infinity();
        if (m <= k_) {
            best = static_cast<Cell>(m);
            entries_.push_back(EntryPoint{CompactTrie::kRoot, 0, best, 0});
        }
        if (rows_.floor(0) < best) {
            open(CompactTrie::kRoot, 0, best);
        }
        descent_.run(*this, rows_, interrupt);
    }

    Next next(Frame& frame, std::size_t depth, NodeId& node, char32_t& label) const {
        if (frame.next == frame.end) {
            return Next::done;
        }
        node = frame.listed ? lists_[depth - 1][frame.next] : frame.next;
        ++frame.next;
        if (!trie_.holds_keys(node)) {
            return Next::skip;
        }
        label = trie_.label(node);
        return Next::visit;
    }

    bool visit(NodeId node, std::size_t depth, bool) {
        Cell best = frame_best_[depth - 1];
        const Cell distance = rows_.last(depth);
        if (distance < best) {
            entries_.push_back(EntryPoint{node, static_cast<std::uint32_t>(depth), distance,
                                          static_cast<std::uint32_t>(paths_.size())});
            paths_ += descent_.path();
            best = distance;
        }
        const Cell floor = rows_.floor(depth);
        if (floor < best && floor <= k_) {
            open(node, depth, best);
        }
        return true;
    }

private:
    // Opens the children of `node` (at `depth`) that may hold a beginning
    // closer than `best`.
    void open(NodeId node, std::size_t depth, Cell best) {
        if (lists_.size() <= depth) {
            lists_.resize(depth + 1);
            frame_best_.resize(depth + 1);
        }
        frame_best_[depth] = best;
        std::vector<NodeId>& list = lists_[depth];
        list.clear();
        const bool narrowed = rows_.narrow(depth, best - 1, [&](char32_t ch) {
            if (const std::optional<NodeId> child = trie_.child(node, ch)) {
                list.push_back(*child);
            }
        });
        if (narrowed) {
            std::sort(list.begin(), list.end());
            list.erase(std::unique(list.begin(), list.end()), list.end());
            descent_.open(Frame{0, static_cast<std::uint32_t>(list.size()), true});
        } else {
            descent_.open(Frame{trie_.first_child(node), trie_.end_child(node), false});
        }
    }

    const CompactTrie& trie_;
    std::uint32_t k_;
    BandRows<M> rows_;
    std::vector<EntryPoint>& entries_;
    std::u32string& paths_;
    Descent<Frame> descent_;
    std::vector<std::vector<NodeId>> lists_;  // by depth of the parent
    std::vector<Cell> frame_best_;            // likewise: the closest beginning above
};

template <Metric M>
void entry_points(const CompactTrie& trie, std::u32string_view prefix, std::uint32_t k,
                  Interrupt& interrupt, std::vector<EntryPoint>& entries, std::u32string& paths) {
    EntryWalk<M> walk(trie, prefix, k, entries, paths);
    walk.run(prefix.size(), interrupt);
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
