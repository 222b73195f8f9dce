// The depth-first banded walk of the layout's search (search.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/search/band.hpp"
#include "prefix/search/descent.hpp"
#include "prefix/search/reach.hpp"

namespace morlatch {

// The depth-first banded walk over nodes laid out as in CompactTrie, with
// exactly the plain walk's order. on_hit(node, distance, path) is called in
// walk order (the child that continues the query first, then the others in
// label order) and returns false to stop the walk.
template <Metric M>
class BandWalk {
public:
    BandWalk(const NodeView& nodes, std::u32string_view query, std::uint32_t k, Budget budget,
             Interrupt& interrupt)
        : nodes_(nodes), query_(query), k_(k), rows_(query, k, budget), interrupt_(interrupt) {}

    template <class OnHit>
    void run(OnHit&& on_hit);

private:
    struct Frame {
        NodeId next;
        NodeId end;
        NodeId promoted;
        bool promoted_pending;
    };
    template <class OnHit>
    struct Policy;

    // Inlined: the walk calls it for every node with children.
    [[gnu::always_inline]] inline void open(NodeId node, std::size_t depth);

    const NodeView nodes_;
    std::u32string_view query_;
    std::uint32_t k_;
    BandRows<M> rows_;
    Interrupt& interrupt_;
    Descent<Frame> descent_;
};

template <Metric M>
void BandWalk<M>::open(NodeId node, std::size_t depth) {
    // The children stand at depth + 1 and spell query position `depth`.
    const NodeId first = nodes_.first_child(node);
    const NodeId end = nodes_.first_child(node + 1);
    NodeId promoted = CompactTrie::kNoNode;
    if (depth < query_.size() && first < end) {
        promoted = nodes_.child(node, query_[depth]);
    }
    descent_.open(Frame{first, end, promoted, promoted != CompactTrie::kNoNode});
}

// A hit is a key within k; a node is entered when its row is alive and its
// keys' lengths can be within k of the query's.
template <Metric M>
template <class OnHit>
struct BandWalk<M>::Policy {
    BandWalk& walk;
    OnHit& on_hit;

    [[gnu::always_inline]] Next next(Frame& frame, std::size_t depth, NodeId& node,
                                     char32_t& label) {
        if (frame.promoted_pending) {
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
        if (out_of_reach(walk.nodes_.record(node), depth, walk.query_.size(), walk.k_)) {
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
        if (alive && walk.nodes_.first_child(node) < walk.nodes_.first_child(node + 1)) {
            walk.open(node, depth);
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
    open(CompactTrie::kRoot, 0);
    Policy<std::remove_reference_t<OnHit>> policy{*this, on_hit};
    descent_.run(policy, rows_, interrupt_);
}

}  // namespace morlatch
