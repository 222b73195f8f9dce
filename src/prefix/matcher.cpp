#include "prefix/matcher.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "base/fault.hpp"
#include "prefix/band.hpp"

namespace morlatch {
namespace {

// A node on the walk's stack, with what its visit needs from its parent.
struct Pending {
    NodeId node;
    char32_t ch;        // the character on the edge into the node
    std::size_t depth;  // edges between the root and the node
};

// Faults for a node id past the lists' end, and for a path with more nodes
// than the trie: every node on the path to here has an id below the node
// count, so such a path repeats one (the child lists lead back to an
// ancestor and the walk would never end).
void check_reachable(const Trie& trie, NodeId node, std::size_t depth) {
    const std::size_t node_count = trie.node_payloads.size();
    if (node >= node_count) [[unlikely]] {
        at(trie.node_payloads, node);  // faults
    }
    if (depth >= node_count) [[unlikely]] {
        fault(cycle_message(node, depth, node_count));
    }
}

// Pushes the children of a node at `depth`. Of
// several children on the query's next character only the last is entered;
// it goes first, the other children follow in array order. Pushed in
// reverse, so that the first to visit is on top.
void push_children(const std::vector<Child>& children, std::u32string_view query, std::size_t depth,
                   std::vector<Pending>& stack) {
    const bool continues = depth < query.size();
    const char32_t next = continues ? query[depth] : 0;
    std::size_t promoted = children.size();
    for (std::size_t i = children.size(); i-- > 0;) {
        const Child& child = children[i];
        if (continues && child.ch == next) {
            if (promoted == children.size()) {
                promoted = i;
            }
            continue;
        }
        stack.push_back(Pending{child.id, child.ch, depth + 1});
    }
    if (promoted < children.size()) {
        stack.push_back(Pending{children[promoted].id, next, depth + 1});
    }
}

}  // namespace

Matcher::Matcher(std::u32string_view query, std::uint64_t max_dist,
                 std::optional<std::uint64_t> limit)
    : query_(query), max_dist_(max_dist), limit_(limit) {}

void Matcher::walk(const Trie& trie, Interrupt& interrupt) {
    const std::u32string_view query = query_;
    const std::size_t node_count = trie.node_payloads.size();
    // A path that the walk follows has fewer edges than the trie has nodes,
    // so no distance on it exceeds n + node_count: a larger bound finds the
    // same keys and would only widen the band.
    const auto k = static_cast<std::uint32_t>(
        std::min<std::uint64_t>({max_dist_, query.size() + node_count, kDistanceCap}));
    // Row d is the one of the node last visited at depth d: a node's parent
    // was visited at the depth above, and every node since lies below it.
    BandRows<Metric::levenshtein> rows(query, k, Budget{k, k, 0});
    std::vector<Pending> stack{Pending{0, 0, 0}};
    std::vector<Child> children;
    std::u32string path;  // the characters on the edges down to the node

    while (!stack.empty()) {
        interrupt.tick();
        const Pending visit = stack.back();
        stack.pop_back();
        const NodeId node = visit.node;
        const std::size_t depth = visit.depth;
        check_reachable(trie, node, depth);
        ++visits_;

        bool within = false;  // some cell of the row is within max_dist
        if (depth == 0) {
            // The root: distance i to the first i query characters. The
            // empty key is never a hit.
            within = rows.start();
        } else {
            path.resize(depth);
            path[depth - 1] = visit.ch;
            // After the limit no node records a hit or enters a child, so
            // the row is not needed.
            if (!limit_reached()) {
                within = rows.step(depth, visit.ch, 0);
                const std::uint32_t distance = rows.last(depth);
                if (distance <= k && trie.node_payloads[node]) {
                    results_.add(path, *trie.node_payloads[node], distance, node);
                }
            }
        }

        // Read even when nothing is entered, so that a bad child list faults
        // wherever the walk comes by.
        children.clear();
        trie.append_children(node, children);
        if (!within || children.empty() || limit_reached()) {
            continue;
        }
        push_children(children, query, depth, stack);
    }
}

}  // namespace morlatch
