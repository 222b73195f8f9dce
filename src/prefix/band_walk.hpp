// The depth-first banded walk of the layout's search (search.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "prefix/band.hpp"
#include "prefix/compact.hpp"
#include "prefix/interrupt.hpp"
#include "prefix/reach.hpp"

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
    // Inlined: the walk calls it for every node with children.
    [[gnu::always_inline]] inline void push_frame(NodeId node, std::size_t depth);

    const NodeView nodes_;
    std::u32string_view query_;
    std::uint32_t k_;
    BandRows<M> rows_;
    Interrupt& interrupt_;
    std::vector<Frame> frames_;
    std::vector<char32_t> path_;
};

template <Metric M>
void BandWalk<M>::push_frame(NodeId node, std::size_t depth) {
    // The children stand at depth + 1 and spell query position `depth`.
    const NodeId first = nodes_.first_child(node);
    const NodeId end = nodes_.first_child(node + 1);
    NodeId promoted = CompactTrie::kNoNode;
    if (depth < query_.size() && first < end) {
        promoted = nodes_.child(node, query_[depth]);
    }
    frames_.push_back(Frame{first, end, promoted, promoted != CompactTrie::kNoNode});
}

template <Metric M>
template <class OnHit>
void BandWalk<M>::run(OnHit&& on_hit) {
    path_.clear();
    frames_.clear();
    // The root is never a hit; its children are worth a look when some
    // cell of its row is within budget.
    if (!rows_.start()) {
        return;
    }
    push_frame(CompactTrie::kRoot, 0);
    while (!frames_.empty()) {
        Frame& frame = frames_.back();
        NodeId node;
        if (frame.promoted_pending) {
            frame.promoted_pending = false;
            node = frame.promoted;
        } else {
            if (frame.next == frame.promoted) {
                ++frame.next;
            }
            if (frame.next >= frame.end) {
                frames_.pop_back();
                if (!path_.empty()) {
                    path_.pop_back();
                }
                continue;
            }
            node = frame.next++;
        }
        const std::size_t depth = frames_.size();
        const std::uint32_t record = nodes_.record(node);
        if (out_of_reach(record, depth, query_.size(), k_)) {
            continue;
        }
        interrupt_.tick();
        const char32_t label = nodes_.label(node);
        const char32_t parent = BandRows<M>::kSwaps && !path_.empty() ? path_.back() : 0;
        const bool alive = rows_.step(depth, label, parent);
        path_.push_back(label);
        if (records::is_key(record)) {
            const std::uint32_t distance = rows_.last(depth);
            if (distance <= k_ &&
                !on_hit(node, distance, std::u32string_view(path_.data(), path_.size()))) {
                return;
            }
        }
        if (alive && nodes_.first_child(node) < nodes_.first_child(node + 1)) {
            push_frame(node, depth);
        } else {
            path_.pop_back();
        }
    }
}

}  // namespace morlatch
