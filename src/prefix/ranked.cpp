#include "prefix/ranked.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <utility>

namespace morlatch {
namespace {

using Cell = std::uint32_t;

// Larger distances are never needed: no key is that long.
constexpr std::uint64_t kDistanceCap = std::uint64_t{1} << 30;

bool holds_keys(const CompactTrie& trie, NodeId node) {
    return !(trie.shortest_below(node) == CompactTrie::kLengthSaturated &&
             trie.longest_below(node) == 0);
}

// The banded rows of one walk. Row i holds, for each j, the distance between
// the path's first i characters and the query's first j; only the cells of
// the band are computed, and the cell just outside each end of the band holds
// `inf` (k + 1) so that the next row reads no stale value.
class Rows {
public:
    Rows(std::u32string_view query, std::uint64_t k, bool transpositions)
        : query_(query),
          m_(query.size()),
          k_(static_cast<Cell>(std::min(k, kDistanceCap))),
          inf_(k_ + 1),
          width_(query.size() + 1),
          transpositions_(transpositions) {
        grow(16);
        const std::size_t hi = std::min<std::size_t>(m_, k_);
        for (std::size_t j = 0; j <= hi; ++j) {
            cells_[j] = static_cast<Cell>(j);
        }
        if (hi < m_) {
            cells_[hi + 1] = inf_;
        }
        mins_[0] = 0;
    }

    Cell inf() const { return inf_; }

    // Computes row `depth` (>= 1); path[0, depth) are the path's characters.
    void compute(std::size_t depth, const char32_t* path) {
        if (depth >= mins_.size()) {
            grow(depth * 2);
        }
        Cell* cur = cells_.data() + depth * width_;
        const Cell* prev = cur - width_;
        const std::size_t lo = depth > k_ ? depth - k_ : 0;
        if (lo > m_) {
            // Every cell is more than k: the path is longer than the query
            // by more than k characters, and so is every longer path.
            mins_[depth] = inf_;
            dead_[depth] = true;
            return;
        }
        dead_[depth] = false;
        const std::size_t hi = std::min<std::size_t>(m_, depth + k_);
        if (lo > 0) {
            cur[lo - 1] = inf_;
        }
        const char32_t c = path[depth - 1];
        const bool swap_possible = transpositions_ && depth >= 2;
        const Cell* two_up = swap_possible ? cur - 2 * width_ : nullptr;
        Cell row_min = inf_;
        for (std::size_t j = lo; j <= hi; ++j) {
            Cell v;
            if (j == 0) {
                v = static_cast<Cell>(depth);
            } else {
                v = prev[j - 1] + (c != query_[j - 1] ? 1 : 0);
                v = std::min(v, prev[j] + 1);
                v = std::min(v, cur[j - 1] + 1);
                if (swap_possible && j >= 2 && c == query_[j - 2] &&
                    path[depth - 2] == query_[j - 1]) {
                    v = std::min(v, two_up[j - 2] + 1);
                }
                v = std::min(v, inf_);
            }
            cur[j] = v;
            row_min = std::min(row_min, v);
        }
        if (hi < m_) {
            cur[hi + 1] = inf_;
        }
        mins_[depth] = row_min;
    }

    // The distance between the path to `depth` and the whole query (inf when
    // more than k).
    Cell last(std::size_t depth) const {
        if (dead_[depth] || depth + k_ < m_) {
            return inf_;
        }
        return cells_[depth * width_ + m_];
    }

    // A lower bound of every cell of every row below `depth`. A row's
    // smallest cell never shrinks from one row to the next, except through a
    // transposition, which reaches back two rows at the cost of one edit.
    Cell floor(std::size_t depth) const {
        if (dead_[depth]) {
            return inf_;
        }
        if (transpositions_ && depth >= 1) {
            return std::min(mins_[depth], mins_[depth - 1] + 1);
        }
        return mins_[depth];
    }

