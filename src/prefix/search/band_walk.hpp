// The depth-first banded walk of the layout's search (search.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/search/band.hpp"
#include "prefix/search/descent.hpp"
#include "prefix/search/letters.hpp"
#include "prefix/search/reach.hpp"

namespace morlatch {

// A bound on some value of the keys (a weight, say) by node: `below[n]` is at
// least the value of every key below node n. A walk bounded by it skips the
// subtrees whose keys all fall short of `floor`.
struct ValueBound {
    const std::uint64_t* below = nullptr;
    std::uint64_t floor = 0;
};

// The depth-first banded walk over nodes laid out as in CompactTrie, with
// exactly the plain walk's order. on_hit(node, distance, path) is called in
// walk order (the child that continues the query first, then the others in
// label order) and returns false to stop the walk.
//
// A child's row is its parent's stepped by the child's label, and a label
// matches the query at a few positions of the parent's window at most. A
// node first steps a row for a label that matches nothing: when that row is
// dead, a child can be alive (or a hit) only through a match, on the
// diagonal from a parent cell within k (or a swap, which lands no lower than
// such a cell: it comes from the row above, whose cell at the swapped
// character's position is at most one more). So only children labelled like
// the query where the parent's cells are within k are worth a row; the node
// looks those few labels up instead of stepping every child. The children
// left out would have died on their first row without a hit, so the hits and
// their order stay the same.
template <Metric M>
class BandWalk {
public:
    BandWalk(const NodeView& nodes, std::u32string_view query, std::uint32_t k, Budget budget,
             Interrupt& interrupt)
        : nodes_(nodes), query_(query), k_(k), rows_(query, k, budget), interrupt_(&interrupt) {
        rank_query();
    }
    // Sets the walk up for another query and trie as the constructor does,
    // keeping its rows', stacks' and lists' memory.
    void reset(const NodeView& nodes, std::u32string_view query, std::uint32_t k, Budget budget,
               Interrupt& interrupt) {
        nodes_ = nodes;
        query_ = query;
        k_ = k;
        rows_.reset(query, k, budget);
        interrupt_ = &interrupt;
        below_ = nullptr;
        valued_ = {};
        rank_query();
    }
    // Skips, before its row, a child none of whose keys can be within k by
    // the letters below it (letters.hpp): `below` is the walk's layout's
    // table, or null to skip none. Until the next reset.
    void bound_by(const std::uint64_t* below) {
        below_ = nullptr;
        if (below == nullptr || nodes_.labels != nullptr || k_ > kMostBounded) {
            return;
        }
        letters_.reset(ranks_);
        if (letters_.usable()) {
            below_ = below;
        }
    }

    // Skips, before its row, a child whose keys all fall short of
    // `bound`'s floor (a null bound skips none). Until the next reset.
    void bound_by(const ValueBound& bound) { valued_ = bound; }

    template <class OnHit>
    void run(OnHit&& on_hit);

private:
    // The children to take: the ids [next, end), the promoted one first; or,
    // when `listed`, those at lists_[next, end), already in walk order.
    // lists_[0, lists_end) holds the lists of this frame and those below.
    struct Frame {
        NodeId next;
        NodeId end;
        NodeId promoted;
        std::uint32_t lists_end;
        bool promoted_pending;
        bool listed;
        std::uint32_t last_within;  // of the parent's row, kUnread until read
    };
    // The letter bound holds up to this many edits (a byte per count).
    static constexpr std::uint32_t kMostBounded = 3;
    static constexpr std::uint32_t kNoPosition = 0xFF;
    static constexpr std::uint32_t kUnread = 0xFFFFFFFFu;
    // Nodes with fewer children step every child: looking labels up costs
    // about as much as a few rows.
    static constexpr NodeId kNarrowFrom = 3;
    static constexpr NodeId kScanUpTo = 8;
    static constexpr char32_t kNoLabel = 0xFFFFFFFEu;
    template <class OnHit>
    struct Policy;

