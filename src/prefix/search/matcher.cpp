#include "prefix/search/matcher.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/fault.hpp"
#include "prefix/search/band.hpp"
#include "prefix/search/descent.hpp"

namespace morlatch {
namespace {

// Faults for a node id past the lists' end, and for a path with more nodes
// than the trie: every node on the path to here has an id below the node
// count, so such a path repeats one (the child lists lead back to an
// ancestor and the walk would never end).
[[gnu::always_inline]] inline void check_reachable(const Trie& trie, NodeId node,
                                                   std::size_t depth) {
    const std::size_t node_count = trie.node_payloads.size();
    if (node >= node_count) [[unlikely]] {
        at(trie.node_payloads, node);  // faults
    }
    if (depth >= node_count) [[unlikely]] {
        fault(cycle_message(node, depth, node_count));
    }
}

}  // namespace

Matcher::Matcher(std::u32string_view query, std::uint64_t max_dist,
                 std::optional<std::uint64_t> limit)
    : query_(query), max_dist_(max_dist), limit_(limit) {}

// A hit is a node with a payload whose row's last cell is within k. The
// child that continues the query (of several on that character, only the
// last) comes first, the others follow in array order.
struct Matcher::Walk {
    struct Frame {
        std::uint32_t next;  // into the children of the frame's level
        std::uint32_t end;
        NodeId promoted;  // the child that continues the query, if pending
        bool promoted_pending;
    };

    Matcher& matcher;
    const Trie& trie;
    std::u32string_view query;
    std::uint32_t k;
    const BandRows<Metric::levenshtein>& rows;
    // By depth: the children of the node last visited there (kept while
    // a frame takes them).
    std::vector<std::vector<Child>>& levels;
    Descent<Frame>& descent;

    [[gnu::always_inline]] Next next(Frame& frame, std::size_t depth, NodeId& node,
                                     char32_t& label) const {
        if (frame.promoted_pending) {
            frame.promoted_pending = false;
            node = frame.promoted;
            label = query[depth - 1];
            return Next::visit;
        }
        if (frame.next == frame.end) {
            return Next::done;
        }
        const Child& child = levels[depth - 1][frame.next++];
        node = child.id;
        label = child.ch;
        return Next::visit;
    }

    // Checks the node, then reads its children even when none is entered,
    // so that a bad child list faults wherever the walk comes by. After the
    // limit no node records a hit or enters a child.
    [[gnu::always_inline]] bool visit(NodeId node, std::size_t depth, bool alive) {
        check_reachable(trie, node, depth);
        ++matcher.visits_;
        if (depth > 0 && !matcher.limit_reached()) {
            const std::uint32_t distance = rows.last(depth);
            if (distance <= k && trie.node_payloads[node]) {
                matcher.results_.add(descent.path(), *trie.node_payloads[node], distance, node);
            }
        }
        if (levels.size() <= depth) [[unlikely]] {
            levels.resize(depth + 1);
        }
        std::vector<Child>& children = levels[depth];
        children.clear();
        trie.append_children(node, children);
        if (!alive || children.empty() || matcher.limit_reached()) {
            return true;
        }
        open(children, depth);
        return true;
    }

    // Opens the children: the last one on the query's next character goes
    // first, the others on that character are dropped, the rest kept in
    // array order (moved up in place over the dropped ones).
    void open(std::vector<Child>& children, std::size_t depth) {
        if (depth >= query.size()) {
            descent.open(Frame{0, static_cast<std::uint32_t>(children.size()), 0, false});
            return;
        }
        const char32_t want = query[depth];
        NodeId promoted = 0;
        bool found = false;
        std::size_t kept = 0;
        for (const Child& child : children) {
            if (child.ch == want) {
                promoted = child.id;
                found = true;
            } else {
                children[kept++] = child;
            }
        }
        descent.open(Frame{0, static_cast<std::uint32_t>(kept), promoted, found});
    }
};

void Matcher::walk(const Trie& trie, Interrupt& interrupt) {
    const std::u32string_view query = query_;
    const std::size_t node_count = trie.node_payloads.size();
    // A path that the walk follows has fewer edges than the trie has nodes,
    // so no distance on it exceeds n + node_count: a larger bound finds the
    // same keys and would only widen the band.
    const auto k = static_cast<std::uint32_t>(
        std::min<std::uint64_t>({max_dist_, query.size() + node_count, kDistanceCap}));
    BandRows<Metric::levenshtein> rows(query, k, Budget{k, k, 0});
    std::vector<std::vector<Child>> levels;
    Descent<Walk::Frame> descent;
    Walk walk{*this, trie, query, k, rows, levels, descent};
    // The root: distance i to the first i query characters. The empty key
    // is never a hit.
    interrupt.tick();
    walk.visit(0, 0, rows.start());
    descent.run(walk, rows, interrupt);
}

}  // namespace morlatch