    // The children worth a visit when no cell of row `depth` (the row of
    // `node`) is below `t`: a child's row can then hold a cell <= t only
    // through a match on the diagonal from a cell that holds t, or through
    // a swap from the row above, so only children labelled like the query
    // character there qualify. Appends them to `out` and returns true, or
    // returns false when every child may qualify.
    bool narrow_children(const CompactTrie& trie, NodeId node, std::size_t depth, Cell t,
                         std::vector<NodeId>& out) const {
        if (dead_[depth] || mins_[depth] < t) {
            return false;
        }
        auto add = [&](char32_t ch) {
            if (const std::optional<NodeId> child = trie.child(node, ch)) {
                out.push_back(*child);
            }
        };
        const Cell* row = cells_.data() + depth * width_;
        const std::size_t lo = depth > k_ ? depth - k_ : 0;
        const std::size_t hi = std::min<std::size_t>(m_, depth + k_);
        for (std::size_t j = lo; j <= hi && j < m_; ++j) {
            if (row[j] == t) {
                add(query_[j]);
            }
        }
        if (transpositions_ && depth >= 1 && !dead_[depth - 1] && t >= 1) {
            // A child labelled query[j] after `node` labelled query[j + 1]
            // swaps the pair from cell j of the row above.
            const Cell* above = row - width_;
            const std::size_t above_lo = depth - 1 > k_ ? depth - 1 - k_ : 0;
            const std::size_t above_hi = std::min<std::size_t>(m_, depth - 1 + k_);
            const char32_t label = trie.label(node);
            for (std::size_t j = above_lo; j <= above_hi && j + 1 < m_; ++j) {
                if (above[j] + 1 <= t && query_[j + 1] == label) {
                    add(query_[j]);
                }
            }
        }
        // Children in descending label order, once each.
        std::sort(out.begin(), out.end(), std::greater<>());
        out.erase(std::unique(out.begin(), out.end()), out.end());
        return true;
    }

private:
    void grow(std::size_t rows) {
        cells_.resize(rows * width_);
        mins_.resize(rows);
        dead_.resize(rows);
    }

    std::u32string_view query_;
    std::size_t m_;
    Cell k_;
    Cell inf_;
    std::size_t width_;
    bool transpositions_;
    std::vector<Cell> cells_;
    std::vector<Cell> mins_;
    std::vector<char> dead_;
};

struct Frame {
    NodeId node;
    std::uint32_t depth;
    Cell best;  // completion only: the smallest distance of a beginning above
};

// Every key within k of the whole query, in code-point order. Returns
// whether that was every key of the trie (no key was left out for being too
// far away).
bool collect_within(const CompactTrie& trie, std::u32string_view query, std::uint64_t k,
                    bool transpositions, Interrupt& interrupt, std::vector<Match>& hits) {
    Rows rows(query, k, transpositions);
    const std::uint64_t m = query.size();
    const std::uint64_t kk = std::min(k, kDistanceCap);
    std::u32string path;
    std::vector<Frame> stack;
    std::vector<NodeId> narrow;
    bool left_out = false;
    // Children whose keys are all too short or too long stay out.
    auto push_child = [&](NodeId c, std::uint32_t depth) {
        const std::uint64_t child_depth = depth + 1;
        {
            const std::uint8_t shortest = trie.shortest_below(c);
            const std::uint8_t longest = trie.longest_below(c);
            if (!holds_keys(trie, c)) {
                return;
            }
            if (child_depth + shortest > m + kk ||
                (longest != CompactTrie::kLengthSaturated && child_depth + longest + kk < m)) {
                left_out = true;
                return;
            }
            stack.push_back(Frame{c, depth + 1, 0});
        }
    };
    auto push_children = [&](NodeId node, std::uint32_t depth) {
        narrow.clear();
        if (rows.narrow_children(trie, node, depth, static_cast<Cell>(kk), narrow)) {
            if (narrow.size() < trie.end_child(node) - trie.first_child(node)) {
                left_out = true;
            }
            for (const NodeId c : narrow) {
                push_child(c, depth);
            }
            return;
        }
        for (NodeId c = trie.end_child(node); c-- > trie.first_child(node);) {
            push_child(c, depth);
        }
    };
    push_children(CompactTrie::kRoot, 0);
    while (!stack.empty()) {
        interrupt.tick();
        const Frame frame = stack.back();
        stack.pop_back();
        path.resize(frame.depth - 1);
        path.push_back(trie.label(frame.node));
        rows.compute(frame.depth, path.data());
        if (trie.is_key(frame.node)) {
            const Cell distance = rows.last(frame.depth);
            if (distance <= kk) {
                hits.push_back(Match{path, trie.payload(frame.node), distance});
            } else {
                left_out = true;
            }
        }
        if (rows.floor(frame.depth) <= kk) {
            push_children(frame.node, frame.depth);
        } else if (trie.first_child(frame.node) != trie.end_child(frame.node)) {
            left_out = true;
        }
    }
    return !left_out;
}

void rank(std::vector<Match>& hits, std::optional<std::uint64_t> limit) {
    // The hits come in key order; a stable sort by distance keeps it.
    std::stable_sort(hits.begin(), hits.end(),
                     [](const Match& a, const Match& b) { return a.distance < b.distance; });
    if (limit && hits.size() > *limit) {
        hits.resize(static_cast<std::size_t>(*limit));
    }
}

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
        matches.push_back(Match{std::u32string(found.key(*hit)), hit->payload, hit->distance});
    }
    return matches;
}

}  // namespace