    // Inlined: the walk calls it for every node with children.
    // `node`'s children are [first, end), end > first.
    [[gnu::always_inline]] inline void open(NodeId node, std::size_t depth, NodeId first,
                                            NodeId end);
    // Opens only the children that a match can keep alive, when a row
    // without one dies.
    bool open_narrowed(NodeId node, std::size_t depth, NodeId first, NodeId end);
    // Narrow layouts: each query character's rank.
    void rank_query() {
        ranks_.clear();
        if (nodes_.labels == nullptr) {
            for (const char32_t ch : query_) {
                ranks_.push_back(nodes_.rank_of(ch));
            }
        }
    }
    // The child of `node` (its children [first, end)) labelled like query
    // position `depth`, or kNoNode. A narrow layout's children are in rank
    // order, and a few of them are scanned faster than searched.
    NodeId next_child(NodeId node, NodeId first, NodeId end, std::size_t depth) const noexcept {
        if (nodes_.labels != nullptr || end - first > kScanUpTo) {
            return nodes_.child(node, query_[depth]);
        }
        const std::uint32_t wanted = ranks_[depth];
        for (NodeId c = first; c < end; ++c) {
            const std::uint32_t r = records::rank(nodes_.record(c));
            if (r >= wanted) {
                return r == wanted && wanted != 0 ? c : CompactTrie::kNoNode;
            }
        }
        return CompactTrie::kNoNode;
    }
    // Whether no key below `node` (at `depth`, a child of `frame`'s node)
    // can be within k, by the letters below it and its parent's row: a key
    // needs a position i whose cell leaves s edits, with at most s of the
    // query's characters from i on missing below. The frame keeps what the
    // row says (BandRows::last_within), read for its first child that
    // misses a letter.
    [[gnu::always_inline]] bool hopeless(NodeId node, std::size_t depth,
                                         Frame& frame) const noexcept {
        const std::uint64_t missing = letters_.missing(below_[node]);
        if (missing == 0) {
            return false;
        }
        if (frame.last_within == kUnread) {
            frame.last_within = rows_.last_within(depth - 1);
        }
        const std::uint32_t last = frame.last_within;
        for (std::uint32_t s = 0; s <= k_; ++s) {
            const std::uint32_t i = (last >> (8 * s)) & 0xFFu;
            if (i == kNoPosition) {
                return true;  // no cell leaves s edits, nor more
            }
            std::uint64_t after = missing >> i;
            for (std::uint32_t dropped = 0; dropped < s; ++dropped) {
                after &= after - 1;
            }
            if (after == 0) {
                return false;
            }
        }
        return true;
    }
    // Where the open frames' lists end.
    std::uint32_t lists_end() const noexcept {
        const Frame* top = descent_.top();
        return top == nullptr ? 0 : top->lists_end;
    }

