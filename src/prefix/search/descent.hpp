// The depth-first descent that every edit-distance search runs: the plain
// walk (matcher.cpp), the layout's search (band_walk.hpp), completion's entry
// points (ranked.cpp) and the corrector (correct.cpp).
//
// The descent keeps a stack of frames, one per node whose children are being
// taken, and the path of labels down to the node last visited. Each turn it
// asks the walk for the next child of the top frame, visits it (one interrupt
// tick, the path extended, the child's row stepped from its parent's) and
// hands the walk the child's row to record a hit and, unless the row rules
// out every key below, to open the child's children. A frame that has no
// child left is popped. Row d of the rows is the one of the node last
// visited at depth d: a child's parent was visited at the depth above, and
// every node since lies below it.
//
// The walk is a policy with a Frame type and two members:
//   Next next(Frame& top, std::size_t depth, NodeId& node, char32_t& label)
//     picks the next child of `top` (at `depth`) and its label, or says to
//     skip a child (pruned before its row is stepped) or that `top` is done;
//   bool visit(NodeId node, std::size_t depth, bool alive)
//     reads the child's row (`alive`: some cell is within budget), records
//     what the walk calls a hit, opens the child's children with open() and
//     returns false to stop the descent.
// The stacks are kept from one descent to the next, so that a walk
// allocates nothing per visited node once they have grown.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "base/trie.hpp"
#include "prefix/interrupt.hpp"

namespace morlatch {

enum class Next { visit, skip, done };

template <class Frame>
class Descent {
public:
    // Forgets the previous descent.
    void clear() noexcept {
        frames_.clear();
        length_ = 0;
    }
    // Opens a node's children: the next frame, one level below the last.
    void open(const Frame& frame) { frames_.push_back(frame); }
    // The frame opened last (whose children are being taken), or null.
    const Frame* top() const noexcept { return frames_.empty() ? nullptr : &frames_.back(); }
    // The labels down to the node last visited.
    std::u32string_view path() const noexcept { return std::u32string_view(path_.data(), length_); }

    // Runs from the frames opened so far until none is left (true) or the
    // walk stops it (false).
    template <class Walk, class Rows>
    bool run(Walk& walk, Rows& rows, Interrupt& interrupt) {
        while (!frames_.empty()) {
            const std::size_t depth = frames_.size();  // of the children
            NodeId node;
            char32_t label;
            const Next next = walk.next(frames_.back(), depth, node, label);
            if (next != Next::visit) {
                if (next == Next::done) {
                    frames_.pop_back();
                }
                continue;
            }
            interrupt.tick();
            if (depth > path_.size()) [[unlikely]] {
                path_.resize(2 * depth);
            }
            path_[depth - 1] = label;
            length_ = depth;
            // The parent's label counts for swaps and the model's doubled letters.
            constexpr bool kParent = Rows::kSwaps || Rows::kModel;
            const char32_t parent = kParent && depth >= 2 ? path_[depth - 2] : 0;
            const bool alive = rows.step(depth, label, parent);
            if (!walk.visit(node, depth, alive)) {
                return false;
            }
        }
        return true;
    }

private:
    std::vector<Frame> frames_;
    // The path is path_[0, length_): a visit at depth d overwrites label
    // d - 1, the labels above it being those of its ancestors.
    std::vector<char32_t> path_;
    std::size_t length_ = 0;
};

}  // namespace morlatch