std::vector<Match> ranked_search(const CompactTrie& trie, std::u32string_view query,
                                 const RankedOptions& options, Interrupt& interrupt) {
    std::vector<Match> hits;
    if (options.limit && *options.limit == 0) {
        return hits;
    }
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);
    if (!options.transpositions) {
        // The trie's own (faster) search finds the keys; they are ranked
        // here. With a limit, distance by distance as below; no key is
        // farther from the query than the longer of the two.
        const std::uint64_t m = query.size();
        const std::uint8_t longest = trie.longest_below(CompactTrie::kRoot);
        const bool bounded = longest != CompactTrie::kLengthSaturated;
        for (std::uint64_t d = options.limit ? 0 : k;; ++d) {
            if (d > m + CompactTrie::kLengthSaturated) {
                d = k;
            }
            const HitList found = trie.search(query, d, std::nullopt, interrupt);
            if (d >= k || found.hits.size() >= *options.limit ||
                (bounded && d >= std::max<std::uint64_t>(m, longest))) {
                return rank(found, options.limit);
            }
        }
    }
    if (!options.limit) {
        collect_within(trie, query, k, options.transpositions, interrupt, hits);
    } else {
        // A walk within d costs a fraction of one within d + 1, so looking
        // at growing distances costs little more than the last walk alone.
        for (std::uint64_t d = 0; d <= k; ++d) {
            hits.clear();
            const bool all_keys =
                collect_within(trie, query, d, options.transpositions, interrupt, hits);
            if (all_keys || hits.size() >= *options.limit) {
                break;
            }
        }
    }
    rank(hits, options.limit);
    return hits;
}