    NodeView nodes_;
    std::u32string_view query_;
    std::uint32_t k_ = 0;
    BandRows<M> rows_;
    Interrupt* interrupt_ = nullptr;
    Descent<Frame> descent_;
    // The narrowed child lists of the open frames, one after the other.
    std::vector<NodeId> lists_;
    // Narrow layouts: each query character's rank (0 when no key has it).
    std::vector<std::uint32_t> ranks_;
    // The letters below each node (bound_by), or null; the query's letters.
    const std::uint64_t* below_ = nullptr;
    QueryLetters letters_;
    ValueBound valued_;
};

template <Metric M>
void BandWalk<M>::open(NodeId node, std::size_t depth, NodeId first, NodeId end) {
    // The children stand at depth + 1 and spell query position `depth`.
    if (end - first >= kNarrowFrom && open_narrowed(node, depth, first, end)) {
        return;
    }
    NodeId promoted = CompactTrie::kNoNode;
    if (depth < query_.size() && first < end) {
        promoted = next_child(node, first, end, depth);
    }
    descent_.open(
        Frame{first, end, promoted, lists_end(), promoted != CompactTrie::kNoNode, false, kUnread});
}

template <Metric M>
bool BandWalk<M>::open_narrowed(NodeId node, std::size_t depth, NodeId first, NodeId end) {
    // A label past every code point matches no query character. The row is
    // the children's, which each overwrite it.
    const char32_t parent = depth == 0 ? 0 : descent_.path().back();
    if (rows_.step(depth + 1, kNoLabel, parent)) {
        return false;
    }
    // The frames below keep their lists; this one's goes after theirs.
    const std::size_t start = lists_end();
    lists_.resize(start);
    NodeId promoted = CompactTrie::kNoNode;
    if (nodes_.labels == nullptr) {
        // Narrow layouts: the wanted labels as a set of ranks, and one pass
        // over the children (in label order already).
        std::uint64_t wanted[4] = {0, 0, 0, 0};
        std::uint32_t highest = 0;
        rows_.for_each_within(depth, k_, [&](std::size_t i) {
            const std::uint32_t r = ranks_[i];
            wanted[r >> 6] |= std::uint64_t{1} << (r & 63);
            highest = std::max(highest, r);
        });
        wanted[0] &= ~std::uint64_t{1};  // rank 0: a character no key has
        const std::uint32_t next_rank = depth < query_.size() ? ranks_[depth] : 0;
        // The children are in rank order: none past the highest wanted rank
        // is wanted.
        for (NodeId c = first; c < end; ++c) {
            const std::uint32_t r = records::rank(nodes_.record(c));
            if (r > highest) {
                break;
            }
            if ((wanted[r >> 6] >> (r & 63)) & 1) {
                if (r == next_rank) {
                    promoted = c;
                } else {
                    lists_.push_back(c);
                }
            }
        }
    } else {
        const char32_t next_char = depth < query_.size() ? query_[depth] : kNoLabel;
        rows_.for_each_within(depth, k_, [&](std::size_t i) {
            const NodeId child = nodes_.child(node, query_[i]);
            if (child == CompactTrie::kNoNode) {
                return;
            }
            if (query_[i] == next_char) {
                promoted = child;
            } else {
                lists_.push_back(child);
            }
        });
        // Label order is id order.
        const auto others = lists_.begin() + static_cast<std::ptrdiff_t>(start);
        std::sort(others, lists_.end());
        lists_.erase(std::unique(others, lists_.end()), lists_.end());
    }
    // Walk order: the child on the query's character first.
    if (promoted != CompactTrie::kNoNode) {
        lists_.insert(lists_.begin() + static_cast<std::ptrdiff_t>(start), promoted);
    }
    const auto listed = static_cast<std::uint32_t>(lists_.size());
    descent_.open(Frame{static_cast<NodeId>(start), listed, CompactTrie::kNoNode, listed, false,
                        true, kUnread});
    return true;
}

template <Metric M>
template <class OnHit>
struct BandWalk<M>::Policy {
    BandWalk& walk;
    OnHit& on_hit;

    [[gnu::always_inline]] Next next(Frame& frame, std::size_t depth, NodeId& node,
                                     char32_t& label) {
        if (frame.listed) {
            if (frame.next >= frame.end) {
                return Next::done;
            }
            node = walk.lists_[frame.next++];
        } else if (frame.promoted_pending) {
            frame.promoted_pending = false;
            node = frame.promoted;
        } else {
            if (frame.next == frame.promoted) {
                ++frame.next;
            }
            if (frame.next >= frame.end) {
                return Next::done;
            }
            node = frame.next++;
        }
        if (out_of_reach(walk.nodes_.record(node), depth, walk.query_.size(), walk.k_) ||
            (walk.below_ != nullptr && walk.hopeless(node, depth, frame)) ||
            (walk.valued_.below != nullptr && walk.valued_.below[node] < walk.valued_.floor)) {
            return Next::skip;
        }
        label = walk.nodes_.label(node);
        return Next::visit;
    }

    [[gnu::always_inline]] bool visit(NodeId node, std::size_t depth, bool alive) {
        if (records::is_key(walk.nodes_.record(node))) {
            const std::uint32_t distance = walk.rows_.last(depth);
            if (distance <= walk.k_ && !on_hit(node, distance, walk.descent_.path())) {
                return false;
            }
        }
        if (alive) {
            const NodeId first = walk.nodes_.first_child(node);
            const NodeId end = walk.nodes_.first_child(node + 1);
            if (first < end) {
                walk.open(node, depth, first, end);
            }
        }
        return true;
    }
};

template <Metric M>
template <class OnHit>
void BandWalk<M>::run(OnHit&& on_hit) {
    descent_.clear();
    // The root is never a hit; its children are worth a look when some
    // cell of its row is within budget.
    if (!rows_.start()) {
        return;
    }
    const NodeId first = nodes_.first_child(CompactTrie::kRoot);
    const NodeId end = nodes_.first_child(CompactTrie::kRoot + 1);
    if (first < end) {
        open(CompactTrie::kRoot, 0, first, end);
    }
    Policy<std::remove_reference_t<OnHit>> policy{*this, on_hit};
    descent_.run(policy, rows_, *interrupt_);
}

}  // namespace morlatch