std::vector<Match> complete(const CompactTrie& trie, std::u32string_view prefix,
                            const RankedOptions& options, Interrupt& interrupt) {
    std::vector<Match> results;
    if (options.limit && *options.limit == 0) {
        return results;
    }
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);
    const std::uint64_t m = prefix.size();

    // 1. Entry points: the nodes whose path is closer to the prefix than any
    // shorter path above them. A key's distance is the one of the deepest
    // entry point on its path.
    struct EntryPoint {
        NodeId node;
        std::uint32_t depth;
        Cell distance;
        std::uint32_t path_offset;  // its path is paths[offset, offset + depth)
    };
    std::vector<EntryPoint> entries;
    std::u32string paths;
    {
        Rows rows(prefix, k, options.transpositions);
        std::u32string path;
        std::vector<Frame> stack;
        std::vector<NodeId> narrow;
        // Below a node, only a beginning closer than `best` matters.
        auto push_children = [&](NodeId node, std::uint32_t depth, Cell best) {
            narrow.clear();
            if (rows.narrow_children(trie, node, depth, best - 1, narrow)) {
                for (const NodeId c : narrow) {
                    if (holds_keys(trie, c)) {
                        stack.push_back(Frame{c, depth + 1, best});
                    }
                }
                return;
            }
            for (NodeId c = trie.end_child(node); c-- > trie.first_child(node);) {
                if (holds_keys(trie, c)) {
                    stack.push_back(Frame{c, depth + 1, best});
                }
            }
        };
        Cell best = rows.inf();
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
            path.push_back(trie.label(frame.node));
            rows.compute(frame.depth, path.data());
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
    std::vector<NodeId> entry_nodes;
    entry_nodes.reserve(entries.size());
    for (const EntryPoint& entry : entries) {
        entry_nodes.push_back(entry.node);
    }
    std::sort(entry_nodes.begin(), entry_nodes.end());
    std::stable_sort(entries.begin(), entries.end(), [](const EntryPoint& a, const EntryPoint& b) {
        return a.distance < b.distance;
    });

    // 2. Distance by distance, the keys below the entry points of that
    // distance (but not below a closer entry point), best first. Node ids
    // run in level order with siblings by code point, so (length, id) is
    // (length, key); (depth + shortest key length below, id) never exceeds
    // the rank of any key below a node, which makes the first keys taken
    // from the heap the best ones.
    struct Visit {
        std::uint32_t bound;
        NodeId node;
        std::uint32_t depth;
        std::uint32_t step;  // into `steps`
    };
    struct Step {
        NodeId node;
        std::uint32_t parent;  // into `steps`, or kNone for an entry point
        std::uint32_t entry;   // into `entries`, for an entry point
    };
    constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    auto later = [](const Visit& a, const Visit& b) {
        return a.bound != b.bound ? a.bound > b.bound : a.node > b.node;
    };
    std::vector<Visit> heap;
    std::vector<Step> steps;
    std::u32string tail;
    const std::uint64_t wanted = options.limit.value_or(UINT64_MAX);
    std::size_t next_entry = 0;
    while (next_entry < entries.size() && results.size() < wanted) {
        const Cell distance = entries[next_entry].distance;
        heap.clear();
        steps.clear();
        for (; next_entry < entries.size() && entries[next_entry].distance == distance;
             ++next_entry) {
            const EntryPoint& entry = entries[next_entry];
            steps.push_back(Step{entry.node, kNone, static_cast<std::uint32_t>(next_entry)});
            heap.push_back(Visit{entry.depth + trie.shortest_below(entry.node), entry.node,
                                 entry.depth, static_cast<std::uint32_t>(steps.size() - 1)});
            std::push_heap(heap.begin(), heap.end(), later);
        }
        while (!heap.empty() && results.size() < wanted) {
            interrupt.tick();
            std::pop_heap(heap.begin(), heap.end(), later);
            const Visit visit = heap.back();
            heap.pop_back();
            if (trie.is_key(visit.node) && visit.node != CompactTrie::kRoot) {
                tail.clear();
                std::uint32_t at = visit.step;
                while (steps[at].parent != kNone) {
                    tail.push_back(trie.label(steps[at].node));
                    at = steps[at].parent;
                }
                const EntryPoint& entry = entries[steps[at].entry];
                std::u32string key(paths, entry.path_offset, entry.depth);
                key.append(tail.rbegin(), tail.rend());
                results.push_back(Match{std::move(key), trie.payload(visit.node), distance});
            }
            for (NodeId c = trie.first_child(visit.node); c < trie.end_child(visit.node); ++c) {
                if (!holds_keys(trie, c) ||
                    std::binary_search(entry_nodes.begin(), entry_nodes.end(), c)) {
                    continue;
                }
                steps.push_back(Step{c, visit.step, 0});
                heap.push_back(Visit{visit.depth + 1 + trie.shortest_below(c), c, visit.depth + 1,
                                     static_cast<std::uint32_t>(steps.size() - 1)});
                std::push_heap(heap.begin(), heap.end(), later);
            }
        }
    }
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
            if (holds_keys(trie_, c)) {
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

}  // namespace morlatch
